// A host with other users on it: each scenario lets an unprivileged user
// (nobody) prepare what they can (their own working directory, links and
// folders in /tmp, files of their own) and then runs the real lumoswitch as
// root in the sandbox, in front of the simulated controller. Each case checks
// what must not have happened (no code of theirs run, no mount taken away, no
// file of root's changed or copied, no byte of theirs sent to a switch) and
// what the report says.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <ostream>

#include "SwitchBoard.h"
#include "Transcript.h"

namespace
{

using namespace e2e;

// The chmod the program runs on each rule file it put in place, found first
// on the shell's fixed PATH: notes what the rule file held at that moment.
const char kChmodSpy[] = R"(#!/bin/sh
[ -f "$2" ] && cat "$2" >> /run/lumo-rule-copies
exec /usr/bin/chmod "$@"
)";

const std::string kPackageRules = std::string(kUsbRule) + kPartitionRule;

// A file of root's the attacker would like to read or have copied.
const char kSecretPath[] = "/root/lumo-secret";
const char kSecret[] = "root's secret\n";

// A file system the program has no business unmounting.
const char kDataMount[] = "mkdir -p /mnt/lumo-data && mount -t tmpfs lumo-data /mnt/lumo-data && "
                          "echo kept > /mnt/lumo-data/keep";
const char kDataCheck[] = "grep -c ' /mnt/lumo-data ' /proc/self/mounts; cat /mnt/lumo-data/keep";

// Every log a run may write in its working directory.
const char kPlantedLogs[] =
    "debug_update.log baseutils.log SCAL_DBG.log vexipmi.log vexipmi_internal.log";

const char kDescriptorOfAnotherUser[] = "ERROR: package.xml refused: not owned by root";

struct HostileCase {
    const char* name;
    std::string prepare; // as root in the sandbox, before the attack
    std::string attack;  // as nobody
    std::function<void(PackageDir&)> arrange;
    std::string runFrom; // the tool's working directory; empty: the package
    bool inventory;      // -i instead of -u
    std::string check;   // as root after the run; its output must be `evidence`
    std::string evidence;
    // What the report says of the first switch (the second is always updated).
    const char* firstSwitch;
    std::vector<std::string> notRun;    // stand-in lines that must be absent
    std::vector<std::string> rulesLeft; // rule files there after the run
    bool refusalOnStderr;
    std::string ruleCopies = kPackageRules;  // what the rule files put in place held
    std::vector<std::string> extraArgs = {}; // after the mode and -o
    // A -o target the report cannot go to: the report is then expected on
    // standard output. Empty: report.xml in the package.
    std::string output = "";
    std::string stderrSays = ""; // a line standard error must hold
    // What the report says of the second switch.
    const char* secondSwitch = kSuccessText;
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string Up(unsigned levels)
{
    std::string path;
    for (unsigned i = 0; i < levels; ++i) {
        path += "../";
    }
    return path;
}

class HostileHost : public ::testing::TestWithParam<HostileCase>
{
};

TEST_P(HostileHost, NothingTheAttackerPreparedIsRunLoadedUnmountedCopiedOrSent)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const HostileCase& c = GetParam();
    PackageDir pkg(std::string("hostile-") + c.name);
    FillBoardPackage(pkg);
    pkg.write("hostile.sh", kAttackDriver);
    if (c.arrange) {
        c.arrange(pkg);
    }

    const std::string root = RuleDirsRoot(pkg.path() + ".root");
    for (const char* dir : {"/tmp/COR001", "/root"}) {
        std::filesystem::create_directories(root + dir);
    }
    chmod((root + "/tmp").c_str(), 01777);
    chmod((root + "/root").c_str(), 0700);
    WriteFile(root + "/usr/sbin/chmod", kChmodSpy);
    chmod((root + "/usr/sbin/chmod").c_str(), 0755);
    WriteFile(root + kSecretPath, kSecret);
    chmod((root + kSecretPath).c_str(), 0600);

    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.rootDir = root;
    opts.env = {"E2E_PREPARE=" + c.prepare, "E2E_ATTACK=" + c.attack, "E2E_RUN_FROM=" + c.runFrom,
                "E2E_CHECK=" + c.check, "STORELIB_SIM_OUTDIR=" + pkg.path()};
    std::vector<std::string> command = {"/bin/bash", "./hostile.sh", c.inventory ? "-i" : "-u",
                                        "-o", c.output.empty() ? pkg.file("report.xml") : c.output};
    command.insert(command.end(), c.extraArgs.begin(), c.extraArgs.end());
    // No attack may hold the run: a hang shows as the sandbox's timeout.
    opts.timeoutSeconds = 30;
    const RunResult r = RunCommand(pkg, command, opts);

    ASSERT_NE(124, r.status) << "the run hung until the sandbox killed it: " << r.err;
    ASSERT_LT(r.status, 120) << "the scenario's own steps failed: " << r.err;
    // A package file refused ends the run with status 2, the report as always.
    EXPECT_EQ(c.refusalOnStderr ? 2 : 0, r.status) << r.err;
    EXPECT_EQ(c.evidence, pkg.read("evidence.txt"));
    if (!c.stderrSays.empty()) {
        EXPECT_NE(std::string::npos, r.err.find(c.stderrSays + "\n")) << r.err;
    }
    for (const std::string& line : c.notRun) {
        EXPECT_EQ(std::string::npos, r.standins.find(line)) << line << "\n" << r.standins;
    }
    EXPECT_EQ(c.rulesLeft, Lines(pkg.read("rules-left.txt")));
    EXPECT_EQ(c.inventory ? "" : c.ruleCopies, pkg.read("rule-copies.txt"));
    EXPECT_EQ(c.refusalOnStderr, r.err.find("Refusing package file") != std::string::npos) << r.err;

    const std::string report = c.output.empty() ? pkg.read("report.xml") : r.out;
    if (c.inventory) {
        // The package's own library found both switches, with the package's names.
        EXPECT_EQ(2u, Occurrences(report, "display=\"LUMO Switch ")) << report;
        EXPECT_EQ(std::string::npos, report.find("HOSTILE")) << report;
        return;
    }
    const struct {
        unsigned dev;
        const char* says;
        std::string image;
    } switches[] = {{8, c.firstSwitch, FirstImage()}, {9, c.secondSwitch, SecondImage()}};
    for (const auto& sw : switches) {
        SCOPED_TRACE("device " + std::to_string(sw.dev));
        if (std::string(sw.says) == kSuccessText) {
            EXPECT_TRUE(sw.image == pkg.received(0x05000000, sw.dev));
            continue;
        }
        // Not a byte of it went to the switch.
        EXPECT_FALSE(pkg.exists("received_05000000_" + std::to_string(sw.dev) + ".bin"));
        EXPECT_EQ(std::string::npos, pkg.trace().find("WRITE_BUFFER ctrl=0x05000000 dev=" +
                                                      std::to_string(sw.dev) + " "));
    }
    // Each switch's status in the report.
    const auto status = [](const std::string& says) {
        return says == kSuccessText ? Passed(says) : Failed(says);
    };
    const std::string first = status(c.firstSwitch);
    const std::string second = status(c.secondSwitch);
    EXPECT_EQ(first == second ? 2u : 1u, Occurrences(report, first)) << report;
    EXPECT_EQ(first == second ? 2u : 1u, Occurrences(report, second)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, HostileHost,
    ::testing::Values(
        // cd /tmp/hostile && /pkg/lumoswitch -i: their script, marker, library
        // and descriptor are not the package's.
        HostileCase{"WorkingDirectoryFiles",
                    "",
                    "mkdir -m 755 /tmp/hostile && cd /tmp/hostile && "
                    "printf '#!/bin/sh\\ntouch /tmp/pwned\\n' > doRPM.sh && chmod 755 doRPM.sh && "
                    "touch rpm_rc && echo 'not a library' > libstorelibit.so && "
                    "printf '<SoftwareComponent><SupportedDevices><Device componentID=\"%s\">"
                    "<Display>HOSTILE</Display></Device></SupportedDevices></SoftwareComponent>' x "
                    "> package.xml",
                    nullptr,
                    "/tmp/hostile",
                    true,
                    "test -e /tmp/pwned && echo their script ran; ls /tmp/hostile",
                    "doRPM.sh\nlibstorelibit.so\npackage.xml\nrpm_rc\n",
                    "",
                    {"rpm -e"},
                    {},
                    false},
        // Their rule file in the working directory is not copied anywhere.
        HostileCase{"WorkingDirectoryRuleFile",
                    "",
                    "mkdir -m 755 /tmp/hostile && "
                    "printf 'RUN+=\"/tmp/evil\"\\n' > /tmp/hostile/98-secupdusb.rules",
                    nullptr,
                    "/tmp/hostile",
                    false,
                    "grep -rl evil /etc/udev /run/udev /usr/lib/udev; echo checked",
                    "checked\n",
                    kSuccessText,
                    {},
                    {},
                    false},
        // The package's rule file is a link to a file of root's: never followed.
        HostileCase{"LinkedRuleFile",
                    "",
                    "",
                    [](PackageDir& pkg) {
                        pkg.remove("98-secupdusb.rules");
                        std::filesystem::create_symlink(kSecretPath,
                                                        pkg.file("98-secupdusb.rules"));
                    },
                    "",
                    false,
                    "cat /root/lumo-secret",
                    kSecret,
                    kSuccessText,
                    {},
                    {},
                    true,
                    kPartitionRule},
        // ln -s /mnt/data /tmp/COR001: the mount stays, the link too.
        HostileCase{"LinkedStaticMountFolder",
                    std::string(kDataMount) + " && rmdir /tmp/COR001",
                    "ln -s /mnt/lumo-data /tmp/COR001",
                    nullptr,
                    "",
                    false,
                    std::string(kDataCheck) + "; readlink /tmp/COR001",
                    "1\nkept\n/mnt/lumo-data\n",
                    kSuccessText,
                    {"umount /tmp/COR001"},
                    {},
                    false},
        HostileCase{"LinkedDynamicMountFolder",
                    kDataMount,
                    "ln -s /mnt/lumo-data /tmp/SECUPD",
                    nullptr,
                    "",
                    false,
                    std::string(kDataCheck) + "; readlink /tmp/SECUPD",
                    "1\nkept\n/mnt/lumo-data\n",
                    kSuccessText,
                    {},
                    {},
                    false},
        // Their own folder under the partition's name is not emptied.
        HostileCase{"ForeignDynamicMountFolder",
                    "",
                    "mkdir /tmp/SECUPD && echo mine > /tmp/SECUPD/mine",
                    nullptr,
                    "",
                    false,
                    "cat /tmp/SECUPD/mine",
                    "mine\n",
                    kSuccessText,
                    {},
                    {},
                    false},
        // A rule file the host had before the run is the host's, and stays.
        HostileCase{"PreExistingRuleFile",
                    "printf 'host rule\\n' > /etc/udev/rules.d/98-secupdusb.rules",
                    "",
                    nullptr,
                    "",
                    false,
                    "cat /etc/udev/rules.d/98-secupdusb.rules",
                    "host rule\n",
                    kSuccessText,
                    {},
                    {"/etc/udev/rules.d/98-secupdusb.rules"},
                    false,
                    kPartitionRule},
        // filename="../../..../root/lumo-secret": refused, nothing sent.
        HostileCase{"PayloadTraversal",
                    "",
                    "",
                    [](PackageDir& pkg) {
                        pkg.package(BoardPackage(Up(40) + std::string(kSecretPath + 1)));
                    },
                    "",
                    false,
                    "cat /root/lumo-secret",
                    kSecret,
                    kUpdateFailed,
                    {},
                    {},
                    true},
        // payload/sw1.bin is a link to a file the attacker wrote.
        HostileCase{"PayloadLink",
                    "",
                    "printf 'their firmware' > /tmp/evil.bin",
                    [](PackageDir& pkg) {
                        pkg.remove("payload/sw1.bin");
                        std::filesystem::create_symlink("/tmp/evil.bin",
                                                        pkg.file("payload/sw1.bin"));
                    },
                    "",
                    false,
                    "cat /tmp/evil.bin; echo",
                    "their firmware\n",
                    kUpdateFailed,
                    {},
                    {},
                    true},
        // A FIFO in the image's place cannot hold the run, nor feed a switch.
        HostileCase{"PayloadFifo",
                    "rm -f \"$PKG/payload/sw1.bin\" && mkfifo \"$PKG/payload/sw1.bin\"",
                    "",
                    nullptr,
                    "",
                    false,
                    "test -p \"$PKG/payload/sw1.bin\" && echo fifo",
                    "fifo\n",
                    kUpdateFailed,
                    {},
                    {},
                    true},
        // mkdir /run/lock/lumoswitch.lock, or a socket bound there, in the
        // folder everyone may write: no run is blocked by it, and what they
        // made stays as they made it.
        HostileCase{
            "LockNameTakenByADirectory",
            "mkdir -p -m 1777 /run/lock",
            "mkdir /run/lock/lumoswitch.lock",
            nullptr,
            "",
            false,
            "test -d /run/lock/lumoswitch.lock && echo kept; stat -c '%a %U' /run/lumoswitch",
            "kept\n700 root\n",
            kSuccessText,
            {},
            {},
            false},
        HostileCase{
            "LockNameTakenByASocket",
            "mkdir -p -m 1777 /run/lock",
            "python3 -c 'import socket; "
            "socket.socket(socket.AF_UNIX).bind(\"/run/lock/lumoswitch.lock\")'",
            nullptr,
            "",
            false,
            "test -S /run/lock/lumoswitch.lock && echo kept; stat -c '%a %U' /run/lumoswitch",
            "kept\n700 root\n",
            kSuccessText,
            {},
            {},
            false},
        // mkfifo /tmp/inventory.xml before root asks for the report there:
        // the run does not wait for a reader, the report comes on standard
        // output and nothing reaches their FIFO.
        HostileCase{"ReportTargetFifo",
                    "",
                    "mkfifo -m 666 /tmp/inventory.xml",
                    nullptr,
                    "",
                    true,
                    "test -p /tmp/inventory.xml && stat -c '%U' /tmp/inventory.xml",
                    "nobody\n",
                    "",
                    {},
                    {},
                    false,
                    kPackageRules,
                    {},
                    "/tmp/inventory.xml"},
        // Their marker and empty logs in their own folder, which root runs
        // from: logging stays off, nothing of the run lands in their files.
        HostileCase{
            "PlantedDebugMarkerAndLogs",
            "",
            std::string("mkdir -m 755 /tmp/hostile && cd /tmp/hostile && touch zukdebuglog ") +
                kPlantedLogs,
            nullptr,
            "/tmp/hostile",
            false,
            "cd /tmp/hostile && stat -c '%n %s %U' *",
            "SCAL_DBG.log 0 nobody\nbaseutils.log 0 nobody\ndebug_update.log 0 nobody\n"
            "vexipmi.log 0 nobody\nvexipmi_internal.log 0 nobody\nzukdebuglog 0 nobody\n",
            kSuccessText,
            {},
            {},
            false},
        // Root asks for the debug log there (-d): their files stay empty,
        // and standard error says which log was not written.
        HostileCase{"DebugLogsOfAnotherUser",
                    "",
                    std::string("mkdir -m 755 /tmp/hostile && cd /tmp/hostile && touch ") +
                        kPlantedLogs,
                    nullptr,
                    "/tmp/hostile",
                    false,
                    std::string("cd /tmp/hostile && stat -c '%n %s %U' ") + kPlantedLogs,
                    "debug_update.log 0 nobody\nbaseutils.log 0 nobody\nSCAL_DBG.log 0 nobody\n"
                    "vexipmi.log 0 nobody\nvexipmi_internal.log 0 nobody\n",
                    kSuccessText,
                    {},
                    {},
                    false,
                    kPackageRules,
                    {"-d"},
                    "",
                    "lumoswitch: debug_update.log is not written: it is not owned by root"},
        // A descriptor another account left in the package (and edits):
        // refused, and the report says why of every switch.
        HostileCase{"PackageDescriptorOfAnotherUser",
                    "chown nobody:nogroup \"$PKG/package.xml\"",
                    "echo '<!-- theirs -->' >> \"$PKG/package.xml\"",
                    nullptr,
                    "",
                    false,
                    "stat -c '%U' \"$PKG/package.xml\"",
                    "nobody\n",
                    kDescriptorOfAnotherUser,
                    {},
                    {},
                    true,
                    "",
                    {},
                    "",
                    "",
                    kDescriptorOfAnotherUser}),
    [](const ::testing::TestParamInfo<HostileCase>& p) { return std::string(p.param.name); });

// What a terminal would obey: the escape sequences that clear the screen and
// retitle the window, and line breaks that start a line of their own.
const char kTerminalText[] = "\x1b[2J\x1b]0;owned\x07\r\nall switches updated\n";

// A transcript from elsewhere, well formed and correctly chained, whose text
// fields carry terminal control sequences.
std::string HostileTranscript(const std::string& openPath, const std::string& boundary = "storelib")
{
    uint32_t chain = lumorecord::kChainStart;
    lumorecord::Line header;
    header.add("format", lumorecord::kFormatName).add("version", 1).add("run", "0011223344556677");
    std::string text = header.seal(chain, &chain);
    lumorecord::Line load;
    load.add("b", boundary)
        .add("ev", "load")
        .add("t_us", 1)
        .add("status", std::string("ok") + kTerminalText)
        .add("library", std::string("libstorelibit.so") + kTerminalText)
        .add("reason", kTerminalText);
    text += load.seal(chain, &chain);
    lumorecord::Line call;
    call.add("b", "storelib")
        .add("ev", "call")
        .add("t_us", 2)
        .add("op", std::string("INIT_LIB") + kTerminalText)
        .add("ctrl", std::string("0x05000000") + kTerminalText)
        .add("ctrls", std::string("0x05000000") + kTerminalText)
        .add("rc", 0);
    text += call.seal(chain, &chain);
    lumorecord::Line open;
    open.add("b", "ipmi").add("ev", "open").add("t_us", 3).add("path", openPath).add("ok", 1);
    text += open.seal(chain, &chain);
    return text;
}

// Bytes a terminal would act on: control characters other than the line end.
std::string ControlBytes(const std::string& text)
{
    std::string found;
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c == 0x7f) {
            found +=
                "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        }
    }
    return found;
}

// An unprivileged user hands root a transcript (a "recording from the
// field"); root reads its summary, compares it with another and replays it.
// Everything printed shows the transcript's text as text.
TEST(HostileTranscript, TextFieldsReachTheTerminalAsPrintableText)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg("hostile-transcript");
    FillBoardPackage(pkg);
    pkg.write("run.jsonl", HostileTranscript(std::string("/dev/ipmi0") + kTerminalText));
    pkg.write("other.jsonl", HostileTranscript("/dev/ipmi0"));
    pkg.write("bad.jsonl", HostileTranscript("/dev/ipmi0", kTerminalText));
    const std::string summary = ShellQuote(LUMO_E2E_RECORD_SUMMARY);
    pkg.write("drive.sh",
              "#!/bin/bash\n"
              "setpriv --reuid=nobody --regid=nogroup --clear-groups cp \"$PWD/run.jsonl\" "
              "\"$PWD/other.jsonl\" \"$PWD/bad.jsonl\" /tmp/ || exit 120\n" +
                  summary + " /tmp/run.jsonl > summary.txt 2>&1\n" + summary +
                  " /tmp/run.jsonl --diff /tmp/other.jsonl > diff.txt 2>&1\n" + summary +
                  " /tmp/bad.jsonl > bad.txt 2>&1\n"
                  "SIMIPMI_REPLAY=/tmp/run.jsonl ./lumoswitch -u -o report.xml "
                  "2> replay.txt\n"
                  "STORELIB_SIM_REPLAY=/tmp/bad.jsonl ./lumoswitch -u -o report.xml "
                  "2>> replay.txt\n"
                  "exit 0\n");
    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.env = {"STORELIB_SIM_OUTDIR=" + pkg.path()};
    opts.binds.push_back(std::filesystem::path(LUMO_E2E_RECORD_SUMMARY).parent_path().string());
    const RunResult r = RunCommand(pkg, {"/bin/bash", "./drive.sh"}, opts);
    ASSERT_EQ(0, r.status) << r.err;

    const struct {
        const char* file;
        const char* tells; // what the reader is told, the control bytes shown as text
    } outputs[] = {
        {"summary.txt", "storage library: line 2: ok\\x1b[2J\\x1b]0;owned\\x07\\x0d\\x0aall "
                        "switches updated\\x0a (libstorelibit.so\\x1b[2J"},
        {"summary.txt", "controllers: 0x05000000\\x1b[2J"},
        {"summary.txt", "open /dev/ipmi0\\x1b[2J"},
        {"diff.txt", "field \"path\""},
        {"diff.txt", "ipmi open /dev/ipmi0\\x1b[2J"},
        {"bad.txt", "unknown boundary \"\\x1b[2J"},
        {"replay.txt", "recorded: open /dev/ipmi0\\x1b[2J"},
        {"replay.txt", "unknown boundary \"\\x1b[2J"},
    };
    for (const auto& o : outputs) {
        SCOPED_TRACE(o.file);
        const std::string text = pkg.read(o.file);
        EXPECT_EQ("", ControlBytes(text)) << text;
        EXPECT_NE(std::string::npos, text.find(o.tells)) << text;
        for (const std::string& line : Lines(text)) {
            EXPECT_NE(0u, line.find("all switches updated")) << text;
        }
    }
}

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
