#include "VEXIPMICommandProcessorCreator.h"

#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMICommandProcessorCreator";

std::unique_ptr<IIPMICommandProcessor> IPMICommandProcessorCreator::Create()
{
    VEXIPMI_LOG(eVEXLogInfo, "IPMICommandProcessorCreator::Create() Entering");
    std::unique_ptr<IIPMICommandProcessor> processor(new IPMIProcessor(VEXIPMISys()));
    if (processor->Initialize() != VEXIPMI_SUCCESS) {
        VEXIPMI_LOG(eVEXLogInfo, "IPMICommandProcessorCreator::Create() no IPMI device");
        return nullptr;
    }
    VEXIPMI_LOG(eVEXLogInfo, "IPMICommandProcessorCreator::Create() Leaving");
    return processor;
}
