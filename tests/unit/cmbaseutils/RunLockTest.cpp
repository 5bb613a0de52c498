// One run at a time, and nothing planted in a world-writable lock folder is
// ever written through.
#include "RunLock.h"
#include "PackageTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace pkgtest;

namespace
{

mode_t ModeOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(0, lstat(path.c_str(), &info)) << path;
    return info.st_mode;
}

} // namespace

TEST(RunLock, SecondRunIsRefusedWithTheHoldersProcessIDUntilTheFirstEnds)
{
    ScopedTempWorkDir dir;
    // Missing, as in a container, and its parent too, as in an initramfs.
    const std::string folder = dir.path() + "/run/lock";
    std::string detail;
    {
        CRunLock first(folder);
        ASSERT_EQ(CRunLock::EResult::Acquired, first.acquire(detail)) << detail;
        EXPECT_EQ(040755u, ModeOf(folder) & 0170777);
        EXPECT_EQ(040755u, ModeOf(dir.path() + "/run") & 0170777);
        EXPECT_EQ(0100600u, ModeOf(first.path()) & 0170777);
        EXPECT_EQ(std::to_string(getpid()) + "\n", readFile(first.path()));

        CRunLock second(folder);
        EXPECT_EQ(CRunLock::EResult::Held, second.acquire(detail));
        EXPECT_EQ(std::to_string(getpid()), detail);
        EXPECT_EQ(std::to_string(getpid()) + "\n", readFile(first.path()));
    }
    CRunLock later(folder);
    EXPECT_EQ(CRunLock::EResult::Acquired, later.acquire(detail)) << detail;
}

TEST(RunLock, PlantedLinksAreReplacedNeverWrittenThrough)
{
    enum Kind { Symbolic, Hard, ForeignFile };
    const struct {
        const char* name;
        Kind kind;
    } cases[] = {
        {"symbolic link", Symbolic}, {"hard link", Hard}, {"another user's file", ForeignFile}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempWorkDir dir;
        dir.write("victim", "precious");
        const std::string lock = dir.path() + "/lumoswitch.lock";
        if (c.kind == ForeignFile) {
            if (geteuid() != 0) {
                continue; // only root can give a file away
            }
            dir.write("lumoswitch.lock", "");
            ASSERT_EQ(0, chown(lock.c_str(), 65534, 65534));
        } else {
            ASSERT_EQ(0, c.kind == Hard ? link((dir.path() + "/victim").c_str(), lock.c_str())
                                        : symlink((dir.path() + "/victim").c_str(), lock.c_str()));
        }
        CRunLock runLock(dir.path());
        std::string detail;
        ASSERT_EQ(CRunLock::EResult::Acquired, runLock.acquire(detail)) << detail;
        EXPECT_EQ("precious", readFile(dir.path() + "/victim"));
        EXPECT_EQ(0100600u, ModeOf(lock) & 0170777);
        struct stat info = {};
        ASSERT_EQ(0, stat(lock.c_str(), &info));
        EXPECT_EQ(geteuid(), info.st_uid);
        EXPECT_EQ(1u, info.st_nlink);
        EXPECT_EQ(std::to_string(getpid()) + "\n", readFile(lock));
    }
}

TEST(RunLock, UnusableFolderIsAFailureWithTheReason)
{
    ScopedTempWorkDir dir;
    dir.write("file", "");
    CRunLock runLock(dir.path() + "/file");
    std::string detail;
    EXPECT_EQ(CRunLock::EResult::Failed, runLock.acquire(detail));
    EXPECT_NE(std::string::npos, detail.find("Not a directory")) << detail;
}
