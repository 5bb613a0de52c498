#include "SecureCorvel.h"
#include "StringUtils.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/DeleteDropBox";

bool secureCorvel::deleteDynPartWithName(uint16_t& dynBitmap, const std::string& name)
{
    try {
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "CORVEL session not started");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            return false;
        }
        for (unsigned slot = 0; slot < 8; ++slot) {
            if ((dynBitmap & (1u << slot)) == 0) {
                continue;
            }
            std::string partitionName;
            if (!readPartitionName(true, slot, partitionName)) {
                logCorvelMsg(kSrc, __LINE__,
                             "secureCorvel::deleteDynPartWithName GetPartitionInfo failed");
                continue;
            }
            logCorvelMsg(kSrc, __LINE__,
                         "deleteDynPartWithName partition name = " +
                             CStringUtils::escapeControl(partitionName));
            // Only a partition read back under our own label is ever deleted.
            if (CStringUtils::toLowerCase(partitionName) == CStringUtils::toLowerCase(name)) {
                if (DeleteDropBox(static_cast<uint16_t>(1u << slot))) {
                    logCorvelMsg(kSrc, __LINE__, "deleteDynPartWithName DeleteDropBox successful");
                } else {
                    logCorvelMsg(kSrc, __LINE__, "deleteDynPartWithName DeleteDropBox failed");
                }
                return true;
            }
        }
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}

bool secureCorvel::DeleteDropBox(uint16_t slots)
{
    try {
        ClearIPMIRecord(IPMIReqBuf);
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "DeleteDropBox called with NO active session");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            logCorvelMsg(kSrc, __LINE__, "DeleteDropBox failed");
            return false;
        }
        uint16_t wire = 0;
        if (slots != 0) {
            logCorvelMsg(kSrc, __LINE__, "DeleteDropBox 0 != iBitMap ");
            wire = swapBytes(slots);
        } else {
            logCorvelMsg(kSrc, __LINE__, "DeleteDropBox 0 == iBitMap ");
            wire = corvelPartInfo[0].slotBits;
        }
        if (SendCorvelRequest(oemrequest::DeleteDynamicPartition(m_sessionHandle, wire)) != 0) {
            logCorvelMsg(kSrc, __LINE__, "DeleteDynamicPartition failed");
            storeErrorInfo(SCAL_DELETE_DYN_PARTITION_FAILED);
            logCorvelMsg(kSrc, __LINE__, "DeleteDropBox failed");
            return false;
        }
        logCorvelMsg(kSrc, __LINE__, "DeleteDynamicPartition succeeded");
        logCorvelMsg(kSrc, __LINE__, "DeleteDropBox succeeded");
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "DeleteDropBox failed");
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
