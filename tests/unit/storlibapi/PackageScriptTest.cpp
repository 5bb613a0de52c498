// The package's doRPM.sh as the real system runs it: unchecked, the file in
// the package folder, as it always was; checked against package.jcat, a sealed
// copy of the very bytes that passed, whatever becomes of the file after the
// check; refused, not at all. The shell is real; the manifest reader is a fake.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ExecutableDirPlatform.h"
#include "FakeManifestVerifier.h"
#include "PlatformLayer.h"
#include "ZUKStoreLibTalker.h"

namespace
{

namespace fs = std::filesystem;

const char kScript[] = "#!/bin/sh\necho checked > marker\n";
const char kOtherScript[] = "#!/bin/sh\necho changed > marker\n";

// The package folder's platform, with a look at each shell command before
// the real shell runs it.
class WatchedPlatform : public ExecutableDirPlatform
{
public:
    using ExecutableDirPlatform::ExecutableDirPlatform;
    int ExecuteCmd(const std::string& command, bool wait, const long& timeout) override
    {
        commands.push_back(command);
        if (beforeRun) {
            beforeRun();
        }
        return CLinuxImpl::ExecuteCmd(command, wait, timeout);
    }
    std::vector<std::string> commands;
    std::function<void()> beforeRun;
};

class PackageScriptTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/lumo_script_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        chmod(dir.c_str(), 0755);
        Write("doRPM.sh", kScript);
        chmod((dir + "/doRPM.sh").c_str(), 0755);
        platform.reset(new WatchedPlatform(dir));
        m_previousPlatform = CPlatformLayer::SetPlatformSeams(platform.get());
        m_previousTrust = pkgtrust::SetSeams(pkgtrust::SSeams{nullptr, dir + "/etc/trust"});
    }
    void TearDown() override
    {
        pkgtrust::SetSeams(m_previousTrust);
        CPlatformLayer::SetPlatformSeams(m_previousPlatform);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // A host that trusts a signer; the reader answers the script with `verdict`.
    void TrustWithVerdict(pkgtrust::SVerdict verdict)
    {
        fs::create_directories(dir + "/etc/trust");
        chmod((dir + "/etc").c_str(), 0755);
        Write("etc/trust/maker.pem", kFakeCertificate);
        Write("package.jcat", "manifest");
        pkgtrust::SetSeams(FakeTrustSeams(dir + "/etc/trust", log,
                                          [verdict](const std::string&) { return verdict; }));
    }

    void Write(const std::string& name, const std::string& content) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << content;
        chmod((dir + "/" + name).c_str(), 0644 | (name == "doRPM.sh" ? 0111 : 0));
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    int Run() { return system.RunPackageScript(system.PackagePath("./doRPM.sh")); }

    std::string dir;
    std::unique_ptr<WatchedPlatform> platform;
    std::shared_ptr<ManifestReaderLog> log = std::make_shared<ManifestReaderLog>();
    RealStoreLibSystem system;

private:
    IPlatformImpl* m_previousPlatform = nullptr;
    pkgtrust::SSeams m_previousTrust;
};

TEST_F(PackageScriptTest, UncheckedTheScriptInThePackageFolderRunsAsBefore)
{
    EXPECT_EQ(0, Run());
    EXPECT_EQ((std::vector<std::string>{"cd " + dir + "/ && ./doRPM.sh > /dev/null 2>&1"}),
              platform->commands);
    EXPECT_EQ("checked\n", Read("marker"));
}

TEST_F(PackageScriptTest, CheckedWhatRunsIsTheCopyThatPassedNotTheFileAsItIsLater)
{
    TrustWithVerdict({pkgtrust::EVerdict::Verified, "signed by CN=Maker"});
    // The file changes between its check and its start.
    platform->beforeRun = [this] { Write("doRPM.sh", kOtherScript); };
    EXPECT_EQ(0, Run());
    ASSERT_EQ(1u, log->checks.size());
    EXPECT_EQ("doRPM.sh", std::get<0>(log->checks[0]));
    EXPECT_EQ(kScript, std::get<1>(log->checks[0]));
    ASSERT_EQ(1u, platform->commands.size());
    EXPECT_EQ(0u, platform->commands[0].find("cd " + dir + "/ && /dev/fd/"))
        << platform->commands[0];
    // It ran in the package folder, from the bytes checked.
    EXPECT_EQ("checked\n", Read("marker"));
}

TEST_F(PackageScriptTest, ARefusedScriptIsNotRun)
{
    TrustWithVerdict({pkgtrust::EVerdict::ChecksumMismatch, "sha256"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Run());
    EXPECT_EQ("lumoswitch: Refusing package file " + dir +
                  "/doRPM.sh: checksum mismatch against package.jcat\n",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(platform->commands.empty());
    EXPECT_FALSE(fs::exists(dir + "/marker"));
}

} // namespace
