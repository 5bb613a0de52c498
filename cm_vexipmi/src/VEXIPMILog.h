#pragma once

#include "VEXLogger.h"
#include "VEXString.h"

// Every library trace names the calling function and the file's source tag
// (kSrc, defined in each source file).
#define VEXIPMI_LOG(level, ...)                                                                    \
    VEXLogger::Log(VEXString(__func__, VEXString::eUTF8), VEXString(kSrc, VEXString::eUTF8),       \
                   __LINE__, (level), __VA_ARGS__)
