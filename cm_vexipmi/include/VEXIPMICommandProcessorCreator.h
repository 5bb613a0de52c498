#pragma once

#include <memory>

#include "LVEXIPMIProcessor.h"

class IPMICommandProcessorCreator
{
public:
    // A processor with its device open, or null when no device opened.
    static std::unique_ptr<IIPMICommandProcessor> Create();
};
