// One run at a time, in a folder only root can use: nobody else can block a
// run, and a run that dies however it dies leaves nothing that blocks the
// next.
#include "RunLock.h"
#include "PackageTestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    // Missing, and its parent too, as in a container or an initramfs.
    const std::string folder = dir.path() + "/run/lumoswitch";
    std::string detail;
    {
        CRunLock first(folder);
        ASSERT_EQ(CRunLock::EResult::Acquired, first.acquire(detail)) << detail;
        EXPECT_EQ(040700u, ModeOf(folder) & 0170777);
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

TEST(RunLock, ARunKilledWhileHoldingItDoesNotBlockTheNext)
{
    ScopedTempWorkDir dir;
    const std::string folder = dir.path() + "/lumoswitch";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CRunLock held(folder);
        std::string ignored;
        if (held.acquire(ignored) == CRunLock::EResult::Acquired) {
            raise(SIGKILL);
        }
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    CRunLock next(folder);
    std::string detail;
    EXPECT_EQ(CRunLock::EResult::Acquired, next.acquire(detail)) << detail;
    EXPECT_EQ(std::to_string(getpid()) + "\n", readFile(next.path()));
}

// Only root can put anything at the lock's name; whatever root left there
// that is not the lock file is named and left alone.
TEST(RunLock, WhatIsInTheWayIsNamedAndLeftAlone)
{
    const struct {
        const char* name;
        void (*arrange)(const std::string& lock);
        const char* says;
    } cases[] = {
        {"a directory", [](const std::string& lock) { ASSERT_EQ(0, mkdir(lock.c_str(), 0700)); },
         "lumoswitch.lock: Is a directory"},
        {"a second name of another file",
         [](const std::string& lock) {
             std::filesystem::create_hard_link(
                 std::filesystem::path(lock).parent_path() / "../victim", lock);
         },
         "lumoswitch.lock is not a regular file of root's with a single name"},
        {"a symbolic link",
         [](const std::string& lock) {
             std::filesystem::create_symlink(
                 std::filesystem::path(lock).parent_path() / "../victim", lock);
         },
         "lumoswitch.lock: Too many levels of symbolic links"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempWorkDir dir;
        dir.write("victim", "precious");
        ASSERT_EQ(0, mkdir((dir.path() + "/lumoswitch").c_str(), 0700));
        CRunLock runLock(dir.path() + "/lumoswitch");
        c.arrange(runLock.path());
        std::string detail;
        EXPECT_EQ(CRunLock::EResult::Failed, runLock.acquire(detail));
        EXPECT_NE(std::string::npos, detail.find(c.says)) << detail;
        EXPECT_EQ("precious", readFile(dir.path() + "/victim"));
        struct stat info = {};
        EXPECT_EQ(0, lstat(runLock.path().c_str(), &info)) << "still there";
    }
}
