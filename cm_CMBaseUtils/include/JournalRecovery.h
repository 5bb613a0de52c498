#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ChangeJournal.h"
#include "VEXShellRunner.h"

// The shell commands the recovery runs (lsmod, rmmod), through the platform
// layer's shell.
class IJournalHost : public IVEXShellRunner
{
};

class RealJournalHost : public IJournalHost
{
public:
    int RunShell(const std::string& command) override;
};

// What a run changes that the recovery may undo, as the layers that change
// it define it.
struct SJournalPolicy {
    // The rule files a run may create, by full path: a path the journal
    // lists that is not one of them is never touched.
    std::vector<std::string> ruleFiles;
    // Makes the device manager read its rules again after rule files were
    // removed.
    std::function<void()> reloadRules;
    // The system daemons a run may stop, and how one is started again
    // (false: it could not be).
    std::vector<std::string> daemons;
    std::function<bool(const std::string& name)> startDaemon;
};

// Every run, right after it takes the run lock (which proves the journal's
// writer is gone), undoes what a dead run's journal still lists, before it
// touches anything else:
// - a rule file only when it is still the plain file of root's the run wrote
//   (same SHA-256), in a folder only root can write;
// - a system daemon the run stopped is started again;
// - a module the run loaded, when it is loaded and not in use (rmmod refuses
//   one that is);
// - the temporary files of reports;
// - a repository session needs the controller: it is carried on in this run's
//   journal, and ended by the first run that opens the IPMI device (the access
//   layer asks for LeftSessions());
// - the power-cycle flag stays as the controller holds it: the power cycle a
//   dead run staged is still wanted.
// Each step is one debug-log line; each interrupted run one line for standard
// error. A journal that is damaged is trusted up to the damage; one in a place
// others could have changed is not read at all.
class CJournalRecovery
{
public:
    explicit CJournalRecovery(SJournalPolicy policy, std::shared_ptr<IJournalHost> host =
                                                         std::make_shared<RealJournalHost>());

    // Recovers from what `journal` holds and starts this run's journal.
    // `updating`: this run will open the IPMI device (-u), so the sessions
    // left open are ended by it. Returns the lines for standard error.
    std::vector<std::string> Run(CChangeJournal& journal, bool updating);

private:
    struct Section;
    std::string undoRuleFile(const std::string& path, const std::string& sha, bool& removed);
    std::string undoDaemon(const std::string& name);
    std::string undoModule(const std::string& name);
    std::string undoReportFile(const std::string& path);

    SJournalPolicy m_policy;
    std::shared_ptr<IJournalHost> m_host;
};

// "2024-05-01T10:00:00" in local time.
std::string JournalTime(time_t when);
