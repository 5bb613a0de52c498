#include "VEXIPMICommandProcessorCreator.h"

#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMICommandProcessorCreator";

std::unique_ptr<IIPMICommandProcessor> IPMICommandProcessorCreator::Create()
{
    std::unique_ptr<IIPMICommandProcessor> processor(new IPMIProcessor(VEXIPMISys()));
    if (processor->Initialize() != VEXIPMI_SUCCESS) {
        VEXIPMI_LOG(eVEXLogInfo, "IPMICommandProcessorCreator::Create() no IPMI device");
        return nullptr;
    }
    return processor;
}
