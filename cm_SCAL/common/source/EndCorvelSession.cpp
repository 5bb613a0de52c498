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
        if (SendCorvelRequest(oemrequest::EndSession(m_sessionHandle)) != 0) {
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
