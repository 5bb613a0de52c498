#include "SecureCorvel.h"

bool secureCorvel::IsSessionActive()
{
    if (m_bSessionActive) {
        return true;
    }
    m_errorCode = SCAL_NO_ACTIVE_SESSION;
    return false;
}
