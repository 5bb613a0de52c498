#pragma once

#include <functional>
#include <memory>

#include "VEXProgress.h"

// The management-controller session that stages the power cycle after a
// download. The access layer is up for as long as the object lives, and is
// shut down when it is destroyed.
class IPowerCycleStaging
{
public:
    virtual ~IPowerCycleStaging() = default;
    // 0 when the power cycle is staged, non-zero otherwise.
    virtual int regPowerCycle() = 0;
};

// Brings the access layer up for one staging call, showing its waits on
// `progress`; null when it cannot be built (the caller then asks for a
// manual power cycle).
using PowerCycleStagingFactory =
    std::function<std::unique_ptr<IPowerCycleStaging>(IProgressSink& progress)>;

// What the update pass uses unless a test installs its own; the waits on a
// slow controller are shown on `progress`.
std::unique_ptr<IPowerCycleStaging> MakePowerCycleStaging(IProgressSink& progress);
