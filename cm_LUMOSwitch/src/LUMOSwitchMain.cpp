#include <unistd.h>

#include <string>
#include <vector>

#include "CommandLineParser.h"
#include "LUMOSwitchMgmt.h"
#include "Logger.h"
#include "ScalSeams.h"
#include "VEXProgress.h"

namespace
{
const char kSrc[] = "cm_LUMOSwitch/src/LUMOSwitchMain";
}

int main(int argc, char* argv[])
{
    CCommandLineParser parser;
    if (!parser.parseCLI(argc, argv)) {
        return 1;
    }

    if (parser.isDebug()) {
        CLogger* logger = CLogger::GetInstance();
        logger->Initialize(parser.getDebugFilename());
        logger->log(kSrc, __LINE__, "Logger initialized");
    }

    std::string outputFileName;
    if (!parser.getOutputFileName().empty()) {
        outputFileName = parser.getOutputFileName();
        CLogger::GetInstance()->log(kSrc, __LINE__, "Output file name =" + outputFileName);
    }

    // Progress only for a person watching: automation reading standard error
    // sees exactly what it saw before.
    static CTerminalProgress terminal(STDERR_FILENO);
    IProgressSink& progress = isatty(STDERR_FILENO) ? static_cast<IProgressSink&>(terminal)
                                                    : NullProgress();
    ScalSeams seams;
    seams.progress = &progress;
    SetScalSeams(seams);

    // The records the passes return stay allocated: the process ends right
    // after, and the manager's contract is that nobody frees them.
    if (parser.isInventory()) {
        LUMOSwitchMgmt inventory(outputFileName);
        inventory.GetInventory();
    }
    if (parser.isUpdate()) {
        LUMOSwitchMgmt update(outputFileName);
        update.setProgressSink(progress);
        update.Update();
    }
    return 0;
}
