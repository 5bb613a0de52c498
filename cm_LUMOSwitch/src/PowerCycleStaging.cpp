#include "PowerCycleStaging.h"

// The management-controller access layer is not wired in yet, so staging
// always takes the path of a layer that cannot be built: the update report
// asks for a manual power cycle.
std::unique_ptr<IPowerCycleStaging> MakePowerCycleStaging()
{
    return nullptr;
}
