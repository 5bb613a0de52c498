#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/setStateFlag";

// Sent with whatever handle the object holds: on servers that grant no
// session the controller judges a handle of 0 itself.
uint8_t secureCorvel::setStateFlag(uint8_t flag)
{
    try {
        m_seams.journal->Note(journalrecord::Flag(flag));
        if (SendCorvelRequest(oemrequest::SetStateFlag(m_sessionHandle, flag)) != 0) {
            logCorvelMsg(kSrc, __LINE__, "IPMI call for setStateFlag failed.");
            storeErrorInfo(SCAL_SET_STATE_FLAG_FAILED);
            return 1;
        }
        m_seams.journal->Note(journalrecord::FlagSet(flag));
        storeErrorInfo(SCAL_SUCCESS);
        return 0;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return 1;
    }
}
