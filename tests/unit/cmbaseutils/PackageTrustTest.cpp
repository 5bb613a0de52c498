// The signature policy: which files are checked and how, from the trust
// folder and package.jcat; the run refused when the trust folder may not be
// trusted; every problem with the manifest a refusal of the file, never a
// pass. The manifest reader is a fake here (the libjcat one has its own tests).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "FakeManifestVerifier.h"
#include "PackageTestSupport.h"
#include "PackageTrust.h"

namespace
{

namespace fs = std::filesystem;
using pkgtest::ScopedTempWorkDir;
using pkgtrust::EVerdict;

const char* const kCertificate = kFakeCertificate;
const uid_t kNobody = 65534;

// The table cases arrange the host through the fixture's own helpers.
class PackageTrustTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/lumo_trust_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_scratch = pattern;
        chmod(m_scratch.c_str(), 0755);
        etc = m_scratch + "/lumoswitch";
        trust = etc + "/trust";
        fs::create_directories(etc);
        Install(pkgtrust::SVerdict{EVerdict::Verified, "signed by CN=Maker"});
    }
    void TearDown() override
    {
        pkgtrust::SetSeams(m_previous);
        std::error_code ignored;
        fs::remove_all(m_scratch, ignored);
    }

    // The fake reader answering every file with `verdict`; nothing prepared yet.
    void Install(pkgtrust::SVerdict verdict, bool withReader = true)
    {
        log = std::make_shared<ManifestReaderLog>();
        VerdictFor verdictFor;
        if (withReader) {
            verdictFor = [verdict](const std::string&) { return verdict; };
        }
        pkgtrust::SSeams previous = pkgtrust::SetSeams(FakeTrustSeams(trust, log, verdictFor));
        if (!m_installed) {
            m_previous = previous;
            m_installed = true;
        }
    }

    void TrustOne(const std::string& name = "maker.pem")
    {
        fs::create_directories(trust);
        WriteFile(trust + "/" + name, kCertificate);
    }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        chmod(path.c_str(), 0644);
    }

    ScopedTempWorkDir pkg;
    std::string etc;
    std::string trust;
    std::shared_ptr<ManifestReaderLog> log;

private:
    std::string m_scratch;
    pkgtrust::SSeams m_previous;
    bool m_installed = false;
};

struct ModeCase {
    const char* name;
    bool certificate;
    bool emptyTrustFolder;
    bool manifest;
    pkgtrust::EMode mode;
    const char* refusal; // of package.xml; empty: passed
    bool readerAsked;
};

TEST_F(PackageTrustTest, TheTrustFolderAndTheManifestDecideWhatIsChecked)
{
    const ModeCase cases[] = {
        {"neither", false, false, false, pkgtrust::EMode::Off, "", false},
        {"an empty trust folder", false, true, false, pkgtrust::EMode::Off, "", false},
        {"a manifest alone", false, false, true, pkgtrust::EMode::Checksums, "", true},
        {"a trusted signer and a manifest", true, false, true, pkgtrust::EMode::Signatures, "",
         true},
        {"a trusted signer, no manifest", true, false, false, pkgtrust::EMode::Signatures,
         "no signature: the package has no package.jcat", false},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(trust, ignored);
        fs::remove(pkg.path() + "/package.jcat", ignored);
        if (c.emptyTrustFolder) {
            fs::create_directories(trust);
        }
        if (c.certificate) {
            TrustOne();
        }
        if (c.manifest) {
            pkg.write("package.jcat", "manifest");
        }
        Install(pkgtrust::SVerdict{EVerdict::Verified, ""});

        std::string why;
        EXPECT_TRUE(pkgtrust::Prepare(why)) << why;
        EXPECT_EQ(c.mode, pkgtrust::Mode());
        EXPECT_EQ(c.refusal, pkgtrust::Check("package.xml", "<x/>", 4));
        ASSERT_EQ(c.readerAsked ? 1u : 0u, log->checks.size());
        if (c.readerAsked) {
            EXPECT_EQ(std::make_tuple(std::string("package.xml"), std::string("<x/>"),
                                      c.mode == pkgtrust::EMode::Signatures),
                      log->checks[0]);
            EXPECT_EQ(std::vector<std::string>{"manifest"}, log->manifests);
        }
        EXPECT_EQ(c.certificate ? std::vector<std::string>{kCertificate}
                                : std::vector<std::string>{},
                  log->anchors);
    }
}

struct FolderCase {
    const char* name;
    std::function<void(PackageTrustTest&)> arrange;
    const char* why; // part of the reason
    bool needsRoot;
};

TEST_F(PackageTrustTest, ATrustFolderThatMayNotBeTrustedRefusesTheRun)
{
    const FolderCase cases[] = {
        {"trust folder writable by others",
         [](PackageTrustTest& t) {
             t.TrustOne();
             chmod(t.trust.c_str(), 0757);
         },
         "trust: it is writable by group or others", false},
        {"its parent writable by the group",
         [](PackageTrustTest& t) {
             t.TrustOne();
             chmod(t.etc.c_str(), 0775);
         },
         "its folder", false},
        // Whoever may write the parent may take the trust folder away.
        {"its parent writable by others, no trust folder",
         [](PackageTrustTest& t) { chmod(t.etc.c_str(), 0777); }, "is writable by group or others",
         false},
        {"trust folder a link to a good one",
         [](PackageTrustTest& t) {
             t.TrustOne();
             fs::rename(t.trust, t.etc + "/real");
             fs::create_symlink(t.etc + "/real", t.trust);
         },
         "symbolic link", false},
        {"certificate writable by the group",
         [](PackageTrustTest& t) {
             t.TrustOne();
             chmod((t.trust + "/maker.pem").c_str(), 0664);
         },
         "maker.pem is writable by group or others", false},
        {"certificate a link",
         [](PackageTrustTest& t) {
             t.TrustOne("real.pem");
             fs::create_symlink(t.trust + "/real.pem", t.trust + "/maker.pem");
         },
         "maker.pem is a symbolic link", false},
        {"certificate not PEM",
         [](PackageTrustTest& t) {
             t.TrustOne();
             WriteFile(t.trust + "/notes.txt", "trust these\n");
         },
         "notes.txt is not a PEM certificate (crt_import: Base64 unexpected header error.)", false},
        {"a folder among the certificates",
         [](PackageTrustTest& t) {
             t.TrustOne();
             fs::create_directories(t.trust + "/more");
         },
         "more: it is not a regular file", false},
        {"a FIFO among the certificates",
         [](PackageTrustTest& t) {
             t.TrustOne();
             mkfifo((t.trust + "/maker2.pem").c_str(), 0644);
         },
         "maker2.pem: it is not a regular file", false},
        {"certificate of another user",
         [](PackageTrustTest& t) {
             t.TrustOne();
             ASSERT_EQ(0, chown((t.trust + "/maker.pem").c_str(), kNobody, 0));
         },
         "maker.pem is not owned by root", true},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        std::error_code ignored;
        fs::remove_all(etc, ignored);
        fs::create_directories(etc);
        chmod(etc.c_str(), 0755);
        pkg.write("package.jcat", "manifest");
        c.arrange(*this);
        Install(pkgtrust::SVerdict{EVerdict::Verified, ""});

        std::string why;
        EXPECT_FALSE(pkgtrust::Prepare(why));
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;
        EXPECT_EQ(0u, why.rfind("trust folder " + trust, 0)) << why;
        // Nothing passes in a run that goes on all the same.
        EXPECT_EQ("the run is refused: " + why, pkgtrust::Check("package.xml", "<x/>", 4));
        EXPECT_TRUE(log->checks.empty());
    }
}

struct ManifestCase {
    const char* name;
    std::function<void(PackageTrustTest&)> arrange;
    bool withReader;
    const char* why;
};

// Without a trust folder too: a manifest that is there but cannot be gone by
// refuses every file rather than letting them through unchecked.
TEST_F(PackageTrustTest, AManifestThatCannotBeReadRefusesEveryFile)
{
    const ManifestCase cases[] = {
        {"not a manifest", [](PackageTrustTest& t) { t.pkg.write("package.jcat", "garbage"); },
         true, "package.jcat unreadable: not a gzip-compressed Jcat file"},
        {"writable by the group",
         [](PackageTrustTest& t) {
             t.pkg.write("package.jcat", "manifest");
             chmod((t.pkg.path() + "/package.jcat").c_str(), 0664);
         },
         true, "package.jcat unreadable: the file is writable by group or others"},
        {"a link",
         [](PackageTrustTest& t) {
             t.pkg.write("elsewhere.jcat", "manifest");
             fs::create_symlink(t.pkg.path() + "/elsewhere.jcat", t.pkg.path() + "/package.jcat");
         },
         true, "package.jcat unreadable: the file is a symbolic link"},
        {"larger than a manifest can be",
         [](PackageTrustTest& t) {
             t.pkg.write("package.jcat", std::string((size_t(1) << 20) + 1, 'j'));
         },
         true, "package.jcat unreadable: the file is not a regular file of a sensible size"},
        {"no manifest reader in the program",
         [](PackageTrustTest& t) { t.pkg.write("package.jcat", "manifest"); }, false,
         "package.jcat unreadable: this program has no manifest reader"},
    };
    for (const ManifestCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(pkg.path() + "/package.jcat", ignored);
        c.arrange(*this);
        Install(pkgtrust::SVerdict{EVerdict::Verified, ""}, c.withReader);

        std::string why;
        EXPECT_TRUE(pkgtrust::Prepare(why)) << why;
        EXPECT_EQ(pkgtrust::EMode::Checksums, pkgtrust::Mode());
        EXPECT_EQ(c.why, pkgtrust::Check("payload/sw1.bin", "image", 5));
        EXPECT_EQ(c.why, pkgtrust::RefusalOf("payload/sw1.bin"));
        EXPECT_TRUE(log->checks.empty());
    }
}

TEST_F(PackageTrustTest, EachVerdictIsRefusedWithItsReason)
{
    const std::pair<pkgtrust::SVerdict, std::string> cases[] = {
        {{EVerdict::NotListed, ""}, "item missing from package.jcat"},
        {{EVerdict::NoChecksum, ""}, "no checksum for it in package.jcat"},
        {{EVerdict::ChecksumMismatch, "sha256"}, "checksum mismatch against package.jcat"},
        {{EVerdict::NoSignature, ""}, "no signature in package.jcat"},
        {{EVerdict::SignerNotTrusted, "failed to verify data for CN=Stranger"},
         "signer not trusted (failed to verify data for CN=Stranger)"},
        // The reader's words come from the manifest: printed, never obeyed.
        {{EVerdict::SignerExpired, "CN=Old\x1b[2J"},
         "signer's certificate expired or not yet valid (CN=Old\\x1B[2J)"},
        {{EVerdict::Verified, "signed by CN=Maker"}, ""},
    };
    TrustOne();
    pkg.write("package.jcat", "manifest");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        Install(c.first);
        EXPECT_EQ(c.second, pkgtrust::Check("doRPM.sh", "#!/bin/sh\n", 10));
        EXPECT_EQ(c.second, pkgtrust::RefusalOf("doRPM.sh"));
        EXPECT_EQ("", pkgtrust::RefusalOf("package.xml"));
    }
}

TEST_F(PackageTrustTest, ADescriptorIsCheckedWholeFromItsStart)
{
    TrustOne();
    pkg.write("package.jcat", "manifest");
    pkg.write("libstorelibit.so", "ELF-the-whole-library");
    Install(pkgtrust::SVerdict{EVerdict::Verified, ""});
    const int fd = open((pkg.path() + "/libstorelibit.so").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, lseek(fd, 4, SEEK_SET));
    std::string content;
    EXPECT_EQ("", pkgtrust::CheckDescriptor("libstorelibit.so", fd, &content));
    close(fd);
    EXPECT_EQ("ELF-the-whole-library", content);
    ASSERT_EQ(1u, log->checks.size());
    EXPECT_EQ("ELF-the-whole-library", std::get<1>(log->checks[0]));
}

// package.xml is read many times in a run: the same bytes are answered from
// the first check, other bytes are checked anew.
TEST_F(PackageTrustTest, TheSameBytesAreCheckedOnce)
{
    TrustOne();
    pkg.write("package.jcat", "manifest");
    Install(pkgtrust::SVerdict{EVerdict::ChecksumMismatch, ""});
    const std::string refusal = "checksum mismatch against package.jcat";
    EXPECT_EQ(refusal, pkgtrust::Check("package.xml", "<x/>", 4));
    EXPECT_EQ(refusal, pkgtrust::Check("package.xml", "<x/>", 4));
    EXPECT_EQ(1u, log->checks.size());
    EXPECT_EQ(refusal, pkgtrust::Check("package.xml", "<y/>", 4));
    EXPECT_EQ(refusal, pkgtrust::Check("doRPM.sh", "<x/>", 4));
    EXPECT_EQ(3u, log->checks.size());
}

TEST_F(PackageTrustTest, ItemIdsArePathsInThePackageFolder)
{
    EXPECT_EQ("doRPM.sh", pkgtrust::ItemId("./doRPM.sh"));
    EXPECT_EQ("payload/sw1.bin", pkgtrust::ItemId(pkg.path() + "/payload/sw1.bin"));
    EXPECT_EQ("/opt/other/doRPM.sh", pkgtrust::ItemId("/opt/other/doRPM.sh"));
}

TEST_F(PackageTrustTest, ARefusalIsReportedOncePerFileAndReason)
{
    testing::internal::CaptureStderr();
    pkgtrust::ReportRefusal("/pkg/package.xml", "checksum mismatch against package.jcat");
    pkgtrust::ReportRefusal("/pkg/package.xml", "checksum mismatch against package.jcat");
    pkgtrust::ReportRefusal("/pkg/doRPM.sh", "checksum mismatch against package.jcat");
    EXPECT_EQ("lumoswitch: Refusing package file /pkg/package.xml: checksum mismatch against "
              "package.jcat\n"
              "lumoswitch: Refusing package file /pkg/doRPM.sh: checksum mismatch against "
              "package.jcat\n",
              testing::internal::GetCapturedStderr());
}

} // namespace
