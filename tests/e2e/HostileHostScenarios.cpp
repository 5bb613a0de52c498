// A host with other users on it: each scenario lets an unprivileged user
// (nobody) prepare what they can (their own working directory, links and
// folders in /tmp, files of their own) and then runs the real lumoswitch as
// root in the sandbox, in front of the simulated controller. Each case checks
// what must not have happened (no code of theirs run, no mount taken away, no
// file of root's changed or copied, no byte of theirs sent to a switch) and
// what the report says.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <sys/stat.h>

#include <functional>
#include <map>
#include <ostream>

#include "SwitchBoard.h"

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
    std::string ruleCopies = kPackageRules; // what the rule files put in place held
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
    const std::vector<std::string> args =
        c.inventory ? std::vector<std::string>{"-i", "-o", pkg.file("report.xml")}
                    : std::vector<std::string>{"-u", "-o", pkg.file("report.xml")};
    std::vector<std::string> command = {"/bin/bash", "./hostile.sh"};
    command.insert(command.end(), args.begin(), args.end());
    const RunResult r = RunCommand(pkg, command, opts);

    ASSERT_LT(r.status, 120) << "the scenario's own steps failed: " << r.err;
    EXPECT_EQ(c.evidence, pkg.read("evidence.txt"));
    for (const std::string& line : c.notRun) {
        EXPECT_EQ(std::string::npos, r.standins.find(line)) << line << "\n" << r.standins;
    }
    EXPECT_EQ(c.rulesLeft, Lines(pkg.read("rules-left.txt")));
    EXPECT_EQ(c.inventory ? "" : c.ruleCopies, pkg.read("rule-copies.txt"));
    EXPECT_EQ(c.refusalOnStderr, r.err.find("Refusing package file") != std::string::npos) << r.err;

    const std::string report = pkg.read("report.xml");
    if (c.inventory) {
        // The package's own library found both switches, with the package's names.
        EXPECT_EQ(2u, Occurrences(report, "display=\"LUMO Switch ")) << report;
        EXPECT_EQ(std::string::npos, report.find("HOSTILE")) << report;
        return;
    }
    EXPECT_TRUE(SecondImage() == pkg.received(0x05000000, 9));
    if (std::string(c.firstSwitch) == kSuccessText) {
        EXPECT_EQ(2u, Occurrences(report, Passed(kSuccessText))) << report;
        EXPECT_TRUE(FirstImage() == pkg.received(0x05000000, 8));
    } else {
        EXPECT_EQ(1u, Occurrences(report, Passed(kSuccessText))) << report;
        EXPECT_EQ(1u, Occurrences(report, std::string(">") + c.firstSwitch + "</Message>"))
            << report;
        // Not a byte of it went to the switch.
        EXPECT_FALSE(pkg.exists("received_05000000_8.bin"));
        EXPECT_EQ(std::string::npos, pkg.trace().find("WRITE_BUFFER ctrl=0x05000000 dev=8"));
    }
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
                    true}),
    [](const ::testing::TestParamInfo<HostileCase>& p) { return std::string(p.param.name); });

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
