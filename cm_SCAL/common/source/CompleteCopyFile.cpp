#include "Interruption.h"
#include "SecureCorvel.h"

static const char kSrc[] = "cm_SCAL/common/source/CompleteCopyFile";

namespace
{
const uint8_t kPowerCycleFlag = 5;
}

int secureCorvel::regPowerCycle()
{
    if (interruption::StopRequested()) {
        logCorvelMsg(kSrc, __LINE__, "Setting the SSM flag skipped: stopped by a signal");
        return -1;
    }
    if (setStateFlag(kPowerCycleFlag) != 0) {
        logCorvelMsg(kSrc, __LINE__, "Setting the SSM flag failed");
        return -1;
    }
    logCorvelMsg(kSrc, __LINE__, "Setting the SSM flag succeeded");
    return 0;
}
