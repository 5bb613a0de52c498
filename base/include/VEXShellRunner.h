#pragma once

#include <string>

// The one call every seam that runs shell commands shares, so each real side
// passes it to the same shell and each fake answers it under the same name.
class IVEXShellRunner
{
public:
    virtual ~IVEXShellRunner() = default;
    // Runs `command` with /bin/sh as system(3) does: the raw wait status, -1
    // when no shell could be started.
    virtual int RunShell(const std::string& command) = 0;
};
