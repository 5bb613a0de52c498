#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/BeginCorvelSession";

// The handle is known only from the answer: noted at once, so that a run
// killed from here on leaves it to the next run to end.
void secureCorvel::noteSessionOpened()
{
    if (m_sessionHandle != 0) {
        m_seams.journal->Note(journalrecord::Session(m_sessionHandle));
    }
}

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
        if (SendCorvelRequest(oemrequest::BeginSession(timeout)) != 0) {
            logCorvelMsg(kSrc, __LINE__, "Error starting session");
            storeErrorInfo(GetSystemGeneration() <= 0 ? SCAL_BEGIN_SESSION_FAILED
                                                      : SCAL_BEGIN_SESSION_FAILED_12G);
            logCorvelMsg(kSrc, __LINE__, "BeginCorvelSession failed");
            return false;
        }
        logCorvelMsg(kSrc, __LINE__, "Session started successfully");
        m_bSessionActive = true;
        noteSessionOpened();
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
        if (SendCorvelRequest(oemrequest::BeginSessionExtended(timeout)) != 0) {
            logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended Error starting session");
            storeErrorInfo(GetSystemGeneration() <= 0 ? SCAL_BEGIN_SESSION_FAILED
                                                      : SCAL_BEGIN_SESSION_FAILED_12G);
            logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended failed");
            return false;
        }
        logCorvelMsg(kSrc, __LINE__,
                     "Session started successfully using BeginCORVELSessionExtended command");
        m_bSessionActive = true;
        noteSessionOpened();
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended failed");
        logCorvelMsg(kSrc, __LINE__, "BeginCORVELSessionExtended SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
