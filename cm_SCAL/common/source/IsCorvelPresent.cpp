#include "OEMRequests.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/IsCorvelPresent";

namespace
{
const uint8_t kAccessEnabled = 0;
const uint8_t kAccessRecovery = 2;
} // namespace

int secureCorvel::GetCorvelType()
{
    try {
        if (SendOEMRequest(IPMIReqBuf, oemrequest::RepositoryType()) != 0) {
            logCorvelMsg(kSrc, __LINE__, "There is no corvel present on this system.");
            storeErrorInfo(SCAL_NO_CORVEL);
            return 0;
        }
        storeErrorInfo(SCAL_SUCCESS);
        const uint8_t raw = IPMIResponseBytes(IPMIReqBuf)[3];
        return raw <= 2 ? raw + 1 : 0;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return 0;
    }
}

bool secureCorvel::IsCorvelEnabled()
{
    try {
        if (SendOEMRequest(IPMIReqBuf, oemrequest::AccessState()) != 0) {
            logCorvelMsg(kSrc, __LINE__, "The getCorvelAccessState IPMI command failed.");
            storeErrorInfo(SCAL_ACCESS_STATE_FAILED);
            return false;
        }
        uint8_t* response = IPMIResponseBytes(IPMIReqBuf);
        const uint8_t state = response[3];
        if (state == kAccessEnabled) {
            m_accessState = kAccessEnabled;
            storeErrorInfo(SCAL_SUCCESS);
            return true;
        }
        // Only the recovery state can be bypassed, and only by the one package
        // meant to run there.
        if (byPassRecoveryState()) {
            logCorvelMsg(kSrc, __LINE__, "QP recovery state by pass is true.");
            if (state == kAccessRecovery) {
                logCorvelMsg(kSrc, __LINE__, "QP is in recovery state.");
                response[3] = kAccessEnabled;
                m_accessState = kAccessEnabled;
                storeErrorInfo(SCAL_SUCCESS);
                return true;
            }
        }
        m_accessState = state;
        storeErrorInfo(SCAL_SUCCESS);
        return false;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
