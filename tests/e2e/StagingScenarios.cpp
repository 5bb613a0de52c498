// The power-cycle staging end to end: the real lumoswitch -u downloads into
// the simulated switches and then talks to the simulated management
// controller through the preloaded IPMI device, in the sandbox. Each scenario
// checks the update report, the controller's request log and final state, and
// what the run left in the rule directories.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <regex>

#include "SwitchBoard.h"

namespace
{

using namespace e2e;

const char kRecoveryComponent[] = "28897";

// Runs the tool, then notes which rule files are left in the three rule
// directories. With E2E_INTERRUPT_AT set, it presses the interrupt key on the
// tool once the controller has seen that request. Job control keeps the
// background tool's SIGINT at its default disposition.
const std::string kDriver = std::string(R"(#!/bin/bash
set -m
./lumoswitch "$@" &
pid=$!
if [ -n "$E2E_INTERRUPT_AT" ]; then
    for i in $(seq 1 400); do
        grep -q "op=$E2E_INTERRUPT_AT" ipmi.log 2>/dev/null && break
        sleep 0.01
    done
    grep SigIgn /proc/$pid/status > sigign-at-interrupt.txt
    # What a background job of this shell starts with, for comparison.
    sleep 5 &
    probe=$!
    grep SigIgn /proc/$probe/status > sigign-control.txt
    kill $probe
    kill -INT $pid
fi
wait $pid
status=$?
)") + kListRulesLeft + "exit $status\n";

// The hardware daemon's init script on a SUSE host: records every call.
const char kHalDaemon[] = R"(#!/bin/sh
echo "$1" >> "$E2E_HALDAEMON_CALLS"
[ "$1" = status ] && echo "Checking for service HAL daemon: running"
exit 0
)";

struct Staging {
    explicit Staging(std::string scenario) : name(std::move(scenario)) {}
    std::string name;
    std::string controller = kHealthyController;
    std::map<std::string, std::string> rootFiles; // sandbox path -> content
    bool debugMarker = false;
    bool esxiKernel = false;
    std::string extraComponent; // a further Device entry in package.xml
    std::string topologyExtra;  // lines after the second switch
    std::string interruptAt;    // request name at which SIGINT is sent
    unsigned timeScale = 1000;
    std::vector<std::string> standins;
    std::vector<std::string> standinStdout;
};

struct Outcome {
    RunResult run;
    std::string report;
    std::vector<std::string> requests; // request log lines
    std::map<std::string, std::string> state;
    std::vector<std::string> rulesLeft;
    double seconds = 0;
};

// A further Device entry, without an image, in front of the switches.
std::string LeadingComponent(const std::string& id)
{
    return id.empty()
               ? ""
               : "  <Device componentID=\"" + id + "\"><Display>Recovery</Display></Device>\n";
}

Outcome RunStaging(const Staging& s)
{
    PackageDir pkg("staging-" + s.name);
    FillBoardPackage(pkg, s.topologyExtra,
                     BoardPackage("sw1.bin", LeadingComponent(s.extraComponent)));
    pkg.write("stage.sh", kDriver);
    if (s.debugMarker) {
        pkg.write("zukdebuglog", "");
    }
    if (s.esxiKernel) {
        // Where the storage layer looks for its library on VMware.
        std::filesystem::create_directories(pkg.file("ESX"));
        std::filesystem::copy_file(Paths::SimLibrary(), pkg.file("ESX/libstorelibit.so"));
    }

    // What the sandbox root gets on top of this machine's: the three rule
    // directories, a udev control tool to stand in for, and the scenario's
    // release files.
    const std::string root = RuleDirsRoot(pkg.path() + ".root");
    // The folder the repository's static partition is mounted on, as the
    // host's device manager leaves it in /tmp (sticky, as ever).
    std::filesystem::create_directories(root + "/tmp/COR001");
    chmod((root + "/tmp").c_str(), 01777);
    for (const auto& file : s.rootFiles) {
        WriteFile(root + file.first, file.second);
        if (file.second.rfind("#!", 0) == 0) {
            chmod((root + file.first).c_str(), 0755);
        }
    }

    std::vector<std::string> env = {
        "E2E_HALDAEMON_CALLS=" + pkg.file("haldaemon.calls"),
        "E2E_INTERRUPT_AT=" + s.interruptAt,
        "STORELIB_SIM_TOPOLOGY=" + pkg.file("storelib_topology.conf"),
        "STORELIB_SIM_OUTDIR=" + pkg.path(),
    };
    SandboxOptions opts;
    opts.ipmiScript = s.controller;
    opts.ipmiTimeScale = s.timeScale;
    if (s.esxiKernel) {
        opts.preload = LUMO_E2E_UNAME_PRELOAD;
        env.push_back("E2E_UNAME_SYSNAME=VMkernel");
    }
    opts.rootDir = root;
    opts.env = env;
    opts.standins = s.standins;
    opts.standins.push_back("chmod");
    opts.standinStdout = s.standinStdout;

    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    o.run = RunCommand(pkg, {"/bin/bash", "./stage.sh", "-u", "-o", "report.xml"}, opts);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.report = pkg.read("report.xml");
    o.requests = Lines(pkg.read("ipmi.log"));
    o.state = ParseState(pkg.read("ipmi.state"));
    o.rulesLeft = Lines(pkg.read("rules-left.txt"));
    std::cout << "[ staging ] " << s.name << ": " << o.seconds << " s\n";
    return o;
}

std::string PackagePath(const std::string& name)
{
    return Paths::ScratchRoot() + "/staging-" + name;
}

// Both switches carry `message`; the reboot flag is what the report ends with.
void ExpectBothSwitches(const Outcome& o, const std::string& message, bool reboot)
{
    EXPECT_EQ(o.run.status, 0) << o.run.err;
    EXPECT_EQ(Occurrences(o.report, Passed(message)), 2u) << o.report;
    EXPECT_EQ(o.report.find("<RebootRequired>1</RebootRequired>") != std::string::npos, reboot)
        << o.report;
}

// A clean teardown: no session left open, no flag, no rule file anywhere.
void ExpectNothingStaged(const Outcome& o)
{
    EXPECT_EQ(o.state.at("session"), "closed");
    EXPECT_EQ(o.state.at("flag"), "none");
    EXPECT_TRUE(o.rulesLeft.empty());
}

std::string ScalLog(const std::string& name)
{
    return ReadFile(PackagePath(name) + "/SCAL_DBG.log");
}

const std::vector<std::string> kHealthyOps = {
    "RepositoryType",   "SystemGeneration",           "RepositoryType",
    "AccessState",      "BeginCORVELSessionExtended", "Getpartitionindexinfo",
    "GetPartitionInfo", "DetachPartitions",           "Getpartitionindexinfo",
    "GetPartitionInfo", "DeleteDynamicPartition",     "setStateFlagCmd",
    "EndCORVELSession"};

TEST(Staging, HappyPathStagesThePowerCycleWithTheExactRequests)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Outcome o = RunStaging(Staging("happy"));

    ExpectBothSwitches(o, kSuccessText, true);
    EXPECT_EQ(Ops(o.requests), kHealthyOps);
    EXPECT_EQ(o.state.at("flag"), "0x05");
    EXPECT_EQ(o.state.at("flag_request"), "30,a2,11,34,12,00,05");
    EXPECT_EQ(o.state.at("flag_in_session"), "yes");
    EXPECT_EQ(o.state.at("session"), "closed");
    EXPECT_EQ(o.state.at("sessions_ended"), "1");
    EXPECT_EQ(o.state.at("static.0"), "COR001 detached");
    EXPECT_EQ(o.state.at("dynamic.0"), "SECUPD deleted");
    EXPECT_EQ(o.state.at("refusals"), "0");

    // The rules went into place (Red Hat fallback: one directory) and are gone.
    EXPECT_NE(o.run.standins.find("chmod 755 /etc/udev/rules.d//98-secupdusb.rules\n"),
              std::string::npos)
        << o.run.standins;
    EXPECT_EQ(Occurrences(o.run.standins, "udevadm control --reload-rules"), 4u);
    EXPECT_NE(o.run.standins.find("umount /tmp/COR001\n"), std::string::npos);
    EXPECT_TRUE(o.rulesLeft.empty());

    // Without the marker there is no log of either layer.
    for (const char* log : {"SCAL_DBG.log", "vexipmi.log", "vexipmi_internal.log"}) {
        EXPECT_FALSE(std::filesystem::exists(PackagePath("happy") + "/" + log)) << log;
    }
    EXPECT_EQ(o.run.err, "");
}

TEST(Staging, DebugMarkerOpensTheAccessLayerAndIPMILogsInTheirLayouts)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("marker");
    s.debugMarker = true;
    const Outcome o = RunStaging(s);
    ExpectBothSwitches(o, kSuccessText, true);

    const std::vector<std::string> scal = Lines(ScalLog("marker"));
    ASSERT_GT(scal.size(), 20u);
    const std::regex scalLine(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] : [A-Za-z]+:\d+: .*$)");
    unsigned formatted = 0;
    for (const std::string& line : scal) {
        // Messages that end with a newline leave a continuation line.
        if (std::regex_match(line, scalLine)) {
            ++formatted;
        } else {
            EXPECT_TRUE(line.empty() || line == " ") << line;
        }
    }
    EXPECT_GT(formatted, 20u);
    EXPECT_NE(scal.front().find(" : SecureCorvel:"), std::string::npos);
    EXPECT_NE(scal.front().find(": Debug message logging started."), std::string::npos);
    EXPECT_NE(
        scal.back().find(": secureCorvel::~secureCorvel() after delete m_pNotificationThread "),
        std::string::npos);
    const std::string text = ScalLog("marker");
    EXPECT_NE(text.find(": setStateFlagCmd IPMIRequest[ 0x30 0xa2 0x11 0x34 0x12 0x00 0x05]"),
              std::string::npos);
    EXPECT_NE(text.find(": Corvel Session Handle(34, 12)"), std::string::npos);
    EXPECT_NE(text.find(": Setting the SSM flag succeeded"), std::string::npos);

    EXPECT_TRUE(std::filesystem::exists(PackagePath("marker") + "/vexipmi.log"));
    EXPECT_EQ(ReadFile(PackagePath("marker") + "/vexipmi.log"), "");
    const std::regex ipmiLine(
        R"(^VEXIPMILibrary (NONE |FATAL|ERROR|WARN |INFO |TRACE|DEBUG) : )"
        R"(\d{1,2}/\d{1,2}/\d{4} \d\d:\d\d[AP]M .{40,}\(\) .{30,}: *\d+ .*$)");
    unsigned ipmiFormatted = 0;
    for (const std::string& line :
         Lines(ReadFile(PackagePath("marker") + "/vexipmi_internal.log"))) {
        if (line.rfind("VEXIPMILibrary ", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, ipmiLine)) << line;
            ++ipmiFormatted;
        }
    }
    EXPECT_GT(ipmiFormatted, 20u);
}

TEST(Staging, SeventeenGServerTakesTheFlagWithoutASession)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("gen17");
    s.controller = "generation 60\n";
    const Outcome o = RunStaging(s);

    ExpectBothSwitches(o, kSuccessText, true);
    EXPECT_EQ(Ops(o.requests),
              (std::vector<std::string>{"RepositoryType", "SystemGeneration", "setStateFlagCmd"}));
    EXPECT_EQ(o.state.at("flag_request"), "30,a2,11,00,00,00,05");
    EXPECT_EQ(o.state.at("flag_in_session"), "no");
    EXPECT_EQ(o.state.at("sessions_opened"), "0");
    EXPECT_TRUE(o.rulesLeft.empty());
}

TEST(Staging, EveryOpenRefusedGivesUpAfterThirtySixPairsWithTheGenerationsCode)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::pair<const char*, const char*> cases[] = {{"0e", "error code 5"},
                                                         {"30", "error code 63"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        Staging s(std::string("refused-") + c.first);
        s.debugMarker = true;
        s.controller =
            std::string("generation ") + c.first + "\non 30 a2 12 : cc 01\non 30 a2 00 : cc 01\n";
        const Outcome o = RunStaging(s);

        ExpectBothSwitches(o, kManualText, false);
        const std::vector<std::string> ops = Ops(o.requests);
        EXPECT_EQ(Count(ops, "BeginCORVELSessionExtended"), 36u);
        EXPECT_EQ(Count(ops, "BeginCORVELSession"), 36u);
        // Strictly in pairs: extended, then plain.
        for (size_t i = 4; i + 1 < ops.size(); i += 2) {
            EXPECT_EQ(ops[i], "BeginCORVELSessionExtended") << i;
            EXPECT_EQ(ops[i + 1], "BeginCORVELSession") << i;
        }
        EXPECT_EQ(ops.size(), 4u + 72u);
        EXPECT_EQ(Count(ops, "EndCORVELSession"), 0u);
        ExpectNothingStaged(o);
        const std::string log = ScalLog(s.name);
        EXPECT_NE(log.find(": Begin Corvel Session Failed."), std::string::npos);
        EXPECT_NE(log.find(c.second), std::string::npos);
    }
}

TEST(Staging, DisabledRepositoryLeavesOnlyTheDownloadedSwitchToBePowerCycledByHand)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("disabled");
    s.debugMarker = true;
    s.controller = "generation 30\naccess disabled\n";
    // The second switch rejects its image.
    s.topologyExtra = "fault dev=9 opcode=0x3b chunk=1 status=2 sense=70000500000000000000000024\n";
    const Outcome o = RunStaging(s);

    EXPECT_EQ(o.run.status, 0);
    EXPECT_EQ(Occurrences(o.report, Passed(kManualText)), 1u) << o.report;
    EXPECT_EQ(Occurrences(o.report, Failed(kUpdateFailed)), 1u) << o.report;
    EXPECT_EQ(o.report.find("<RebootRequired>1</RebootRequired>"), std::string::npos);
    EXPECT_EQ(Ops(o.requests), (std::vector<std::string>{"RepositoryType", "SystemGeneration",
                                                         "RepositoryType", "AccessState"}));
    ExpectNothingStaged(o);
    EXPECT_NE(ScalLog("disabled").find("Could not initialize Secure Corvel error code 55"),
              std::string::npos);
}

TEST(Staging, RecoveryStateIsOpenOnlyToTheRecoveryPackage)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::string recovery = "generation 30\naccess recovery\npartition static 0 COR001\n";

    Staging bypass("recovery-bypass");
    bypass.controller = recovery;
    bypass.extraComponent = kRecoveryComponent;
    const Outcome staged = RunStaging(bypass);
    ExpectBothSwitches(staged, kSuccessText, true);
    EXPECT_EQ(staged.state.at("flag"), "0x05");
    EXPECT_EQ(staged.state.at("flag_in_session"), "yes");
    EXPECT_EQ(staged.state.at("session"), "closed");

    Staging other("recovery-other");
    other.controller = recovery;
    other.debugMarker = true;
    const Outcome refused = RunStaging(other);
    ExpectBothSwitches(refused, kManualText, false);
    EXPECT_EQ(Count(Ops(refused.requests), "BeginCORVELSessionExtended"), 0u);
    ExpectNothingStaged(refused);
    const std::string log = ScalLog("recovery-other");
    EXPECT_NE(log.find("byPassRecoveryState: Component ID Didn't match"), std::string::npos);
    EXPECT_NE(log.find("error code 55"), std::string::npos);
}

TEST(Staging, PendingFlagIsFollowedByStatusPollsToItsEnd)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("pending");
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : pending 3\n";
    const Outcome o = RunStaging(s);

    ExpectBothSwitches(o, kSuccessText, true);
    std::vector<std::string> expected = kHealthyOps;
    expected.insert(expected.end() - 1, 4, "GetCORVELStatus");
    EXPECT_EQ(Ops(o.requests), expected);
    for (const std::string& line : o.requests) {
        if (line.find("op=GetCORVELStatus") != std::string::npos) {
            EXPECT_NE(line.find("req=0a,34,12,11,00,00"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(o.state.at("flag"), "0x05");
    EXPECT_EQ(o.state.at("pending"), "-");
    EXPECT_EQ(o.state.at("session"), "closed");
}

TEST(Staging, NoIPMIDeviceFallsBackToTheManualText)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("no-device");
    s.debugMarker = true;
    s.controller = "devices none\n";
    const Outcome o = RunStaging(s);

    ExpectBothSwitches(o, kManualText, false);
    EXPECT_TRUE(o.requests.empty() || Ops(o.requests).empty());
    EXPECT_NE(o.run.err.find("Can't open IPMI device"), std::string::npos) << o.run.err;
    const std::string log = ScalLog("no-device");
    EXPECT_NE(log.find(": Loading or Intialization of VEX IPMI Library Failed"), std::string::npos);
    EXPECT_NE(log.find(": SCAL Library initialization failed"), std::string::npos);
    EXPECT_NE(log.find(": Could not create Secure Corvel object"), std::string::npos);
    // Rules were never installed; the teardown still ran.
    EXPECT_EQ(o.run.standins.find("chmod"), std::string::npos);
    EXPECT_NE(log.find(": Udev  successfully Uninstalled"), std::string::npos);
    EXPECT_TRUE(o.rulesLeft.empty());
}

TEST(Staging, UsbArbitratorRunningOnEsxiStopsBeforeAnyRuleIsInstalled)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::string ps = PackagePath("esxi") + ".ps";
    WriteFile(ps, "  PID TTY          TIME CMD\n 2211 ?        00:00:01 vmware-usbarbitrator\n");
    Staging s("esxi");
    s.debugMarker = true;
    s.esxiKernel = true;
    s.standins = {"ps"};
    s.standinStdout = {"ps=" + ps};
    const Outcome o = RunStaging(s);

    ExpectBothSwitches(o, kManualText, false);
    EXPECT_EQ(Ops(o.requests), std::vector<std::string>{"RepositoryType"});
    EXPECT_EQ(o.run.standins.find("chmod"), std::string::npos) << o.run.standins;
    ExpectNothingStaged(o);
    const std::string log = ScalLog("esxi");
    EXPECT_NE(log.find(": getLinuxOSVer: ESXi Found"), std::string::npos);
    EXPECT_NE(log.find(": usbarbitrator serice is running.. please stop it"), std::string::npos);
    EXPECT_NE(log.find("Could not create Secure Corvel object"), std::string::npos);
}

TEST(Staging, SuseStopsTheRunningHardwareDaemonAndStartsItAgain)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("suse");
    s.rootFiles["/etc/SuSE-release"] = "SUSE Linux Enterprise Server 11 (x86_64)\n";
    s.rootFiles["/etc/init.d/haldaemon"] = kHalDaemon;
    const Outcome o = RunStaging(s);

    ExpectBothSwitches(o, kSuccessText, true);
    EXPECT_EQ(Lines(ReadFile(PackagePath("suse") + "/haldaemon.calls")),
              (std::vector<std::string>{"status", "stop", "start"}));
    // SUSE keeps its rules in the one directory.
    EXPECT_EQ(Occurrences(o.run.standins, "chmod 755 /etc/udev/rules.d//"), 2u);
    EXPECT_EQ(Occurrences(o.run.standins, "chmod 755 /lib/udev"), 0u);
    EXPECT_EQ(o.state.at("flag"), "0x05");
    EXPECT_TRUE(o.rulesLeft.empty());
}

TEST(Staging, InterruptKeyDuringStagingChangesNothing)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Staging s("interrupt");
    // The flag's answer takes a real 0.8 s; the key is pressed meanwhile.
    s.controller = std::string(kHealthyController) + "on 30 a2 11 : delay 800\n";
    s.interruptAt = "setStateFlagCmd";
    s.timeScale = 1;
    const Outcome o = RunStaging(s);

    const std::string sigign = ReadFile(PackagePath("interrupt") + "/sigign-at-interrupt.txt");
    ASSERT_EQ(sigign.rfind("SigIgn:", 0), 0u) << sigign;
    const unsigned long long mask = std::stoull(sigign.substr(7), nullptr, 16);
    EXPECT_NE(mask & 0x2ull, 0ull) << "SIGINT is ignored while staging";
    const std::string control = ReadFile(PackagePath("interrupt") + "/sigign-control.txt");
    ASSERT_EQ(control.rfind("SigIgn:", 0), 0u) << control;
    EXPECT_EQ(std::stoull(control.substr(7), nullptr, 16) & 0x2ull, 0ull)
        << "a job of the driver would have been stopped by the key";

    ExpectBothSwitches(o, kSuccessText, true);
    EXPECT_EQ(Ops(o.requests), kHealthyOps);
    EXPECT_EQ(o.state.at("flag"), "0x05");
    EXPECT_EQ(o.state.at("session"), "closed");
    EXPECT_TRUE(o.rulesLeft.empty());
}

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
