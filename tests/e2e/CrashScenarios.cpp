// Runs killed with SIGKILL where the host or the controller holds one of
// their changes, then a second run and a third, in one sandbox whose rule
// folders, module table, state folder and controller outlive each process.
// The kill points are holds of the simulators (a controller request never
// answered, a chunk held by the switch, the report's rename held), so each
// run dies exactly there.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <functional>
#include <regex>

#include "SwitchBoard.h"

namespace
{

using namespace e2e;

// drive.sh SECOND_ARGS...: the killed run with kill.script and kill.conf
// (its report named $E2E_OUT, else update.xml), tamper.sh when there is one,
// then the second and third runs (-i, or $E2E_THIRD) with after.script and
// after.conf. After
// each run N: rules-N.txt, modules-N.txt, state-N.txt, ipmi-N.log,
// leftovers-N.txt (report temporary files), journal-N.txt when one is left,
// haldaemon-N.txt on a SUSE host (the daemon's state).
const char kDriver[] = R"(#!/bin/bash
set -m
snap() {
    for d in /etc/udev/rules.d /lib/udev/rules.d /run/udev/rules.d; do
        for f in 98-secupdusb.rules 00-secupd-vantor.rules; do
            [ -e "$d/$f" ] && echo "$d/$f"
        done
    done > "rules-$1.txt"
    cat /run/standins/modules > "modules-$1.txt"
    [ -e ipmi.state ] && cp ipmi.state "state-$1.txt"
    [ -e ipmi.log ] && mv ipmi.log "ipmi-$1.log"
    ls -a | grep '^\.update\.xml\.' > "leftovers-$1.txt"
    [ -e /var/lib/lumoswitch/journal ] && cp /var/lib/lumoswitch/journal "journal-$1.txt"
    [ -e /etc/haldaemon.state ] && cp /etc/haldaemon.state "haldaemon-$1.txt"
    true
}
snap 0
cp kill.script ipmi.script
cp kill.conf storelib_topology.conf
# The killed run holds the IPMI device open: the kernel refuses to unload
# the modules it loaded until the process is gone.
echo "ipmi_msghandler ipmi_devintf ipmi_si" > /run/standins/modules.busy
out=${E2E_OUT:-update.xml}
E2E_HOLD_RENAME=update.xml ./lumoswitch -u -o "$out" 2>run1.err &
pid=$!
echo "$pid" > run1.pid
for _ in $(seq 1 3000); do
    if grep -qs ' held' ipmi.log || compgen -G 'held_*' >/dev/null || [ -e "$out.held" ]; then
        echo held > run1.held
        break
    fi
    sleep 0.02
done
kill -KILL "$pid"
wait "$pid"
echo $? > run1.status
rm /run/standins/modules.busy
snap 1
rm -f held_* "$out.held"
if [ -e tamper.sh ]; then
    bash ./tamper.sh
fi
cp after.script ipmi.script
cp after.conf storelib_topology.conf
./lumoswitch "$@" -o second.xml 2>run2.err
echo $? > run2.status
snap 2
./lumoswitch "${E2E_THIRD:--i}" -o third.xml 2>run3.err
echo $? > run3.status
snap 3
if [ -e /etc/lumo-victim ]; then cat /etc/lumo-victim > victim.txt; fi
)";

const char kRecovered[] =
    "lumoswitch: recovered from an interrupted run of process PID started at T: ";
const char kRules[] = "removed rule files /etc/udev/rules.d/98-secupdusb.rules, "
                      "/etc/udev/rules.d/00-secupd-vantor.rules";
const char kModules[] =
    "; unloaded module ipmi_si; unloaded module ipmi_devintf; unloaded module ipmi_msghandler";
const char kSessionEnded[] =
    "; its repository session 0x1234 is ended when this run reaches the controller";
const char kFlagUnconfirmed[] = "; its request for the power-cycle flag was not confirmed (the "
                                "flag is as the controller holds it)";
const char kFlagKept[] =
    "the power-cycle flag it set stays set (the power cycle it staged is still wanted)";

// The hardware daemon's init script on a SUSE host, running until stopped.
const char kHalDaemon[] = R"sh(#!/bin/sh
state=/etc/haldaemon.state
[ "$1" = status ] && echo "Checking for service HAL daemon: $(cat $state)"
[ "$1" = stop ] && echo unused > $state
[ "$1" = start ] && echo running > $state
exit 0
)sh";

// Runs drive.sh with SECOND as the second run's option: the killed run meets
// the healthy controller with `killRules` added and the board with
// `killTopology` lines, the runs after meet both healthy. `prepareRoot` adds
// to the sandbox root before the first run (release files, folders).
RunResult DriveKilledRun(PackageDir& pkg, const std::string& killRules,
                         const std::string& killTopology, const std::string& second,
                         const std::vector<std::string>& env,
                         const std::function<void(const std::string& root)>& prepareRoot = nullptr)
{
    FillBoardPackage(pkg);
    pkg.write("drive.sh", kDriver);
    pkg.write("kill.script", std::string(kHealthyController) + killRules);
    pkg.write("after.script", kHealthyController);
    pkg.write("kill.conf", BoardTopology(killTopology));
    pkg.write("after.conf", BoardTopology());

    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.rootDir = RuleDirsRoot(pkg.path() + ".root");
    if (prepareRoot) {
        prepareRoot(opts.rootDir);
    }
    opts.modules = "-";
    opts.preload = LUMO_E2E_HOLDRENAME_PRELOAD;
    opts.env = {"SIMIPMI_PERSIST=1", "SIMIPMI_LOG_APPEND=1",
                "STORELIB_SIM_TOPOLOGY=" + pkg.file("storelib_topology.conf"),
                "STORELIB_SIM_OUTDIR=" + pkg.path()};
    opts.env.insert(opts.env.end(), env.begin(), env.end());
    opts.standins = {"chmod"};
    opts.timeoutSeconds = 240;
    return RunCommand(pkg, {"/bin/bash", "./drive.sh", second}, opts);
}

struct Point {
    const char* name;
    const char* killRules;    // controller rules of the killed run
    const char* killTopology; // lines after the second switch
    bool hostSide;            // no session open: also recovered by -i
    std::string recovered;    // what the second run says it did; empty: nothing to recover
    bool sessionLeft;         // the killed run's session was open
    bool flagSet;             // the killed run had set the flag
    bool suse = false;        // a SUSE host, whose HAL daemon the run stops
};

std::vector<Point> Points()
{
    const std::string host = std::string(kRules) + kModules;
    return {
        {"rules", "on 30 ae : hold\n", "", true, host, false, false},
        // Killed with the HAL daemon stopped for the rule files.
        {"rules_suse", "on 30 ae : hold\n", "", true,
         std::string(kRules) + "; started daemon haldaemon again" + kModules, false, false, true},
        {"opening", "on 30 a2 00 skip 1 times 1 : hold\non 30 a2 12 : cc 01\non 30 a2 00 : cc 01\n",
         "", true, host, false, false},
        {"open", "on 30 a2 03 : hold\n", "", false, host + kSessionEnded, true, false},
        {"download", "", "fault dev=9 opcode=0x3b chunk=2 hold=1\n", true, "", false, false},
        {"poll", "on 30 a2 11 : pending 50\non 30 a2 0a skip 1 : hold\n", "", false,
         host + kSessionEnded + kFlagUnconfirmed, true, false},
        {"flag", "on 30 a2 01 : hold\n", "", false, host + kSessionEnded + "; " + kFlagKept, true,
         true},
        // The modules stay listed: the kernel refused them while the run
        // still held the device.
        {"report", "", "", true,
         "removed report temporary file PKG/.update.xml.XXXXXX" + std::string(kModules) + "; " +
             kFlagKept,
         false, true},
    };
}

struct Case {
    Point point;
    std::string second; // "-u" or "-i"
};

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (const Point& p : Points()) {
        cases.push_back({p, "-u"});
        if (p.hostSide) {
            cases.push_back({p, "-i"});
        }
    }
    return cases;
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.point.name << " then " << c.second;
}

class KilledRun : public ::testing::TestWithParam<Case>
{
};

TEST_P(KilledRun, IsRepairedByTheNextRunAndTheRunAfterFindsNothing)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Case& c = GetParam();
    const Point& p = c.point;
    PackageDir pkg(std::string("crash-") + p.name + (c.second == "-u" ? "-u" : "-i"));
    const RunResult r = DriveKilledRun(
        pkg, p.killRules, p.killTopology, c.second, {}, [&](const std::string& root) {
            if (p.suse) {
                WriteFile(root + "/etc/SuSE-release", "SUSE Linux Enterprise Server 11 (x86_64)\n");
                WriteFile(root + "/etc/init.d/haldaemon", kHalDaemon);
                chmod((root + "/etc/init.d/haldaemon").c_str(), 0755);
                WriteFile(root + "/etc/haldaemon.state", "running\n");
            }
        });
    ASSERT_EQ(r.status, 0) << r.err;

    // The first run died at its hold, with its change in place.
    ASSERT_EQ(pkg.read("run1.held"), "held\n") << "the simulators never held the run";
    EXPECT_EQ(pkg.read("run1.status"), "137\n");
    EXPECT_EQ(pkg.exists("journal-1.txt"), !p.recovered.empty());

    // The second run undid it and says so in one line.
    EXPECT_EQ(pkg.read("run2.status"), "0\n") << pkg.read("run2.err");
    std::string said = pkg.read("run2.err");
    const std::string pid = Lines(pkg.read("run1.pid")).at(0);
    if (p.recovered.empty()) {
        EXPECT_EQ(said, "");
    } else {
        std::string expected = p.recovered;
        const size_t at = expected.find("PKG/");
        if (at != std::string::npos) {
            expected.replace(at, 3, pkg.path());
            const size_t dot = said.find("/.update.xml.");
            ASSERT_NE(dot, std::string::npos) << said;
            expected.replace(expected.find("XXXXXX"), 6, said.substr(dot + 13, 6));
        }
        if (c.second == "-i") {
            ASSERT_EQ(expected.find("session"), std::string::npos);
        }
        const std::regex line("lumoswitch: recovered from an interrupted run of process " + pid +
                              " started at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}: (.*)\n");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(said, match, line)) << said;
        EXPECT_EQ(match[1].str(), expected);
    }

    // The host as before the first run: rule folders, modules, no report
    // leftovers; the second run's own journal gone with it.
    EXPECT_EQ(pkg.read("rules-2.txt"), pkg.read("rules-0.txt"));
    EXPECT_EQ(pkg.read("modules-2.txt"), pkg.read("modules-0.txt"));
    EXPECT_EQ(pkg.read("leftovers-2.txt"), "");
    EXPECT_FALSE(pkg.exists("journal-2.txt"));
    if (p.suse) {
        EXPECT_EQ(pkg.read("haldaemon-1.txt"), "unused\n");
        EXPECT_EQ(pkg.read("haldaemon-2.txt"), "running\n");
        EXPECT_EQ(pkg.read("haldaemon-3.txt"), "running\n");
    }

    // The controller: no session left open; the dead run's ended by its
    // handle before the second run asked for its own.
    const std::map<std::string, std::string> state = ParseState(pkg.read("state-2.txt"));
    if (!state.empty()) {
        EXPECT_EQ(state.at("session"), "closed");
        EXPECT_EQ(state.at("sessions_opened"), state.at("sessions_ended"));
    }
    const std::vector<std::string> requests = Lines(pkg.read("ipmi-2.log"));
    if (p.sessionLeft) {
        const std::vector<std::string> ops = Ops(requests);
        const auto end = std::find(ops.begin(), ops.end(), "EndCORVELSession");
        const auto begin = std::find(ops.begin(), ops.end(), "BeginCORVELSessionExtended");
        ASSERT_TRUE(end < begin) << pkg.read("ipmi-2.log");
        const std::string& ended = requests[end - ops.begin()];
        EXPECT_NE(ended.find("req=01,34,12,00,00 cc=00 "), std::string::npos) << ended;
    }
    // The flag as a user expects it: set by whichever run staged the power
    // cycle, never by the recovery.
    const bool flagWanted = c.second == "-u" || p.flagSet;
    if (!state.empty()) {
        EXPECT_EQ(state.at("flag"), flagWanted ? "0x05" : "none");
    } else {
        EXPECT_FALSE(flagWanted);
    }

    // The second run's report is what it did.
    const std::string report = pkg.read("second.xml");
    if (c.second == "-u") {
        EXPECT_EQ(Occurrences(report, Passed(kSuccessText)), 2u) << report;
        EXPECT_NE(report.find("<RebootRequired>1</RebootRequired>"), std::string::npos);
    } else {
        EXPECT_EQ(Occurrences(report, "<Device "), 2u) << report;
    }

    // The third run finds nothing to recover.
    EXPECT_EQ(pkg.read("run3.status"), "0\n");
    EXPECT_EQ(pkg.read("run3.err"), "");
    EXPECT_FALSE(pkg.exists("journal-3.txt"));
    EXPECT_EQ(pkg.read("rules-3.txt"), pkg.read("rules-0.txt"));
    EXPECT_EQ(pkg.read("modules-3.txt"), pkg.read("modules-0.txt"));
}

INSTANTIATE_TEST_SUITE_P(Points, KilledRun, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return std::string(param.param.point.name) + "_then" +
                                    (param.param.second == "-u" ? "Update" : "Inventory");
                         });

std::string Normalised(const std::string& text)
{
    static const std::regex run(R"(process \d+ started at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)");
    static const std::regex temporary(R"((/\.update\.xml\.)[A-Za-z0-9]{6}\b)");
    return std::regex_replace(std::regex_replace(text, run, "process PID started at T"), temporary,
                              "$1XXXXXX");
}

// A session a killed run left open needs the controller: inventory runs,
// which never open the IPMI device, keep it listed (and say so) until an
// update ends it with the killed run's handle.
TEST(KilledRunSession, StaysListedThroughAnInventoryRunUntilAnUpdateEndsIt)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg("crash-open-i-then-u");
    const RunResult r = DriveKilledRun(pkg, "on 30 a2 03 : hold\n", "", "-i", {"E2E_THIRD=-u"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(pkg.read("run1.held"), "held\n");
    const std::string pid = Lines(pkg.read("run1.pid")).at(0);
    // Both runs name the killed run.
    for (const char* err : {"run2.err", "run3.err"}) {
        EXPECT_NE(pkg.read(err).find("of process " + pid + " started at "), std::string::npos)
            << err << ": " << pkg.read(err);
    }

    // The inventory run undid what is on the host and kept the session.
    EXPECT_EQ(pkg.read("run2.status"), "0\n");
    EXPECT_EQ(Normalised(pkg.read("run2.err")),
              kRecovered + std::string(kRules) + kModules +
                  "; its repository session 0x1234 stays listed until a run with -u ends it\n");
    EXPECT_EQ(pkg.read("rules-2.txt"), "");
    EXPECT_EQ(pkg.read("modules-2.txt"), pkg.read("modules-0.txt"));
    EXPECT_EQ(ParseState(pkg.read("state-2.txt")).at("session"), "open");
    const std::vector<std::string> listed = Lines(pkg.read("journal-2.txt"));
    ASSERT_EQ(listed.size(), 3u) << pkg.read("journal-2.txt");
    EXPECT_EQ(listed[1].substr(17, 4 + pid.size()), "run " + pid);
    EXPECT_EQ(listed[2].substr(17), "session 0x1234");

    // The update ended it with the killed run's handle before opening its own.
    EXPECT_EQ(pkg.read("run3.status"), "0\n");
    EXPECT_EQ(Normalised(pkg.read("run3.err")),
              std::string(kRecovered) +
                  "its repository session 0x1234 is ended when this run reaches the controller\n");
    EXPECT_FALSE(pkg.exists("journal-3.txt"));
    const std::map<std::string, std::string> state = ParseState(pkg.read("state-3.txt"));
    EXPECT_EQ(state.at("session"), "closed");
    EXPECT_EQ(state.at("sessions_opened"), state.at("sessions_ended"));
    EXPECT_EQ(state.at("flag"), "0x05");
    const std::vector<std::string> requests = Lines(pkg.read("ipmi-3.log"));
    const std::vector<std::string> ops = Ops(requests);
    const auto end = std::find(ops.begin(), ops.end(), "EndCORVELSession");
    const auto begin = std::find(ops.begin(), ops.end(), "BeginCORVELSessionExtended");
    ASSERT_TRUE(end < begin) << pkg.read("ipmi-3.log");
    EXPECT_NE(requests[end - ops.begin()].find("req=01,34,12,00,00 cc=00 "), std::string::npos);
    EXPECT_EQ(Occurrences(pkg.read("third.xml"), Passed(kSuccessText)), 2u);
}

// What a journal others could have damaged or changed does. The first run is
// killed with the rule files installed (and the report, in the last case);
// then the journal, its folder or what it lists is changed, and the next
// two runs take inventory.
struct Damage {
    const char* name;
    const char* killRules;
    const char* tamper;    // run as root after the kill (chmod is a stand-in)
    const char* firstOut;  // the killed run's report
    std::string second;    // standard error of the second run, normalised
    std::string third;     // and of the third
    std::string rulesLeft; // after the second run
    // What the tamper step wrote to attack.txt, when it does.
    const char* attack = nullptr;
    // The tamper step put root's secret at /etc/lumo-victim: it must stay.
    bool victim = false;
};

const char kRule1[] = "/etc/udev/rules.d/98-secupdusb.rules";
const char kRule2[] = "/etc/udev/rules.d/00-secupd-vantor.rules";
const char kJournalPath[] = "/var/lib/lumoswitch/journal";
const char kNoJournal[] =
    "lumoswitch: this run keeps no crash journal (/var/lib/lumoswitch/journal "
    "is not owned by root): if it is killed, the next run cannot undo what "
    "it changed\n";

std::vector<Damage> Damages()
{
    const std::string both = std::string(kRule1) + "\n" + kRule2 + "\n";
    return {
        // A crash during an append: that record's change was never made.
        {"torn_last_record", "on 30 ae : hold\n",
         "head -c -9 /var/lib/lumoswitch/journal > j && cat j > /var/lib/lumoswitch/journal\n"
         "rm j /etc/udev/rules.d/00-secupd-vantor.rules\n",
         "update.xml", std::string(kRecovered) + "removed rule file " + kRule1 + kModules + "\n",
         "", ""},
        {"garbage", "on 30 ae : hold\n",
         "head -c 4096 /dev/urandom > /var/lib/lumoswitch/journal\n", "update.xml",
         "lumoswitch: the crash journal was not read (/var/lib/lumoswitch/journal is not a "
         "journal of this tool); nothing it lists was undone; it is kept as "
         "/var/lib/lumoswitch/journal.damaged\n",
         "", both},
        {"journal_of_another_user", "on 30 ae : hold\n",
         "chown 65534:65534 /var/lib/lumoswitch/journal\n", "update.xml",
         "lumoswitch: the crash journal was not read (/var/lib/lumoswitch/journal is not "
         "owned by root); nothing it lists was undone\n" +
             std::string(kNoJournal),
         "lumoswitch: the crash journal was not read (/var/lib/lumoswitch/journal is not "
         "owned by root); nothing it lists was undone\n" +
             std::string(kNoJournal),
         both},
        {"folder_others_can_write", "on 30 ae : hold\n", "install -d -m 0777 /var/lib/lumoswitch\n",
         "update.xml",
         "lumoswitch: /var/lib/lumoswitch is writable by group or others: the crash journal "
         "there was not read, and this run keeps none; if it is killed, the next run cannot "
         "undo what it changed\n",
         "lumoswitch: /var/lib/lumoswitch is writable by group or others: the crash journal "
         "there was not read, and this run keeps none; if it is killed, the next run cannot "
         "undo what it changed\n",
         both},
        {"rule_file_changed_since", "on 30 ae : hold\n",
         "echo '# the administrator' >> /etc/udev/rules.d/98-secupdusb.rules\n", "update.xml",
         std::string(kRecovered) + "removed rule file " + kRule2 + "; kept rule file " + kRule1 +
             " (changed since)" + kModules + "\n",
         "", std::string(kRule1) + "\n"},
        // Another user, with the journal of a killed run in place, tries
        // to read it, plant names beside it, replace it or move the folder
        // away: each is refused, and the recovery acts on root's journal.
        {"another_user_at_the_state_folder", "on 30 ae : hold\n",
         "env -u LD_PRELOAD setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '\n"
         "J=/var/lib/lumoswitch\n"
         "for a in \"cat $J/journal\" \"ls $J\" \"touch $J/journal.new\" \"ln -s /etc/lumo-victim "
         "$J/journal.damaged\" \"mv $J/journal $J/journal.old\" \"mv $J /var/lib/lumo\" \"mkdir "
         "/var/lib/lumoswitch.new\"; do\n"
         "  if sh -c \"$a\" > /dev/null 2>&1; then echo \"done: $a\"; else echo \"refused: $a\"; "
         "fi\n"
         "done' > attack.txt\n",
         "update.xml",
         std::string(kRecovered) + "removed rule files " + kRule1 + ", " + kRule2 + kModules + "\n",
         "", "",
         "refused: cat /var/lib/lumoswitch/journal\n"
         "refused: ls /var/lib/lumoswitch\n"
         "refused: touch /var/lib/lumoswitch/journal.new\n"
         "refused: ln -s /etc/lumo-victim /var/lib/lumoswitch/journal.damaged\n"
         "refused: mv /var/lib/lumoswitch/journal /var/lib/lumoswitch/journal.old\n"
         "refused: mv /var/lib/lumoswitch /var/lib/lumo\n"
         "refused: mkdir /var/lib/lumoswitch.new\n"},
        // Another user owns the folder the report was asked for: once the
        // run is dead, that user swaps its temporary file for a link.
        {"report_leftover_swapped_for_a_link", "",
         "(umask 077 && echo 'root secret' > /etc/lumo-victim)\n"
         "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "
         "'cd /tmp/drop && for f in .update.xml.*; do rm -f \"$f\"; "
         "ln -s /etc/lumo-victim \"$f\"; done'\n",
         "/tmp/drop/update.xml",
         std::string(kRecovered) +
             "left /tmp/drop/.update.xml.XXXXXX alone (not the report's "
             "temporary file)" +
             kModules + "; " + kFlagKept + "\n",
         "", "", nullptr, true},
        // Or swaps the folder itself for a link to a folder of root's that
        // holds a file of that name.
        {"report_folder_swapped_for_a_link", "",
         "f=$(ls -a /tmp/drop | grep '^\\.update\\.xml\\.')\n"
         "install -d -m 0700 /etc/lumo-secret\n"
         "(umask 077 && echo 'root secret' > \"/etc/lumo-secret/$f\")\n"
         "ln -s \"/etc/lumo-secret/$f\" /etc/lumo-victim\n"
         "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "
         "'mv /tmp/drop /tmp/drop.old && ln -s /etc/lumo-secret /tmp/drop'\n",
         "/tmp/drop/update.xml",
         std::string(kRecovered) +
             "left /tmp/drop/.update.xml.XXXXXX alone (its folder is reached through a link)" +
             kModules + "; " + kFlagKept + "\n",
         "", "", nullptr, true},
    };
}

void PrintTo(const Damage& d, std::ostream* os)
{
    *os << d.name;
}

class DamagedJournal : public ::testing::TestWithParam<Damage>
{
};

TEST_P(DamagedJournal, IsHandledWithoutActingOnWhatCannotBeTrusted)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Damage& d = GetParam();
    PackageDir pkg(std::string("damaged-") + d.name);
    pkg.write("tamper.sh", std::string("mkdir -p /tmp/drop\n") + d.tamper);
    bool dropGiven = false;
    const RunResult r =
        DriveKilledRun(pkg, d.killRules, "", "-i", {std::string("E2E_OUT=") + d.firstOut},
                       [&](const std::string& root) {
                           // The report's folder belongs to another user.
                           std::filesystem::create_directories(root + "/tmp/drop");
                           dropGiven = chmod((root + "/tmp").c_str(), 01777) == 0 &&
                                       chown((root + "/tmp/drop").c_str(), 65534, 65534) == 0;
                       });
    ASSERT_TRUE(dropGiven);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(pkg.read("run1.held"), "held\n");

    EXPECT_EQ(pkg.read("run2.status"), "0\n");
    EXPECT_EQ(Normalised(pkg.read("run2.err")), d.second);
    EXPECT_EQ(pkg.read("rules-2.txt"), d.rulesLeft);
    EXPECT_NE(pkg.read("second.xml").find("</SVMInventory>"), std::string::npos);
    EXPECT_EQ(pkg.read("run3.status"), "0\n");
    EXPECT_EQ(Normalised(pkg.read("run3.err")), d.third);
    if (d.victim) {
        EXPECT_EQ(pkg.read("victim.txt"), "root secret\n");
    }
    if (d.attack != nullptr) {
        EXPECT_EQ(pkg.read("attack.txt"), d.attack);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedJournal, ::testing::ValuesIn(Damages()),
                         [](const ::testing::TestParamInfo<Damage>& param) {
                             return std::string(param.param.name);
                         });

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
