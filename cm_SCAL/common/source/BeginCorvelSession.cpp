#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/BeginCorvelSession";

namespace
{

void FillOpenRequest(uint8_t mode, uint16_t timeout)
{
    ClearIPMIRecord(IPMIReqBuf);
    uint8_t* request = IPMIRequestBytes(IPMIReqBuf);
    request[3] = mode;
    request[4] = static_cast<uint8_t>(timeout & 0xFF);
    request[5] = static_cast<uint8_t>(timeout >> 8);
}

} // namespace

bool secureCorvel::BeginCorvelSession(uint16_t timeout)
{
    try {
        if (IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "Session is already active");
            storeErrorInfo(SCAL_SESSION_ALREADY_ACTIVE);
            logCorvelMsg(kSrc, __LINE__, "BeginCorvelSession failed");
            return false;
        }
        storeErrorInfo(SCAL_SUCCESS);
        FillOpenRequest(0x00, timeout);
        if (IPMIRequest(eBeginCORVELSession, &IPMIReqBuf, 8, 9) != 0) {
            logCorvelMsg(kSrc, __LINE__, "Error starting session");
            storeErrorInfo(GetSystemGeneration() <= 0 ? SCAL_BEGIN_SESSION_FAILED
                                                      : SCAL_BEGIN_SESSION_FAILED_12G);
            logCorvelMsg(kSrc, __LINE__, "BeginCorvelSession failed");
            return false;
        }
        logCorvelMsg(kSrc, __LINE__, "Session started successfully");
        m_bSessionActive = true;
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "BeginCorvelSession failed");
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}

bool secureCorvel::BeginCorvelSessionExtended(uint16_t timeout)
{
    try {
        if (IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended Session is already active");
            return true;
        }
        storeErrorInfo(SCAL_SUCCESS);
        FillOpenRequest(0x02, timeout);
        if (IPMIRequest(eBeginCORVELSessionExtended, &IPMIReqBuf, 8, 9) != 0) {
            logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended Error starting session");
            storeErrorInfo(GetSystemGeneration() <= 0 ? SCAL_BEGIN_SESSION_FAILED
                                                      : SCAL_BEGIN_SESSION_FAILED_12G);
            logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended failed");
            return false;
        }
        logCorvelMsg(kSrc, __LINE__,
                     "Session started successfully using BeginCORVELSessionExtended command");
        m_bSessionActive = true;
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended failed");
        logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
