// Signed packages on the two-switch board: package.jcat written by
// scripts/sign-package.sh (or by jcat-tool, checksums alone) with signers
// made by openssl and certtool when the scenario starts, and the trust folder
// /etc/lumoswitch/trust/ in the sandbox root. Each case checks what reached
// the switches, whether the package's library was loaded and its doRPM.sh
// run, the report and what standard error says.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <ostream>

#include "SwitchBoard.h"

namespace
{

using namespace e2e;

// The script leaves a mark in the package folder when it ran.
const char kScript[] = "#!/bin/bash\n[[ -n \"$BASH_VERSION\" ]] && echo ran > doRPM-ran\n";

const char kTimeTemplate[] = "cn = \"Old Maker\"\n"
                             "activation_date = \"2019-01-01 00:00:00\"\n"
                             "expiration_date = \"2020-01-01 00:00:00\"\n"
                             "signing_key\ncode_signing_key\n";

bool Shell(const std::string& dir, const std::string& script)
{
    const std::string command = "cd " + ShellQuote(dir) + " && { " + script + "; } >" +
                                ShellQuote(dir + "/shell.log") + " 2>&1";
    return std::system(command.c_str()) == 0;
}

// Signing keys and certificates for this process's scenarios, made once and
// removed when it ends: the maker's, a stranger's, and one whose validity
// ended in 2020.
class Signers
{
public:
    Signers() : m_dir(Paths::ScratchRoot() + "/signers-" + std::to_string(getpid()))
    {
        std::filesystem::create_directories(m_dir);
        const std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -days 3650 "
                                "-addext keyUsage=critical,digitalSignature ";
        WriteFile(m_dir + "/old.tmpl", kTimeTemplate);
        m_ok = Shell(m_dir, req + "-keyout maker.key -out maker.pem -subj '/CN=LUMO Maker'") &&
               Shell(m_dir, req + "-keyout stranger.key -out stranger.pem -subj /CN=Stranger") &&
               Shell(m_dir, "certtool --generate-privkey --outfile old.key && "
                            "certtool --generate-self-signed --load-privkey old.key "
                            "--template old.tmpl --outfile old.pem");
    }
    ~Signers()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    bool ok() const { return m_ok; }
    std::string file(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
    bool m_ok = false;
};

const Signers& TheSigners()
{
    static Signers signers;
    return signers;
}

// scripts/sign-package.sh with the named signer's certificate and key.
bool Sign(const PackageDir& pkg, const std::string& signer)
{
    return Shell(pkg.path(), ShellQuote(LUMO_E2E_SIGN_PACKAGE) + " . " +
                                 ShellQuote(TheSigners().file(signer + ".pem")) + " " +
                                 ShellQuote(TheSigners().file(signer + ".key")));
}

// A manifest written with jcat-tool directly: checksums alone when `signer`
// is empty. sign-package.sh would not sign with a certificate that fails its
// own check, as the expired one does.
bool JcatTool(const PackageDir& pkg, const std::string& signer = "")
{
    std::string sign;
    if (!signer.empty()) {
        sign = " && jcat-tool sign package.jcat \"$f\" " +
               ShellQuote(TheSigners().file(signer + ".pem")) + " " +
               ShellQuote(TheSigners().file(signer + ".key"));
    }
    return Shell(pkg.path(), "for f in package.xml payload/sw1.bin payload/sw2.bin "
                             "libstorelibit.so doRPM.sh 98-secupdusb.rules 00-secupd-vantor.rules; "
                             "do jcat-tool self-sign package.jcat \"$f\" --kind sha256" +
                                 sign + " || exit; done");
}

void FlipByte(const PackageDir& pkg, const std::string& rel, size_t at)
{
    std::string bytes = pkg.read(rel);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    pkg.write(rel, bytes);
}

// The board's package with the script, and a sandbox root with the rule
// folders, the storage library also installed in the system's folders (where
// the program looks when the package has none: it must not stand in for a
// package library that was refused) and, when `trusted` names a signer, the
// trust folder holding its certificate with the given mode.
std::string Arrange(PackageDir& pkg, const std::string& trusted, mode_t trustMode)
{
    FillBoardPackage(pkg);
    pkg.write("doRPM.sh", kScript);
    chmod(pkg.file("doRPM.sh").c_str(), 0755);
    const std::string root = RuleDirsRoot(pkg.path() + ".root");
    std::filesystem::create_directories(root + "/usr/lib");
    std::filesystem::copy_file(Paths::SimLibrary(), root + "/usr/lib/libstorelibit.so.07");
    WriteFile(root + "/usr/lib/storelib_topology.conf", BoardTopology());
    if (!trusted.empty()) {
        const std::string trust = root + "/etc/lumoswitch/trust";
        std::filesystem::create_directories(trust);
        chmod((root + "/etc/lumoswitch").c_str(), 0755);
        std::filesystem::copy_file(TheSigners().file(trusted + ".pem"),
                                   trust + "/" + trusted + ".pem");
        chmod((trust + "/" + trusted + ".pem").c_str(), 0644);
        chmod(trust.c_str(), trustMode);
    }
    return root;
}

enum class ESign { None, Checksums, Signed, SignedByJcatTool };

struct SignedCase {
    const char* name;
    ESign sign;
    const char* signer; // with ESign::Signed and SignedByJcatTool
    std::function<void(PackageDir&)> afterSigning;
    const char* trusted; // the signer the host trusts; empty: no trust folder
    mode_t trustMode;
    // What must come of it.
    int status;
    bool bothUpdated;         // else first refused (below) or nothing sent at all
    std::string firstRefused; // the first switch's message when only it failed
    bool loaded;              // the package's library loaded (the simulator traced)
    bool scriptRan;
    std::string reportPart; // in the report ("" with status 1: no report)
    std::string stderrText; // standard error, whole
};

void PrintTo(const SignedCase& c, std::ostream* os)
{
    *os << c.name;
}

class SignedPackage : public ::testing::TestWithParam<SignedCase>
{
};

TEST_P(SignedPackage, OnlyWhatPassesItsCheckIsSentLoadedOrRun)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const SignedCase& c = GetParam();
    ASSERT_TRUE(TheSigners().ok()) << "openssl or certtool failed";
    PackageDir pkg(std::string("signed-") + c.name);
    const std::string root = Arrange(pkg, c.trusted, c.trustMode);
    if (c.sign == ESign::Checksums) {
        ASSERT_TRUE(JcatTool(pkg)) << pkg.read("shell.log");
    } else if (c.sign == ESign::SignedByJcatTool) {
        ASSERT_TRUE(JcatTool(pkg, c.signer)) << pkg.read("shell.log");
    } else if (c.sign == ESign::Signed) {
        ASSERT_TRUE(Sign(pkg, c.signer)) << pkg.read("shell.log");
    }
    if (c.afterSigning) {
        c.afterSigning(pkg);
    }

    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.rootDir = root;
    const RunResult r = RunProgram(pkg, {"-u", "-o", "report.xml"}, opts);

    EXPECT_EQ(c.status, r.status) << r.err;
    std::string expectedErr = c.stderrText;
    for (size_t at = expectedErr.find("PKG/"); at != std::string::npos;
         at = expectedErr.find("PKG/")) {
        expectedErr.replace(at, 3, pkg.path());
    }
    EXPECT_EQ(expectedErr, r.err);
    EXPECT_EQ(c.loaded, pkg.exists("storelib_trace.log"));
    EXPECT_EQ(c.scriptRan, pkg.exists("doRPM-ran"));
    const std::string report = pkg.read("report.xml");
    // Status 1: the run was refused before anything; 2: a package file was
    // refused, and the report says what came of it.
    if (c.status == 1) {
        EXPECT_FALSE(pkg.exists("report.xml")) << report;
        return;
    }
    EXPECT_NE(std::string::npos, report.find(c.reportPart)) << report;
    if (c.bothUpdated) {
        EXPECT_EQ(2u, Occurrences(report, Passed(kSuccessText))) << report;
        EXPECT_TRUE(FirstImage() == pkg.received(0x05000000, 8));
        EXPECT_TRUE(SecondImage() == pkg.received(0x05000000, 9));
        return;
    }
    // Not a byte of a refused image reached its switch.
    EXPECT_FALSE(pkg.exists("received_05000000_8.bin"));
    EXPECT_EQ(std::string::npos, pkg.trace().find("WRITE_BUFFER ctrl=0x05000000 dev=8"));
    if (!c.firstRefused.empty()) {
        EXPECT_EQ(1u, Occurrences(report, Failed(c.firstRefused))) << report;
        EXPECT_EQ(1u, Occurrences(report, Passed(kSuccessText))) << report;
        EXPECT_TRUE(SecondImage() == pkg.received(0x05000000, 9));
    } else {
        EXPECT_FALSE(pkg.exists("received_05000000_9.bin"));
        EXPECT_EQ(std::string::npos, report.find("RebootRequired")) << report;
    }
}

std::string Refusal(const std::string& path, const std::string& why)
{
    return "lumoswitch: Refusing package file " + path + ": " + why + "\n";
}

// The line that follows when the refused file was the storage library: the
// system's does not stand in for it, so no library works.
std::string NoLibrary(const std::string& why)
{
    return "lumoswitch: cannot load the storage library: ./libstorelibit.so: refused, " + why +
           "\n";
}

std::string NotFound(const std::string& message)
{
    return "<SPStatus result = \"false\" ><Message id=\"1\" >" + message + "</Message></SPStatus>";
}

const char kStranger[] = "signer not trusted (failed to verify data for CN=Stranger: Public key "
                         "signature verification has failed. [-89])";
const char kExpired[] = "signer's certificate expired or not yet valid (CN=Old Maker)";
const char kUnsigned[] = "no signature: the package has no package.jcat";

INSTANTIATE_TEST_SUITE_P(
    Packages, SignedPackage,
    ::testing::Values(
        SignedCase{"NoManifestNoTrust", ESign::None, "", nullptr, "", 0755, 0, true, "", true, true,
                   "<RebootRequired>1</RebootRequired>", ""},
        SignedCase{"ChecksumsOnlyOnePayloadByteChanged", ESign::Checksums, "",
                   [](PackageDir& pkg) { FlipByte(pkg, "payload/sw1.bin", 20000); }, "", 0755, 2,
                   false, "ERROR: payload/sw1.bin refused: checksum mismatch against package.jcat",
                   true, true, "<RebootRequired>1</RebootRequired>",
                   Refusal("PKG/payload/sw1.bin", "checksum mismatch against package.jcat")},
        SignedCase{"TrustedSigner", ESign::Signed, "maker", nullptr, "maker", 0755, 0, true, "",
                   true, true, "<RebootRequired>1</RebootRequired>", ""},
        SignedCase{"TrustSetPackageUnsigned", ESign::None, "", nullptr, "maker", 0755, 2, false, "",
                   false, false,
                   NotFound(std::string("ERROR: libstorelibit.so refused: ") + kUnsigned),
                   Refusal("./doRPM.sh", kUnsigned) + Refusal("./libstorelibit.so", kUnsigned) +
                       NoLibrary(kUnsigned)},
        SignedCase{"SignedByAnUntrustedCertificate", ESign::Signed, "stranger", nullptr, "maker",
                   0755, 2, false, "", false, false,
                   NotFound(std::string("ERROR: libstorelibit.so refused: ") + kStranger),
                   Refusal("./doRPM.sh", kStranger) + Refusal("./libstorelibit.so", kStranger) +
                       NoLibrary(kStranger)},
        SignedCase{"LibraryReplacedAfterSigning", ESign::Signed, "maker",
                   [](PackageDir& pkg) { pkg.libraryWithoutEntryPoint(); }, "maker", 0755, 2, false,
                   "", false, true,
                   NotFound("ERROR: libstorelibit.so refused: checksum mismatch against "
                            "package.jcat"),
                   Refusal("./libstorelibit.so", "checksum mismatch against package.jcat") +
                       NoLibrary("checksum mismatch against package.jcat")},
        SignedCase{"DescriptorChangedAfterSigning", ESign::Signed, "maker",
                   [](PackageDir& pkg) {
                       pkg.package(BoardPackage() + "<!-- edited after signing -->\n");
                   },
                   "maker", 0755, 2, false, "", true, true,
                   Failed("ERROR: package.xml refused: checksum mismatch against package.jcat"),
                   Refusal("PKG/package.xml", "checksum mismatch against package.jcat")},
        SignedCase{"ExpiredSigner", ESign::SignedByJcatTool, "old", nullptr, "old", 0755, 2, false,
                   "", false, false,
                   NotFound(std::string("ERROR: libstorelibit.so refused: ") + kExpired),
                   Refusal("./doRPM.sh", kExpired) + Refusal("./libstorelibit.so", kExpired) +
                       NoLibrary(kExpired)},
        SignedCase{"TrustFolderWritableByOthers", ESign::Signed, "maker", nullptr, "maker", 0757, 1,
                   false, "", false, false, "",
                   "lumoswitch: refusing to run: trust folder /etc/lumoswitch/trust: it is "
                   "writable by group or others; nothing was done\n"}),
    [](const ::testing::TestParamInfo<SignedCase>& param) {
        return std::string(param.param.name);
    });

// ------------------------------------------------------- another user's try

struct AttackCase {
    const char* name;
    bool signPackage;
    mode_t etcMode; // of /etc/lumoswitch
    std::string prepare;
    std::string attack;
    std::string runFrom;
    std::string check;
    std::string evidence;
    int status;
    bool updated; // both switches got the package's images; else nothing sent
    std::string stderrText;
};

void PrintTo(const AttackCase& c, std::ostream* os)
{
    *os << c.name;
}

class SignedPackageOnASharedHost : public ::testing::TestWithParam<AttackCase>
{
};

TEST_P(SignedPackageOnASharedHost, AnotherUserCannotSlipAFilePastTheCheck)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const AttackCase& c = GetParam();
    ASSERT_TRUE(TheSigners().ok()) << "openssl or certtool failed";
    PackageDir pkg(std::string("signed-attack-") + c.name);
    const std::string root = Arrange(pkg, "maker", 0755);
    chmod((root + "/etc/lumoswitch").c_str(), c.etcMode);
    if (c.signPackage) {
        ASSERT_TRUE(Sign(pkg, "maker")) << pkg.read("shell.log");
    }
    pkg.write("attack.sh", kAttackDriver);

    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.rootDir = root;
    opts.env = {"E2E_PREPARE=" + c.prepare, "E2E_ATTACK=" + c.attack, "E2E_RUN_FROM=" + c.runFrom,
                "E2E_CHECK=" + c.check};
    const RunResult r =
        RunCommand(pkg, {"/bin/bash", "./attack.sh", "-u", "-o", pkg.file("report.xml")}, opts);

    ASSERT_LT(r.status, 120) << "the scenario's own steps failed: " << r.err;
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.evidence, pkg.read("evidence.txt"));
    EXPECT_EQ(c.stderrText, r.err);
    if (c.updated) {
        EXPECT_EQ(2u, Occurrences(pkg.read("report.xml"), Passed(kSuccessText)));
        EXPECT_TRUE(FirstImage() == pkg.received(0x05000000, 8));
        EXPECT_TRUE(SecondImage() == pkg.received(0x05000000, 9));
    } else {
        EXPECT_FALSE(pkg.exists("storelib_trace.log"));
        EXPECT_FALSE(pkg.exists("doRPM-ran"));
        EXPECT_FALSE(pkg.exists("received_05000000_8.bin"));
        EXPECT_FALSE(pkg.exists("received_05000000_9.bin"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, SignedPackageOnASharedHost,
    ::testing::Values(
        // The package arrived unsigned, which the host's trust folder would
        // refuse; whoever may write /etc/lumoswitch takes the trust folder
        // away before the run. The run is refused, not left unchecked.
        AttackCase{"TrustFolderTakenAway", false, 0777, "",
                   "mv /etc/lumoswitch/trust /etc/lumoswitch/gone", "", "ls /etc/lumoswitch",
                   "gone\n", 1, false,
                   "lumoswitch: refusing to run: trust folder /etc/lumoswitch/trust: its folder "
                   "/etc/lumoswitch is writable by group or others; nothing was done\n"},
        // Their own script and a manifest vouching for it where the tool is
        // started: the package folder's files are the ones checked and used.
        AttackCase{"ManifestInTheWorkingDirectory", true, 0755, "",
                   "mkdir -m 755 /tmp/hostile && cd /tmp/hostile && "
                   "printf '#!/bin/sh\\ntouch /tmp/pwned\\n' > doRPM.sh && chmod 755 doRPM.sh && "
                   "HOME=/tmp/hostile jcat-tool self-sign package.jcat doRPM.sh --kind sha256 "
                   ">/dev/null",
                   "/tmp/hostile", "test -e /tmp/pwned && echo their script ran; ls /tmp/hostile",
                   "doRPM.sh\npackage.jcat\n", 0, true, ""}),
    [](const ::testing::TestParamInfo<AttackCase>& param) {
        return std::string(param.param.name);
    });

} // namespace

#endif // LUMO_E2E_IPMI_PRELOAD
