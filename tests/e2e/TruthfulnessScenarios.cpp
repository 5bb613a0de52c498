// Runs that must never end in a false success, end to end in the sandbox:
// ten overrun answers to the state flag, an unusable package, a report that
// cannot be written or synced, a symbolic link planted at the report name,
// termination signals at chosen points, and two runs started together. Each
// checks what the report says, what the controller ended with and what the
// host kept.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <filesystem>
#include <map>

#include "SwitchBoard.h"

namespace
{

using namespace e2e;

// Runs the tool (once, or twice at the same moment with "two"), optionally
// sends SIGTERM once the controller has seen the named request, and notes
// the rule files left in the three rule directories.
const std::string kDriver = std::string(R"(#!/bin/bash
set -m
mode=$1
shift
if [ "$mode" = two ]; then
    ./lumoswitch -u -o report-a.xml 2>a.err &
    a=$!
    ./lumoswitch -u -o report-b.xml 2>b.err &
    b=$!
    echo "$a $b" > pids.txt
    wait $a; echo $? > a.status
    wait $b; echo $? > b.status
    status=0
elif [ "$mode" = held ]; then
    # The second run starts while the first holds the lock, waiting for the
    # controller's answer to its state flag, with its debug logs under way.
    ./lumoswitch -u -d -o report-a.xml 2>a.err &
    a=$!
    for i in $(seq 1 1000); do
        grep -q "op=setStateFlagCmd" ipmi.log 2>/dev/null && break
        sleep 0.01
    done
    mkdir held
    for log in $E2E_DEBUG_LOGS; do
        [ -e "$log" ] && cp "$log" held/
    done
    ./lumoswitch -u -d -o report-b.xml 2>b.err
    echo $? > b.status
    kill -0 $a 2>/dev/null && echo "$a" > a-held.txt
    wait $a; echo $? > a.status
    status=0
else
    ./lumoswitch "$@" &
    pid=$!
    if [ -n "$E2E_TERM_AT" ]; then
        for i in $(seq 1 1000); do
            grep -q "op=$E2E_TERM_AT" ipmi.log 2>/dev/null && break
            sleep 0.01
        done
        kill -TERM $pid
    fi
    wait $pid
    status=$?
fi
)") + kListRulesLeft + "exit $status\n";

struct Scenario {
    explicit Scenario(std::string scenario) : name(std::move(scenario)) {}
    std::string name;
    std::string controller = kHealthyController;
    std::string topologyExtra; // lines after the second switch
    std::string termAt;        // request name at which SIGTERM is sent
    unsigned timeScale = 1000;
    std::vector<std::string> driverArgs = {"one", "-u", "-o", "report.xml"};
};

struct Outcome {
    RunResult run;
    std::string report;
    std::vector<std::string> requests;
    std::map<std::string, std::string> state;
    std::vector<std::string> rulesLeft;
    std::string trace;
};

// Two switches (device 8 is table row 0, downloaded first; device 9 row 1),
// each with a two-chunk image, the rule files beside the program.
PackageDir Prepare(const std::string& name, const std::string& topologyExtra = "")
{
    PackageDir pkg("truth-" + name);
    FillBoardPackage(pkg, topologyExtra);
    pkg.write("drive.sh", kDriver);
    return pkg;
}

SandboxOptions Options(const PackageDir& pkg, const Scenario& s)
{
    const std::string root = RuleDirsRoot(pkg.path() + ".root");
    SandboxOptions opts;
    opts.ipmiScript = s.controller;
    opts.ipmiTimeScale = s.timeScale;
    opts.rootDir = root;
    opts.env = {"E2E_TERM_AT=" + s.termAt,
                "STORELIB_SIM_TOPOLOGY=" + pkg.file("storelib_topology.conf"),
                "STORELIB_SIM_OUTDIR=" + pkg.path()};
    opts.standins = {"chmod"};
    return opts;
}

Outcome RunScenario(const Scenario& s)
{
    PackageDir pkg = Prepare(s.name, s.topologyExtra);
    std::vector<std::string> command = {"/bin/bash", "./drive.sh"};
    command.insert(command.end(), s.driverArgs.begin(), s.driverArgs.end());
    Outcome o;
    o.run = RunCommand(pkg, command, Options(pkg, s));
    o.report = pkg.read("report.xml");
    o.requests = Lines(pkg.read("ipmi.log"));
    o.state = ParseState(pkg.read("ipmi.state"));
    o.rulesLeft = Lines(pkg.read("rules-left.txt"));
    o.trace = pkg.trace();
    return o;
}

// Chunks of device `dev` in the storage library's trace.
unsigned ChunksOf(const std::string& trace, unsigned dev)
{
    return Occurrences(trace, "WRITE_BUFFER ctrl=0x05000000 dev=" + std::to_string(dev) + " ");
}

// Nothing of the staging is left behind on the controller or the host.
void ExpectCleanTeardown(const Outcome& o)
{
    if (!o.state.empty()) {
        EXPECT_EQ(o.state.at("session"), "closed");
        EXPECT_EQ(o.state.at("flag"), "none");
    }
    EXPECT_TRUE(o.rulesLeft.empty()) << o.rulesLeft.front();
}

TEST(Truthfulness, TenOverrunsToTheStateFlagPromiseNoPowerCycle)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Scenario s("overrun");
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : cc 10\n";
    const Outcome o = RunScenario(s);

    EXPECT_EQ(o.run.status, 0) << o.run.err;
    EXPECT_EQ(Count(Ops(o.requests), "setStateFlagCmd"), 10u);
    EXPECT_EQ(Ops(o.requests).back(), "EndCORVELSession");
    EXPECT_EQ(Occurrences(o.report, Passed(kManualText)), 2u) << o.report;
    EXPECT_EQ(o.report.find("RebootRequired"), std::string::npos) << o.report;
    ExpectCleanTeardown(o);
}

TEST(Truthfulness, UnusablePackageFailsEverySwitchWithTheReasonAndSendsNothing)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const struct {
        const char* name;
        const char* xml; // nullptr: no package.xml
        const char* error;
        mode_t mode = 0644;
        int status = 0; // 2: the file was refused
    } cases[] = {
        {"missing", nullptr, "ERROR: package.xml not found"},
        {"unparsable", "<SoftwareComponent><SupportedDevices><Device",
         "ERROR: package.xml could not be parsed"},
        {"empty", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>",
         "ERROR: package.xml lists no supported device"},
        // The tool's own refusal, named in the report as well.
        {"writable by the group", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>",
         "ERROR: package.xml refused: writable by group or others", 0664, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PackageDir pkg = Prepare(std::string("package-") + c.name);
        pkg.remove("package.xml");
        if (c.xml != nullptr) {
            pkg.package(c.xml);
            chmod(pkg.file("package.xml").c_str(), c.mode);
        }
        const RunResult r = RunProgram(pkg, {"-u", "-o", "report.xml"});
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string report = pkg.read("report.xml");
        EXPECT_EQ(Occurrences(report, Failed(c.error)), 2u) << report;
        EXPECT_EQ(report.find("result = \"true\""), std::string::npos) << report;
        EXPECT_EQ(ChunksOf(pkg.trace(), 8) + ChunksOf(pkg.trace(), 9), 0u);
        EXPECT_EQ(pkg.read("ipmi.log"), "") << "no controller request";
    }
}

// A device that takes no more bytes, and a disk that fails to sync the new
// report: the earlier report at the name stays whole, no temporary is left.
TEST(Truthfulness, ReportThatCannotBeWrittenEndsWithAnErrorLineAndStatusOne)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const struct {
        const char* name;
        bool syncFails; // into reports/report.xml, whose sync fails; else into /dev/full
        const char* cause;
    } cases[] = {
        {"full", false, "No space left on device"},
        {"sync", true, "Input/output error"},
    };
    for (const auto& c : cases) {
        for (const char* pass : {"-i", "-u"}) {
            SCOPED_TRACE(std::string(c.name) + " " + pass);
            PackageDir pkg = Prepare(std::string(c.name) + pass);
            const std::string earlier = "<?xml version=\"1.0\"?><SVMInventory lang=\"en\"/>";
            pkg.write("reports/report.xml", earlier);
            const std::string target = c.syncFails ? pkg.file("reports/report.xml") : "/dev/full";
            SandboxOptions opts;
            if (c.syncFails) {
                opts.preload = LUMO_E2E_FAILFSYNC_PRELOAD;
                opts.env = {"E2E_FAIL_FSYNC_DIR=" + pkg.file("reports")};
            }
            const RunResult r = RunProgram(pkg, {pass, "-o", target}, opts);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("lumoswitch: the report could not be written completely to " +
                                 target + ": " + c.cause + "\n"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(r.out, "") << "the named target was open: nothing on standard output";
            EXPECT_EQ(pkg.read("reports/report.xml"), earlier);
            std::vector<std::string> left;
            for (const auto& entry : std::filesystem::directory_iterator(pkg.file("reports"))) {
                left.push_back(entry.path().filename().string());
            }
            EXPECT_EQ(left, std::vector<std::string>{"report.xml"}) << "no temporary file is left";
        }
    }
}

// An unprivileged user plants a link at the report name in /tmp, pointing at
// a root-owned file; root then asks for the report there.
TEST(Truthfulness, SymbolicLinkPlantedAtTheReportNameIsNotFollowed)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = Prepare("report-link");
    pkg.write("attack.sh", R"(#!/bin/bash
(umask 077 && printf 'root secret\n' > /etc/lumo-victim)
setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s /etc/lumo-victim /tmp/report.xml
./lumoswitch -i -o /tmp/report.xml
status=$?
cat /etc/lumo-victim > victim-after.txt
stat -c '%U %a' /etc/lumo-victim >> victim-after.txt
readlink /tmp/report.xml > link-after.txt
stat -c '%U' /tmp/report.xml >> link-after.txt
exit $status
)");
    const RunResult r = RunCommand(pkg, {"/bin/bash", "./attack.sh"}, Options(pkg, Scenario("x")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pkg.read("victim-after.txt"), "root secret\nroot 600\n");
    EXPECT_EQ(pkg.read("link-after.txt"), "/etc/lumo-victim\nnobody\n") << "the link is left alone";
    EXPECT_EQ(r.out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><SVMInventory", 0), 0u)
        << "the report goes to standard output: " << r.out;
    EXPECT_NE(r.out.find("</SVMInventory>"), std::string::npos);
}

// SIGTERM while a switch takes chunk N: the chunk completes, nothing more is
// sent to any switch or the controller, the report says what was done.
TEST(Truthfulness, TerminationMidDownloadStopsAfterTheChunkUnderWay)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    ASSERT_LT(TableRow(0).first, TableRow(1).first) << "device 8 is downloaded first";
    const struct {
        const char* name;
        unsigned chunk; // of device 8, whose image has two
        unsigned chunksOf8;
        unsigned passed; // switches reported with the manual text
        unsigned failed;
    } cases[] = {
        {"first chunk", 1, 1, 0, 2},
        {"last chunk", 2, 2, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s(std::string("term-chunk") + std::to_string(c.chunk));
        s.topologyExtra =
            "fault dev=8 opcode=0x3b chunk=" + std::to_string(c.chunk) + " signal=15\n";
        const Outcome o = RunScenario(s);

        EXPECT_EQ(o.run.status, 128 + 15);
        EXPECT_NE(o.run.err.find("lumoswitch: stopped by signal 15 (Terminated); the report says "
                                 "what was done\n"),
                  std::string::npos)
            << o.run.err;
        EXPECT_EQ(ChunksOf(o.trace, 8), c.chunksOf8) << o.trace;
        EXPECT_EQ(ChunksOf(o.trace, 9), 0u) << o.trace;
        EXPECT_NE(o.trace.find("EXIT_LIB"), std::string::npos) << "the library was released";
        EXPECT_EQ(Occurrences(o.report, Passed(kManualText)), c.passed) << o.report;
        EXPECT_EQ(Occurrences(o.report, Failed(kUpdateFailed)), c.failed) << o.report;
        EXPECT_NE(o.report.find("</SVMExecution>"), std::string::npos);
        EXPECT_EQ(o.report.find("RebootRequired"), std::string::npos);
        EXPECT_TRUE(o.requests.empty()) << "no staging was started";
        ExpectCleanTeardown(o);
    }
}

// SIGTERM while the flag is pending and being polled: the poll under way
// completes, no further one is sent, the session is ended, the rule files go.
TEST(Truthfulness, TerminationDuringAPendingPollTearsDownAndReportsNoStaging)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Scenario s("term-poll");
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : pending 2500\n";
    s.termAt = "GetCORVELStatus";
    const Outcome o = RunScenario(s);

    EXPECT_EQ(o.run.status, 128 + 15);
    EXPECT_NE(o.run.err.find("lumoswitch: stopped by signal 15"), std::string::npos) << o.run.err;
    const std::vector<std::string> ops = Ops(o.requests);
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.back(), "EndCORVELSession");
    EXPECT_GE(Count(ops, "GetCORVELStatus"), 1u);
    EXPECT_LT(Count(ops, "GetCORVELStatus"), 2500u);
    EXPECT_EQ(Occurrences(o.report, Passed(kManualText)), 2u) << o.report;
    EXPECT_EQ(o.report.find("RebootRequired"), std::string::npos);
    EXPECT_EQ(ChunksOf(o.trace, 8), 2u);
    EXPECT_EQ(ChunksOf(o.trace, 9), 2u);
    EXPECT_EQ(o.state.at("sessions_ended"), "1");
    ExpectCleanTeardown(o);
    // The IPMI modules the run loaded were unloaded again.
    const std::string& calls = o.run.standins;
    for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
        const size_t loaded = calls.find(std::string("modprobe ") + module + "\n");
        ASSERT_NE(loaded, std::string::npos) << calls;
        EXPECT_NE(calls.find(std::string("rmmod ") + module + "\n", loaded), std::string::npos)
            << calls;
    }
}

// Started at the same moment: one runs, the other is refused at once,
// naming the first, and leaves no trace of its own.
TEST(Truthfulness, SecondOfTwoRunsStartedTogetherIsRefused)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Scenario s("two-runs");
    // The flag's answer takes a real second, so the first run is still on.
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : delay 1000\n";
    s.timeScale = 1;
    s.driverArgs = {"two"};
    PackageDir pkg = Prepare(s.name);
    const RunResult r = RunCommand(pkg, {"/bin/bash", "./drive.sh", "two"}, Options(pkg, s));
    ASSERT_EQ(r.status, 0) << r.err;

    std::istringstream pids(pkg.read("pids.txt"));
    std::string pidA;
    std::string pidB;
    pids >> pidA >> pidB;
    const bool aRan = pkg.read("a.status") == "0\n";
    const std::string ran = aRan ? "a" : "b";
    const std::string refused = aRan ? "b" : "a";
    EXPECT_EQ(pkg.read(ran + ".status"), "0\n");
    EXPECT_EQ(pkg.read(refused + ".status"), "1\n");
    EXPECT_EQ(pkg.read(refused + ".err"),
              "lumoswitch: another run is in progress (process " + (aRan ? pidA : pidB) +
                  " holds /run/lumoswitch/lumoswitch.lock); nothing was done\n");
    EXPECT_EQ(pkg.read(ran + ".err"), "");
    EXPECT_TRUE(pkg.exists("report-" + ran + ".xml"));
    EXPECT_FALSE(pkg.exists("report-" + refused + ".xml"));
    EXPECT_EQ(Occurrences(pkg.read("report-" + ran + ".xml"), Passed(kSuccessText)), 2u);
    // One library load, one download per switch, one controller session.
    EXPECT_EQ(Occurrences(pkg.trace(), "INIT_LIB"), 1u);
    EXPECT_EQ(ChunksOf(pkg.trace(), 8), 2u);
    const std::map<std::string, std::string> state = ParseState(pkg.read("ipmi.state"));
    EXPECT_EQ(state.at("sessions_opened"), "1");
    EXPECT_EQ(state.at("flag"), "0x05");
    EXPECT_EQ(state.at("session"), "closed");
    EXPECT_TRUE(Lines(pkg.read("rules-left.txt")).empty());
}

// A run refused by the lock opens none of the debug logs the first run is
// writing: a second run asking for the same logs must neither cut them nor
// add to them.
TEST(Truthfulness, RunRefusedByTheLockLeavesTheFirstRunsDebugLogsAlone)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::vector<std::string> logs = {"debug_update.log", "SCAL_DBG.log", "vexipmi.log",
                                           "vexipmi_internal.log", "baseutils.log"};
    std::string logList;
    for (const std::string& log : logs) {
        logList += log + " ";
    }
    Scenario s("held-lock-debug-log");
    // The first run waits seconds for the flag's answer, holding the lock.
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : delay 2000\n";
    s.timeScale = 1;
    PackageDir pkg = Prepare(s.name);
    SandboxOptions opts = Options(pkg, s);
    opts.env.push_back("E2E_DEBUG_LOGS=" + logList);
    const RunResult r = RunCommand(pkg, {"/bin/bash", "./drive.sh", "held"}, opts);
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string pidA = Lines(pkg.read("a-held.txt")).empty()
                                 ? std::string()
                                 : Lines(pkg.read("a-held.txt")).front();
    ASSERT_FALSE(pidA.empty()) << "the first run ended before the second one started";
    EXPECT_EQ(pkg.read("b.status"), "1\n");
    EXPECT_EQ(pkg.read("b.err").rfind(
                  "lumoswitch: another run is in progress (process " + pidA + " holds ", 0),
              0u)
        << pkg.read("b.err");
    EXPECT_EQ(pkg.read("a.status"), "0\n") << pkg.read("a.err");
    EXPECT_FALSE(pkg.exists("report-b.xml"));

    ASSERT_NE(pkg.read("held/debug_update.log"), "") << "the first run writes its debug log";
    for (const std::string& log : logs) {
        if (!pkg.exists("held/" + log)) {
            continue;
        }
        SCOPED_TRACE(log);
        const std::string held = pkg.read("held/" + log);
        const std::string final = pkg.read(log);
        EXPECT_EQ(final.substr(0, held.size()), held) << "the log was cut or overwritten";
        EXPECT_EQ(final.find("report-b.xml"), std::string::npos) << "the second run wrote in it";
    }
    EXPECT_EQ(Occurrences(pkg.read("debug_update.log"), "Logger initialized"), 1u);
}

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
