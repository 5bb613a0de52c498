// The libjcat manifest reader against manifests written by jcat-tool, with
// certificates made by openssl and certtool when the suite starts (no key is
// kept anywhere), and against hostile manifests: what it accepts, and the
// verdict it gives each file's bytes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "JcatManifestVerifier.h"

namespace
{

using pkgtrust::EVerdict;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Runs a shell script in `dir`; true when it exits 0.
bool Shell(const std::string& dir, const std::string& script)
{
    const std::string command = "cd '" + dir + "' && { " + script + "; } >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

const char kTimeTemplates[] = R"(
printf 'cn = "Old"\nactivation_date = "2019-01-01 00:00:00"\nexpiration_date = "2020-01-01 00:00:00"\nsigning_key\ncode_signing_key\n' > old.tmpl
printf 'cn = "Future"\nactivation_date = "2090-01-01 00:00:00"\nexpiration_date = "2091-01-01 00:00:00"\nsigning_key\ncode_signing_key\n' > future.tmpl
)";

// Signers, the files and package.jcat as a maker writes it. Each file is
// named for what its item holds.
class JcatManifestTest : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/lumo_jcat_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        s_dir = pattern;
        const std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -days 3650 "
                                "-addext keyUsage=critical,digitalSignature ";
        ASSERT_TRUE(Shell(s_dir, req + "-keyout maker.key -out maker.pem -subj /CN=Maker"));
        ASSERT_TRUE(
            Shell(s_dir, req + "-keyout stranger.key -out stranger.pem -subj /CN=Stranger"));
        ASSERT_TRUE(Shell(s_dir, std::string(kTimeTemplates) +
                                     "certtool --generate-privkey --outfile old.key && "
                                     "certtool --generate-self-signed --load-privkey old.key "
                                     "--template old.tmpl --outfile old.pem && "
                                     "certtool --generate-self-signed --load-privkey old.key "
                                     "--template future.tmpl --outfile future.pem"));
        for (const char* name :
             {"signed", "checksummed", "stranger", "old", "future", "unsummed"}) {
            WriteFile(s_dir + "/" + name + ".bin", std::string("bytes of ") + name);
        }
        const std::string sum = "jcat-tool self-sign package.jcat FILE --kind sha256";
        const std::string sign = "jcat-tool sign package.jcat FILE ";
        const std::pair<const char*, std::string> steps[] = {
            {"signed.bin", sum},
            {"signed.bin", sign + "maker.pem maker.key"},
            {"checksummed.bin", sum},
            {"stranger.bin", sum},
            {"stranger.bin", sign + "stranger.pem stranger.key"},
            {"old.bin", sum},
            {"old.bin", sign + "old.pem old.key"},
            {"future.bin", sum},
            {"future.bin", sign + "future.pem old.key"},
            {"unsummed.bin", sign + "maker.pem maker.key"},
        };
        for (const auto& step : steps) {
            std::string command = step.second;
            command.replace(command.find("FILE"), 4, step.first);
            ASSERT_TRUE(Shell(s_dir, command)) << command;
        }
        ASSERT_TRUE(Shell(s_dir, "gzip -dc package.jcat > package.json"));
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        std::filesystem::remove_all(s_dir, ignored);
    }

    static std::string File(const std::string& name) { return ReadFile(s_dir + "/" + name); }

    // Any text, gzip-compressed as a manifest is.
    static std::string Gzip(const std::string& text)
    {
        WriteFile(s_dir + "/text", text);
        EXPECT_TRUE(Shell(s_dir, "gzip -c -n text > text.gz"));
        return File("text.gz");
    }

    // A verifier that trusts the maker (and the two time-bound signers, so
    // that only their validity periods stand against them).
    static std::unique_ptr<pkgtrust::IManifestVerifier> Trusting()
    {
        std::unique_ptr<pkgtrust::IManifestVerifier> verifier = MakeJcatManifestVerifier();
        for (const char* name : {"maker.pem", "old.pem", "future.pem"}) {
            std::string why;
            EXPECT_TRUE(verifier->AddTrustAnchor(File(name), why)) << name << ": " << why;
        }
        return verifier;
    }

    static std::string s_dir;
};

std::string JcatManifestTest::s_dir;

struct VerifyCase {
    const char* id;
    std::string bytes;
    bool requireSignature;
    EVerdict verdict;
    const char* detail; // part of it
};

TEST_F(JcatManifestTest, EachFileGetsTheVerdictOfItsItem)
{
    std::string flipped = File("signed.bin");
    flipped[3] ^= 0x01;
    const VerifyCase cases[] = {
        {"signed.bin", File("signed.bin"), true, EVerdict::Verified, "signed by CN=Maker"},
        {"signed.bin", File("signed.bin"), false, EVerdict::Verified, "checksum"},
        {"signed.bin", flipped, true, EVerdict::ChecksumMismatch, "sha256"},
        {"signed.bin", flipped, false, EVerdict::ChecksumMismatch, "sha256"},
        {"checksummed.bin", File("checksummed.bin"), false, EVerdict::Verified, "checksum"},
        {"checksummed.bin", File("checksummed.bin"), true, EVerdict::NoSignature, ""},
        {"stranger.bin", File("stranger.bin"), true, EVerdict::SignerNotTrusted, "CN=Stranger"},
        {"old.bin", File("old.bin"), true, EVerdict::SignerExpired, "CN=Old"},
        {"future.bin", File("future.bin"), true, EVerdict::SignerExpired, "CN=Future"},
        {"unsummed.bin", File("unsummed.bin"), true, EVerdict::NoChecksum, ""},
        {"missing.bin", "", true, EVerdict::NotListed, ""},
        // Looked up by the program's own name, never resolved.
        {"./signed.bin", File("signed.bin"), true, EVerdict::NotListed, ""},
    };
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier = Trusting();
    std::string why;
    ASSERT_TRUE(verifier->ReadManifest(File("package.jcat"), why)) << why;
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(std::string(c.id) + (c.requireSignature ? ", signature required" : ""));
        const pkgtrust::SVerdict verdict =
            verifier->Verify(c.id, c.bytes.data(), c.bytes.size(), c.requireSignature);
        EXPECT_EQ(static_cast<int>(c.verdict), static_cast<int>(verdict.verdict)) << verdict.detail;
        EXPECT_NE(std::string::npos, verdict.detail.find(c.detail)) << verdict.detail;
    }
}

// Where a signature is required, one that verifies proves the bytes (it
// signs their SHA-256 digest) and the plain checksum beside it is not
// computed again; without trust, the checksum is all there is.
TEST_F(JcatManifestTest, AValidSignatureStandsForTheChecksumBesideIt)
{
    std::string json = File("package.json");
    const size_t item = json.find("\"Id\":\"signed.bin\"");
    ASSERT_NE(std::string::npos, item);
    const size_t data = json.find("\"Data\":\"", item) + 8;
    json.replace(data, 64, std::string(64, '0'));
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier = Trusting();
    std::string why;
    ASSERT_TRUE(verifier->ReadManifest(Gzip(json), why)) << why;
    const std::string bytes = File("signed.bin");
    EXPECT_EQ(
        static_cast<int>(EVerdict::Verified),
        static_cast<int>(verifier->Verify("signed.bin", bytes.data(), bytes.size(), true).verdict));
    EXPECT_EQ(static_cast<int>(EVerdict::ChecksumMismatch),
              static_cast<int>(
                  verifier->Verify("signed.bin", bytes.data(), bytes.size(), false).verdict));
}

TEST_F(JcatManifestTest, NoTrustedCertificateNoSignatureVerifies)
{
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier = MakeJcatManifestVerifier();
    std::string why;
    ASSERT_TRUE(verifier->AddTrustAnchor(File("stranger.pem"), why)) << why;
    ASSERT_TRUE(verifier->ReadManifest(File("package.jcat"), why)) << why;
    const std::string bytes = File("signed.bin");
    EXPECT_EQ(
        static_cast<int>(EVerdict::SignerNotTrusted),
        static_cast<int>(verifier->Verify("signed.bin", bytes.data(), bytes.size(), true).verdict));
}

TEST_F(JcatManifestTest, OnlyPemCertificatesAreTrusted)
{
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier = MakeJcatManifestVerifier();
    for (const std::string& text : {std::string("trust me\n"), File("maker.key"), std::string()}) {
        std::string why;
        EXPECT_FALSE(verifier->AddTrustAnchor(text, why)) << text;
        EXPECT_FALSE(why.empty());
    }
}

struct ManifestCase {
    const char* name;
    std::string bytes;
    const char* why; // part of it
};

std::string Item(const std::string& idJson)
{
    return "{\"Id\":" + idJson + ",\"Blobs\":[]}";
}

std::string Jcat(const std::string& items)
{
    return "{\"JcatVersionMajor\":0,\"JcatVersionMinor\":1,\"Items\":[" + items + "]}";
}

// Nothing a manifest holds makes the reader crash, hang, read a file or
// accept a name outside the package.
TEST_F(JcatManifestTest, AManifestToDistrustIsRefusedWithWhy)
{
    const ManifestCase cases[] = {
        {"plain text", "not a manifest", "not a gzip-compressed Jcat file"},
        {"uncompressed Jcat", Jcat(Item("\"a.bin\"")), "not a gzip-compressed Jcat file"},
        {"gzip of no JSON", Gzip("not json"), "not a Jcat file"},
        {"gzip of other JSON", Gzip("{\"Items\":7}"), "not a Jcat file"},
        {"gzip bomb", Gzip(std::string(size_t(16) << 20, '\0')), "bytes once decompressed"},
        {"deep nesting", Gzip(std::string(200000, '[')), "nested or listed elements"},
        {"upward item ID", Gzip(Jcat(Item("\"payload/../../etc/shadow\""))),
         "item ID \"payload/../../etc/shadow\" is not a path inside the package"},
        {"absolute item ID", Gzip(Jcat(Item("\"/etc/shadow\""))), "is not a path inside"},
        {"item ID with an empty step", Gzip(Jcat(Item("\"payload//sw1.bin\""))),
         "is not a path inside"},
        {"item twice", Gzip(Jcat(Item("\"package.xml\"") + "," + Item("\"package.xml\""))),
         "item ID \"package.xml\" appears twice"},
        {"alias of another item",
         Gzip(Jcat(Item("\"doRPM.sh\"") +
                   ",{\"Id\":\"notes.txt\",\"AliasIds\":[\"doRPM.sh\"],\"Blobs\":[]}")),
         "item ID \"doRPM.sh\" appears twice"},
        {"upward alias", Gzip(Jcat("{\"Id\":\"a.bin\",\"AliasIds\":[\"../a.bin\"],\"Blobs\":[]}")),
         "item ID \"../a.bin\" is not a path inside"},
        {"a NUL in the text", Gzip(Jcat(Item("\"a.bin\"")) + std::string(1, '\0') + "[]"), "NUL"},
    };
    for (const ManifestCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<pkgtrust::IManifestVerifier> verifier = Trusting();
        std::string why;
        EXPECT_FALSE(verifier->ReadManifest(c.bytes, why));
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;
        // Refused, it answers no file.
        EXPECT_EQ(static_cast<int>(EVerdict::NotListed),
                  static_cast<int>(verifier->Verify("a.bin", "x", 1, false).verdict));
    }
}

TEST_F(JcatManifestTest, AManifestOfAnotherShapeStillNamesOnlyWhatItHolds)
{
    // The same items, edited by hand and compressed again: as good as
    // jcat-tool's own output.
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier = Trusting();
    std::string why;
    ASSERT_TRUE(verifier->ReadManifest(Gzip(File("package.json")), why)) << why;
    const std::string bytes = File("signed.bin");
    EXPECT_EQ(
        static_cast<int>(EVerdict::Verified),
        static_cast<int>(verifier->Verify("signed.bin", bytes.data(), bytes.size(), true).verdict));
}

} // namespace
