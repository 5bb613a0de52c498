// The host calls behind the access layer's seam, on this machine's own file
// system: the mount-point decision and the rule-file creation are what keep a
// link in /tmp or in a rule folder from redirecting them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ScalSeams.h"

namespace
{

namespace fs = std::filesystem;

class RealHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/scal-host-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string dir;
};

TEST_F(RealHostTest, AMountPointIsAFolderOnAnotherDeviceThanItsParentNeverALinkToOne)
{
    RealScalHost host;
    EXPECT_TRUE(host.IsMountPoint("/proc"));
    EXPECT_TRUE(host.IsMountPoint("/proc/"));
    EXPECT_FALSE(host.IsMountPoint(dir));
    fs::create_directory(dir + "/COR001");
    EXPECT_FALSE(host.IsMountPoint(dir + "/COR001"));
    // A link to a mount point is not one: it is never unmounted through.
    fs::create_directory_symlink("/proc", dir + "/SECUPD");
    EXPECT_FALSE(host.IsMountPoint(dir + "/SECUPD"));
    EXPECT_FALSE(host.IsMountPoint(dir + "/missing"));

    // (The unmount itself is tried on links in the sandbox only, where a
    // mistake could not take anything away from this machine.)
    struct stat info;
    ASSERT_TRUE(host.LStat(dir + "/SECUPD/", info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_FALSE(host.LStat(dir + "/missing", info));
}

TEST_F(RealHostTest, ARuleFileIsCreatedNewWithItsModeAndNeverThroughOrOverAnything)
{
    RealScalHost host;
    const std::string rule = dir + "/98-secupdusb.rules";
    ASSERT_EQ(0, host.CreateNewFile(rule, "rules\n", 0755));
    EXPECT_EQ("rules\n", read(rule));
    struct stat info;
    ASSERT_EQ(0, stat(rule.c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 07777);

    // Something already there is kept as it is.
    EXPECT_EQ(EEXIST, host.CreateNewFile(rule, "other\n", 0755));
    EXPECT_EQ("rules\n", read(rule));

    // A link (even a dangling one) is not written through.
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "precious\n";
    chmod(victim.c_str(), 0600);
    fs::create_symlink(victim, dir + "/link.rules");
    fs::create_symlink(dir + "/nowhere", dir + "/dangling.rules");
    EXPECT_EQ(EEXIST, host.CreateNewFile(dir + "/link.rules", "evil\n", 0755));
    EXPECT_EQ(EEXIST, host.CreateNewFile(dir + "/dangling.rules", "evil\n", 0755));
    EXPECT_EQ("precious\n", read(victim));
    ASSERT_EQ(0, stat(victim.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_FALSE(fs::exists(dir + "/nowhere"));
}

TEST_F(RealHostTest, PackageFilesComeFromTheExecutablesFolderOnly)
{
    // The working directory's files of the same name are never read.
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    ASSERT_EQ(0, chdir(dir.c_str()));
    std::ofstream("lumo-never-shipped.xml") << "<x/>";
    std::string content;
    EXPECT_FALSE(RealScalHost().ReadPackageFile("lumo-never-shipped.xml", content));
    EXPECT_EQ("", content);
    ASSERT_EQ(0, chdir(cwd));
}

} // namespace
