#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/setStateFlag";

// Sent with whatever handle the object holds: on servers that grant no
// session the controller judges a handle of 0 itself.
uint8_t secureCorvel::setStateFlag(uint8_t flag)
{
    try {
        ClearIPMIRecord(IPMIReqBuf);
        uint8_t* request = IPMIRequestBytes(IPMIReqBuf);
        request[3] = static_cast<uint8_t>(m_sessionHandle & 0xFF);
        request[4] = static_cast<uint8_t>(m_sessionHandle >> 8);
        request[5] = 0x00;
        request[6] = flag;
        if (IPMIRequest(eSetStateFlag, &IPMIReqBuf, 7, 7) != 0) {
            logCorvelMsg(kSrc, __LINE__, "IPMI call for setStateFlag failed.");
            storeErrorInfo(SCAL_SET_STATE_FLAG_FAILED);
            return 1;
        }
        storeErrorInfo(SCAL_SUCCESS);
        return 0;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return 1;
    }
}
