// What the run after a killed one undoes from its journal, and what it only
// says: rule files as written, modules free to go, report leftovers; the
// session carried on; the flag left as the controller holds it.
#include "JournalRecovery.h"
#include "FoundationTestSupport.h"
#include "Sha256.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

using namespace foundationtest;

namespace
{

// lsmod and rmmod over a set of loaded modules, some of them in use.
class FakeModules : public IJournalHost
{
public:
    int RunShell(const std::string& command) override
    {
        commands.push_back(command);
        for (const std::string& name : loaded) {
            if (command == "lsmod | grep '^" + name + " ' > /dev/null 2>&1") {
                return 0;
            }
            if (command == "rmmod " + name + " > /dev/null 2>&1") {
                if (inUse.count(name) != 0) {
                    return 256;
                }
                loaded.erase(name);
                return 0;
            }
        }
        return 256;
    }
    std::set<std::string> loaded;
    std::set<std::string> inUse;
    std::vector<std::string> commands;
};

struct Host {
    TempDir dir;
    std::string rules = dir.file("rules.d");
    std::string state = dir.file("state");
    std::shared_ptr<FakeModules> modules = std::make_shared<FakeModules>();
    unsigned reloads = 0;
    std::vector<std::string> started; // daemons started again

    Host() { mkdir(rules.c_str(), 0755); }

    SJournalPolicy policy()
    {
        SJournalPolicy p;
        p.ruleFiles = {rules + "/98-a.rules", rules + "/00-b.rules", rules + "/99-c.rules"};
        p.reloadRules = [this] { ++reloads; };
        p.daemons = {"haldaemon"};
        p.startDaemon = [this](const std::string& name) {
            started.push_back(name);
            return true;
        };
        return p;
    }
    // A journal as the killed run left it.
    void leave(const std::vector<JournalRecord>& records)
    {
        mkdir(state.c_str(), 0700);
        std::string text = EncodeJournalRecord({"lumoswitch-journal", {"1"}});
        for (const JournalRecord& r : records) {
            text += EncodeJournalRecord(r);
        }
        dir.write("state/journal", text);
        chmod((state + "/journal").c_str(), 0600);
    }
    std::vector<std::string> recover(CChangeJournal& journal, bool updating)
    {
        CJournalRecovery recovery(policy(), modules);
        return recovery.Run(journal, updating);
    }
};

const time_t kStarted = 1700000000;

std::string Prefix()
{
    return "lumoswitch: recovered from an interrupted run of process 4242 started at " +
           JournalTime(kStarted) + ": ";
}

} // namespace

TEST(JournalRecovery, UndoesWhatTheKilledRunListsAndSaysWhatItKept)
{
    Host host;
    const std::string a = host.rules + "/98-a.rules";
    const std::string b = host.rules + "/00-b.rules";
    const std::string c = host.rules + "/99-c.rules";
    host.dir.write("rules.d/98-a.rules", "# a\n");
    host.dir.write("rules.d/00-b.rules", "# b, changed by the administrator since\n");
    const std::string report = host.dir.file(".update.xml.Xy12Z9");
    host.dir.write(".update.xml.Xy12Z9", "<?xml");
    host.modules->loaded = {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"};
    host.modules->inUse = {"ipmi_msghandler"};
    host.leave({
        journalrecord::Run(4242, kStarted),
        journalrecord::RuleFile(a, "# a\n"),
        journalrecord::RuleFile(b, "# b\n"),
        journalrecord::RuleFile(c, "# c\n"), // killed before it was made
        journalrecord::DaemonStopped("haldaemon"),
        journalrecord::DaemonStopped("sshd"), // never one this tool stops
        journalrecord::Module("ipmi_msghandler"),
        journalrecord::Module("ipmi_devintf"),
        journalrecord::Module("ipmi_si"),
        journalrecord::Module("usb_storage"),
        journalrecord::ModuleGone("usb_storage"),
        journalrecord::Session(0x04d2),
        journalrecord::Flag(5),
        journalrecord::FlagSet(5),
        journalrecord::ReportFile(report),
    });

    CChangeJournal journal(host.state);
    const std::vector<std::string> lines = host.recover(journal, true);

    EXPECT_FALSE(exists(a));
    EXPECT_EQ("# b, changed by the administrator since\n", readFile(b));
    EXPECT_FALSE(exists(report));
    EXPECT_EQ(1u, host.reloads);
    EXPECT_EQ((std::vector<std::string>{"haldaemon"}), host.started);
    EXPECT_EQ((std::set<std::string>{"ipmi_msghandler"}), host.modules->loaded);
    // The later modules go first: they use the earlier ones.
    EXPECT_EQ((std::vector<std::string>{"lsmod | grep '^ipmi_si ' > /dev/null 2>&1",
                                        "rmmod ipmi_si > /dev/null 2>&1",
                                        "lsmod | grep '^ipmi_devintf ' > /dev/null 2>&1",
                                        "rmmod ipmi_devintf > /dev/null 2>&1",
                                        "lsmod | grep '^ipmi_msghandler ' > /dev/null 2>&1",
                                        "rmmod ipmi_msghandler > /dev/null 2>&1"}),
              host.modules->commands);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(Prefix() + "removed rule file " + a + "; removed report temporary file " + report +
                  "; kept rule file " + b +
                  " (changed since); started daemon haldaemon again; left daemon sshd alone (not "
                  "a daemon this tool stops); unloaded module ipmi_si; unloaded module "
                  "ipmi_devintf; kept "
                  "module ipmi_msghandler (in use); its repository session 0x04d2 is ended when "
                  "this run reaches the controller; the power-cycle flag it set stays set (the "
                  "power cycle it staged is still wanted)",
              lines[0]);

    // The session needs the controller: this run carries it until it is ended.
    ASSERT_EQ(1u, journal.LeftSessions().size());
    EXPECT_EQ(0x04d2, journal.LeftSessions()[0].handle);
    EXPECT_EQ(4242, journal.LeftSessions()[0].pid);
    journal.Note(journalrecord::LeftSessionGone(0x04d2));
    journal.Finish();
    EXPECT_FALSE(exists(journal.path()));
}

TEST(JournalRecovery, ASecondRecoveryFindsNothingLeftAndAnInventoryRunKeepsTheSession)
{
    Host host;
    // The daemon it stopped it had started again itself.
    host.leave({journalrecord::Run(4242, kStarted), journalrecord::DaemonStopped("haldaemon"),
                journalrecord::DaemonRunning("haldaemon"), journalrecord::Session(0x0007),
                journalrecord::Flag(5)});
    {
        CChangeJournal journal(host.state);
        const std::vector<std::string> lines = host.recover(journal, false);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(Prefix() +
                      "its repository session 0x0007 stays listed until a run with -u ends it; "
                      "its request for the power-cycle flag was not confirmed (the flag is as the "
                      "controller holds it)",
                  lines[0]);
        journal.Finish();
    }
    // Killed while the session was still listed, or ended normally: the next
    // run names the run that opened it, and has nothing else to do.
    CChangeJournal journal(host.state);
    const std::vector<std::string> lines = host.recover(journal, true);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(Prefix() + "its repository session 0x0007 is ended when this run reaches the "
                         "controller",
              lines[0]);
    journal.Note(journalrecord::LeftSessionGone(0x0007));
    journal.Finish();

    CChangeJournal third(host.state);
    EXPECT_TRUE(host.recover(third, true).empty());
    EXPECT_TRUE(host.modules->commands.empty());
    EXPECT_TRUE(host.started.empty());
}

TEST(JournalRecovery, OnlyTheRuleFilesAndReportLeftoversItCouldHaveWrittenAreRemoved)
{
    Host host;
    const std::string outside = host.dir.file("98-a.rules");
    host.dir.write("98-a.rules", "# a\n");
    const std::string report = host.dir.file("update.xml");
    host.dir.write("update.xml", "<report/>");
    const std::string linked = host.rules + "/00-b.rules";
    ASSERT_EQ(0, symlink(outside.c_str(), linked.c_str()));
    // A report's folder swapped for a link to another folder of root's that
    // holds a file of the same name.
    ASSERT_EQ(0, mkdir(host.dir.file("elsewhere").c_str(), 0700));
    host.dir.write("elsewhere/.update.xml.AbC123", "root's own");
    ASSERT_EQ(0, symlink(host.dir.file("elsewhere").c_str(), host.dir.file("drop").c_str()));
    const std::string swapped = host.dir.file("drop") + "/.update.xml.AbC123";
    host.leave({
        journalrecord::Run(4242, kStarted),
        journalrecord::RuleFile(outside, "# a\n"),
        journalrecord::RuleFile(linked, "# a\n"),
        journalrecord::ReportFile(report),
        journalrecord::ReportFile(swapped),
    });
    CChangeJournal journal(host.state);
    const std::vector<std::string> lines = host.recover(journal, true);
    EXPECT_EQ("# a\n", readFile(outside));
    EXPECT_EQ("<report/>", readFile(report));
    EXPECT_EQ("root's own", readFile(swapped));
    struct stat info = {};
    EXPECT_EQ(0, lstat(linked.c_str(), &info));
    EXPECT_EQ(0u, host.reloads);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(Prefix() + "left " + report + " alone (not a report's temporary file); left " +
                  swapped + " alone (its folder is reached through a link); left " + outside +
                  " alone (not a rule file this tool writes); kept rule file " + linked +
                  " (not the plain file it wrote)",
              lines[0]);
}

TEST(JournalRecovery, DamageIsTrustedUpToItAndGarbageIsSetAsideUntouched)
{
    Host host;
    const std::string a = host.rules + "/98-a.rules";
    const std::string b = host.rules + "/00-b.rules";
    host.dir.write("rules.d/98-a.rules", "# a\n");
    host.dir.write("rules.d/00-b.rules", "# b\n");
    host.leave({journalrecord::Run(4242, kStarted), journalrecord::RuleFile(a, "# a\n"),
                journalrecord::RuleFile(b, "# b\n"), journalrecord::Module("ipmi_si")});
    // The record of b damaged, the one after it intact.
    std::string text = readFile(host.state + "/journal");
    const size_t line4 = text.find(" rule ", text.find(" rule ") + 1);
    text[line4 + 10] ^= 0x20;
    host.dir.write("state/journal", text);
    {
        CChangeJournal journal(host.state);
        const std::vector<std::string> lines = host.recover(journal, true);
        EXPECT_FALSE(exists(a));
        EXPECT_TRUE(exists(b));
        EXPECT_TRUE(host.modules->commands.empty());
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(Prefix() + "removed rule file " + a, lines[0]);
        EXPECT_EQ("lumoswitch: the crash journal " + journal.path() +
                      " is damaged at line 4; nothing it lists from there on was undone",
                  lines[1]);
        journal.Finish();
    }

    host.dir.write("state/journal", "rm -rf /\n");
    chmod((host.state + "/journal").c_str(), 0600);
    CChangeJournal journal(host.state);
    const std::vector<std::string> lines = host.recover(journal, true);
    EXPECT_TRUE(exists(b));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("lumoswitch: the crash journal was not read (" + journal.path() +
                  " is not a journal of this tool); nothing it lists was undone; it is kept as " +
                  journal.path() + ".damaged",
              lines[0]);
    EXPECT_EQ("rm -rf /\n", readFile(journal.path() + ".damaged"));
    EXPECT_FALSE(exists(journal.path()));
    journal.Note(journalrecord::Module("ipmi_si"));
    EXPECT_TRUE(exists(journal.path())) << "this run keeps its own journal";
    journal.Finish();
}
