#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/EndCorvelSession";

bool secureCorvel::EndCorvelSession()
{
    try {
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "No Active Session Found");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            return false;
        }
        ClearIPMIRecord(IPMIReqBuf);
        uint8_t* request = IPMIRequestBytes(IPMIReqBuf);
        request[3] = static_cast<uint8_t>(m_sessionHandle & 0xFF);
        request[4] = static_cast<uint8_t>(m_sessionHandle >> 8);
        if (IPMIRequest(eEndCORVELSession, &IPMIReqBuf, 7, 5) != 0) {
            // The controller may still hold the session; it stays marked open.
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            storeErrorInfo(SCAL_END_SESSION_FAILED);
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            return false;
        }
        clearSessionState();
        logCorvelMsg(kSrc, __LINE__, "EndCorvelSession succeeded");
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
