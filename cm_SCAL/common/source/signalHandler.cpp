#include "SignalHandler.h"
#include "ScalSeams.h"
#include "SecureCorvel.h"

static const char kSrc[] = "cm_SCAL/common/source/signalHandler";

bool CSignalHandler::setupSignalHandlers()
{
    secureCorvel::logCorvelMsg(kSrc, __LINE__, "Inside CSignalHandler::setupSignalHandlers()");
    if (!m_host->IgnoreInterruptSignal()) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__,
                                   "CSignalHandler::setupSignalHandlers() : signal is failed");
        return false;
    }
    return true;
}
