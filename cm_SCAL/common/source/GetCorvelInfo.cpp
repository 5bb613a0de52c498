#include "ScalFormat.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/GetCorvelInfo";

// Both bitmaps come with one request; each caller takes the one it asked for.
// False, with the error stored, when no session is open; a failed request or
// a short answer leaves both bitmaps as they were.
static bool QueryPartitionIndex(secureCorvel& corvel, uint16_t& staticMap, uint16_t& dynMap)
{
    try {
        if (!corvel.IsSessionActive()) {
            secureCorvel::logCorvelMsg(kSrc, __LINE__, "CORVEL session not started");
            corvel.storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            return false;
        }
        if (corvel.SendCorvelRequest(oemrequest::PartitionIndex(corvel.GetSessionHandle())) == 0) {
            const OEMAnswer answer = AnswerOf(IPMIReqBuf);
            if (const auto index = oemanswer::ReadPartitionIndex(answer)) {
                staticMap = index->staticMap;
                dynMap = index->dynamicMap;
            } else {
                secureCorvel::logCorvelMsg(kSrc, __LINE__, oemanswer::ShortAnswer(IPMIReqBuf));
            }
        }
    } catch (...) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        corvel.storeErrorInfo(SCAL_INTERNAL_ERROR);
    }
    return true;
}

uint16_t secureCorvel::getPartIndexInfo()
{
    return QueryPartitionIndex(*this, m_staticPartMap, m_dynPartMap) ? m_staticPartMap : 0;
}

uint16_t secureCorvel::getDynPartIndexInfo()
{
    return QueryPartitionIndex(*this, m_staticPartMap, m_dynPartMap) ? m_dynPartMap : 0;
}

bool secureCorvel::readPartitionName(bool dynamicTable, unsigned slot, std::string& name)
{
    const OEMRequest request =
        oemrequest::PartitionInfo(m_sessionHandle, dynamicTable, static_cast<uint8_t>(slot));
    if (SendCorvelRequest(request) != 0) {
        return false;
    }
    const OEMAnswer answer = AnswerOf(IPMIReqBuf);
    const auto info = oemanswer::ReadPartitionInfo(answer);
    if (!info) {
        logCorvelMsg(kSrc, __LINE__, oemanswer::ShortAnswer(IPMIReqBuf));
        return false;
    }
    name = scal::FieldText(info->name.data(), info->name.size());
    return true;
}

bool secureCorvel::getPartInfo(uint16_t staticBitmap)
{
    try {
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "CORVEL session not started");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            return false;
        }
        for (unsigned slot = 0; slot < 8; ++slot) {
            if ((staticBitmap & (1u << slot)) == 0) {
                continue;
            }
            std::string name;
            if (!readPartitionName(false, slot, name)) {
                continue;
            }
            uint16_t index = getPartIndex(name);
            if (index != 0) {
                corvelPartInfo[index].slotBits = swapBytes(static_cast<uint16_t>(1u << slot));
                corvelPartInfo[index].attached = true;
            } else {
                logCorvelMsg(kSrc, __LINE__,
                             std::string("The partition name ") + "[" + name + "]" +
                                 "is inconsistent with the standard.");
            }
        }
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
