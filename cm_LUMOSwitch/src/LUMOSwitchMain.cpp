#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChangeJournal.h"
#include "CommandLineParser.h"
#include "Interruption.h"
#include "JcatManifestVerifier.h"
#include "JournalRecovery.h"
#include "LUMOSwitchMgmt.h"
#include "Logger.h"
#include "PackageFiles.h"
#include "PackageTrust.h"
#include "RunLock.h"
#include "ScalSeams.h"
#include "SecureCorvel.h"
#include "VEXProgress.h"

namespace
{
const char kSrc[] = "cm_LUMOSwitch/src/LUMOSwitchMain";

// Exit statuses beyond 0 (the run went through), 1 (usage, report, lock) and
// 128 + N (stopped by signal N). The report is written as always; these say
// that it could not be what the run was for.
constexpr int kStatusPackageFileRefused = 2;
constexpr int kStatusNoStorageLibrary = 3;

// The first pass without a working storage library says so, once:
// the second pass tries the same files for the same reason.
void NoteLibraryFailure(const LUMOSwitchMgmt& pass, std::string& failure)
{
    if (failure.empty() && !pass.StorageLibraryFailure().empty()) {
        failure = pass.StorageLibraryFailure();
        CLogger::GetInstance()->log(kSrc, __LINE__, "No working storage library: " + failure);
        std::cerr << "lumoswitch: " << failure << std::endl;
    }
}

// What a run may change that a later one undoes, as the access layer
// defines it.
SJournalPolicy JournalPolicy()
{
    SJournalPolicy policy;
    policy.ruleFiles = RuleFilePaths();
    policy.reloadRules = [] {
        RealScalHost host;
        const std::string command = UdevReloadCommand(host);
        if (!command.empty()) {
            host.RunShell(command);
        }
    };
    policy.daemons = {HalDaemonName};
    policy.startDaemon = [](const std::string& name) {
        RealScalHost host;
        return name == HalDaemonName && StartHalDaemon(host);
    };
    return policy;
}

void Warn(const std::string& line)
{
    std::cerr << line << std::endl;
}

// The journal goes with the run's teardown, whichever way the run ends that
// still runs it: a return from main, or exit() after a report failed.
void FinishJournal()
{
    CChangeJournal::Process().Finish();
}
} // namespace

int main(int argc, char* argv[])
{
    CCommandLineParser parser;
    if (!parser.parseCLI(argc, argv)) {
        return 1;
    }

    // Taken before anything a run touches (its logs, the devices, the
    // controller); a run that only printed the usage text needs none.
    CRunLock runLock;
    if (parser.isInventory() || parser.isUpdate()) {
        std::string detail;
        switch (runLock.acquire(detail)) {
        case CRunLock::EResult::Acquired:
            break;
        case CRunLock::EResult::Held:
            std::cerr << "lumoswitch: another run is in progress ("
                      << (detail.empty() ? std::string("process ID not yet written")
                                         : "process " + detail)
                      << " holds " << runLock.path() << "); nothing was done" << std::endl;
            return 1;
        case CRunLock::EResult::Failed:
            std::cerr << "lumoswitch: cannot take the run lock (" << detail << "); nothing was done"
                      << std::endl;
            return 1;
        }
    }

    if (parser.isDebug()) {
        CLogger* logger = CLogger::GetInstance();
        logger->Initialize(parser.getDebugFilename());
        logger->log(kSrc, __LINE__, "Logger initialized");
    }

    // The lock proves that whoever wrote a journal left behind is gone: what
    // it lists is undone before this run touches anything, and even when the
    // run goes no further (a trust folder it refuses).
    if (parser.isInventory() || parser.isUpdate()) {
        CJournalRecovery recovery(JournalPolicy());
        for (const std::string& line : recovery.Run(CChangeJournal::Process(), parser.isUpdate())) {
            Warn(line);
        }
        CChangeJournal::Process().SetWarningSink(&Warn);
        std::atexit(&FinishJournal);
    }

    // Which signers the host trusts is settled before any package file is
    // touched; a trust folder that may not be trusted is no policy at all.
    pkgtrust::SetVerifierFactory(&MakeJcatManifestVerifier);
    if (parser.isInventory() || parser.isUpdate()) {
        std::string why;
        if (!pkgtrust::Prepare(why)) {
            std::cerr << "lumoswitch: refusing to run: " << why << "; nothing was done"
                      << std::endl;
            return 1;
        }
    }

    std::string outputFileName;
    if (!parser.getOutputFileName().empty()) {
        outputFileName = parser.getOutputFileName();
        CLogger::GetInstance()->log(kSrc, __LINE__, "Output file name =" + outputFileName);
    }

    interruption::InstallDeferredHandlers();
    // Progress only for a person watching: automation reading standard error
    // sees exactly what it saw before.
    static CTerminalProgress terminal(STDERR_FILENO);
    IProgressSink& progress =
        isatty(STDERR_FILENO) ? static_cast<IProgressSink&>(terminal) : NullProgress();

    // The records the passes return stay allocated: the process ends right
    // after, and the manager's contract is that nobody frees them.
    std::string libraryFailure;
    if (parser.isInventory()) {
        LUMOSwitchMgmt inventory(outputFileName);
        inventory.GetInventory();
        NoteLibraryFailure(inventory, libraryFailure);
    }
    if (parser.isUpdate() && interruption::PendingSignal() == 0) {
        LUMOSwitchMgmt::Seams updateSeams;
        updateSeams.progress = &progress;
        LUMOSwitchMgmt update(outputFileName, updateSeams);
        update.Update();
        NoteLibraryFailure(update, libraryFailure);
    }
    if (const int signal = interruption::PendingSignal()) {
        std::cerr << "lumoswitch: stopped by signal " << signal << " (" << strsignal(signal)
                  << "); the report says what was done" << std::endl;
        return 128 + signal;
    }
    // A refused file is the cause to mend first: a refused package library
    // is also one that could not be loaded. Each refusal had its own line.
    if (pkgfiles::RefusalCount() != 0) {
        return kStatusPackageFileRefused;
    }
    if (!libraryFailure.empty()) {
        return kStatusNoStorageLibrary;
    }
    return 0;
}
