// The trust rule for package files, the log-file opening and the shell's PATH:
// the places where another user of the host could steer what root runs,
// loads, reads or writes.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "PackageFiles.h"
#include "PackageTestSupport.h"
#include "SafeLogStream.h"
#include "Shell.h"
#include "StringUtils.h"

namespace
{

namespace fs = std::filesystem;
using pkgtest::readFile;
using pkgtest::ScopedTempWorkDir;

const uid_t kNobody = 65534;

struct TrustCase {
    const char* name;
    // Arranges dir/pkg/tool (content "x", mode 0755 in a 0755 folder).
    std::function<void(const std::string& dir)> arrange;
    bool trusted;
    const char* why; // part of the reason
    bool needsRoot;
};

TEST(PackageFiles, OnlyRootsOwnFilesInRootsOwnFoldersAreTrusted)
{
    const TrustCase cases[] = {
        {"root's file", [](const std::string&) {}, true, "", false},
        {"a link to a trusted file",
         [](const std::string& d) {
             fs::rename(d + "/pkg/tool", d + "/pkg/real");
             fs::create_symlink(d + "/pkg/real", d + "/pkg/tool");
         },
         false, "symbolic link", false},
        {"writable by the group",
         [](const std::string& d) { chmod((d + "/pkg/tool").c_str(), 0775); }, false,
         "writable by group or others", false},
        {"writable by others", [](const std::string& d) { chmod((d + "/pkg/tool").c_str(), 0757); },
         false, "writable by group or others", false},
        {"another user's",
         [](const std::string& d) { ASSERT_EQ(0, chown((d + "/pkg/tool").c_str(), kNobody, 0)); },
         false, "not owned by root", true},
        {"in a folder others may write to",
         [](const std::string& d) { chmod((d + "/pkg").c_str(), 0777); }, false, "folder", false},
        {"in another user's folder",
         [](const std::string& d) { ASSERT_EQ(0, chown((d + "/pkg").c_str(), kNobody, 0)); }, false,
         "not owned by root", true},
        {"in a folder that is a link",
         [](const std::string& d) {
             fs::rename(d + "/pkg", d + "/elsewhere");
             fs::create_directory_symlink(d + "/elsewhere", d + "/pkg");
         },
         false, "symbolic link", false},
        {"missing", [](const std::string& d) { fs::remove(d + "/pkg/tool"); }, false, "missing",
         false},
    };
    for (const TrustCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue; // only root can hand a file to another user
        }
        ScopedTempWorkDir dir;
        fs::create_directory(dir.path() + "/pkg");
        chmod((dir.path() + "/pkg").c_str(), 0755);
        dir.write("pkg/tool", "x");
        chmod((dir.path() + "/pkg/tool").c_str(), 0755);
        c.arrange(dir.path());
        const std::string path = dir.path() + "/pkg/tool";

        std::string why;
        EXPECT_EQ(c.trusted, pkgfiles::CheckTrusted(path, why));
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;

        const int fd = pkgfiles::OpenTrusted(path, O_RDONLY, why);
        EXPECT_EQ(c.trusted, fd >= 0);
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;
        if (fd >= 0) {
            close(fd);
        }
        std::string content;
        EXPECT_EQ(c.trusted, pkgfiles::ReadTrusted(path, content, why));
        EXPECT_EQ(c.trusted ? "x" : "", content);
    }
}

TEST(PackageFiles, FilesAreNamedFromTheExecutablesFolderNotTheWorkingDirectory)
{
    ScopedTempWorkDir package; // the executable's folder and, for now, the working one
    EXPECT_TRUE(pkgfiles::WorkingDirectoryIsPackage());
    EXPECT_EQ("./doRPM.sh", pkgfiles::Path("doRPM.sh"));
    EXPECT_EQ(package.path() + "/", pkgfiles::Directory());

    ASSERT_EQ(0, chdir("/"));
    EXPECT_FALSE(pkgfiles::WorkingDirectoryIsPackage());
    EXPECT_EQ(package.path() + "/doRPM.sh", pkgfiles::Path("doRPM.sh"));
    ASSERT_EQ(0, chdir(package.path().c_str()));
}

TEST(PackageFiles, ADescriptorThatIsNotARegularFileIsNotRead)
{
    ScopedTempWorkDir dir;
    ASSERT_EQ(0, mkfifo((dir.path() + "/fifo").c_str(), 0644));
    std::string content;
    std::string why;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pkgfiles::ReadTrusted(dir.path() + "/fifo", content, why));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(std::string::npos, why.find("not a regular file")) << why;
}

// The folder for the program's own state (run lock, journal): made private
// to root, or what is in the way named and left as it was.
TEST(PackageFiles, RootOnlyFolderIsMadeOrWhatIsInTheWayIsNamed)
{
    const struct {
        const char* name;
        // Arranges around dir/parent/state; dir/parent exists, 0755.
        std::function<void(const std::string& dir)> arrange;
        const char* why; // empty: the folder is usable
        bool needsRoot;
    } cases[] = {
        {"missing", [](const std::string&) {}, "", false},
        {"missing with its parent", [](const std::string& d) { fs::remove(d + "/parent"); }, "",
         false},
        {"root's, readable by all",
         [](const std::string& d) { ASSERT_EQ(0, mkdir((d + "/parent/state").c_str(), 0755)); }, "",
         false},
        {"in a sticky folder everyone may write",
         [](const std::string& d) { chmod((d + "/parent").c_str(), 01777); }, "", false},
        {"another user's",
         [](const std::string& d) {
             ASSERT_EQ(0, mkdir((d + "/parent/state").c_str(), 0700));
             ASSERT_EQ(0, chown((d + "/parent/state").c_str(), kNobody, 0));
         },
         "/parent/state is not owned by root", true},
        {"a symbolic link to root's folder",
         [](const std::string& d) {
             ASSERT_EQ(0, mkdir((d + "/elsewhere").c_str(), 0700));
             fs::create_directory_symlink(d + "/elsewhere", d + "/parent/state");
         },
         "/parent/state is a symbolic link", false},
        {"a file",
         [](const std::string& d) {
             ASSERT_EQ(0, close(creat((d + "/parent/state").c_str(), 0600)));
         },
         "/parent/state is not a directory", false},
        {"in a folder others may write",
         [](const std::string& d) { chmod((d + "/parent").c_str(), 0777); },
         "/parent is writable by group or others", false},
        {"in another user's folder",
         [](const std::string& d) { ASSERT_EQ(0, chown((d + "/parent").c_str(), kNobody, 0)); },
         "/parent is not owned by root", true},
        {"below a link",
         [](const std::string& d) {
             fs::rename(d + "/parent", d + "/real");
             fs::create_directory_symlink(d + "/real", d + "/parent");
         },
         "/parent is a symbolic link", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue; // only root can hand a folder to another user
        }
        ScopedTempWorkDir dir;
        ASSERT_EQ(0, mkdir((dir.path() + "/parent").c_str(), 0755));
        c.arrange(dir.path());
        const std::string folder = dir.path() + "/parent/state";
        const auto found = [&] {
            std::string seen;
            for (const std::string& path : {dir.path() + "/parent", folder}) {
                struct stat info = {};
                seen += lstat(path.c_str(), &info) != 0
                            ? std::string("none ")
                            : std::to_string(info.st_ino) + ":" + std::to_string(info.st_mode) +
                                  ":" + std::to_string(info.st_uid) + " ";
            }
            return seen;
        };
        const std::string before = found();

        std::string why;
        EXPECT_EQ(*c.why == '\0', pkgfiles::MakeRootOnlyFolder(folder, why));
        if (*c.why == '\0') {
            EXPECT_EQ("", why);
            struct stat info = {};
            ASSERT_EQ(0, lstat(folder.c_str(), &info));
            EXPECT_EQ(S_IFDIR | 0700u, info.st_mode & (S_IFMT | 07777));
            EXPECT_EQ(geteuid(), info.st_uid);
            continue;
        }
        EXPECT_EQ(dir.path() + c.why, why);
        EXPECT_EQ(before, found()) << "left as it was found";
    }
    std::string why;
    EXPECT_FALSE(pkgfiles::MakeRootOnlyFolder("run/lumoswitch", why));
    EXPECT_NE(std::string::npos, why.find("not an absolute path")) << why;
}

// What another user may have put at the name of a log in the working
// directory; none of it is written through, or written into.
TEST(SafeLogStream, LinksFifosAndHardLinksAreNotWrittenThrough)
{
    ScopedTempWorkDir dir;
    dir.write("victim", "precious\n");
    const std::string victim = dir.path() + "/victim";
    struct Case {
        const char* name;
        std::function<void(const std::string& log)> arrange;
        const char* told; // on standard error
    };
    const Case cases[] = {
        {"symbolic link", [&](const std::string& log) { fs::create_symlink(victim, log); },
         "it is a symbolic link"},
        {"hard link", [&](const std::string& log) { fs::create_hard_link(victim, log); },
         "it has other names (hard links)"},
        {"FIFO", [](const std::string& log) { ASSERT_EQ(0, mkfifo(log.c_str(), 0666)); }, ""},
        {"another user's file",
         [](const std::string& log) {
             std::ofstream(log) << "precious\n";
             ASSERT_EQ(0, chown(log.c_str(), kNobody, kNobody));
         },
         "it is not owned by root"},
        {"a file others may write",
         [](const std::string& log) {
             std::ofstream(log) << "precious\n";
             ASSERT_EQ(0, chmod(log.c_str(), 0666));
         },
         "it is writable by group or others"},
    };
    unsigned logs = 0;
    for (const Case& c : cases) {
        for (std::ios::openmode mode :
             {std::ios::out | std::ios::trunc, std::ios::out | std::ios::app}) {
            SCOPED_TRACE(c.name);
            if (geteuid() != 0 && std::string(c.name) == "another user's file") {
                continue; // only root can hand a file to another user
            }
            // A name of its own: the refusal of each name is told once.
            const std::string log = dir.path() + "/debug" + std::to_string(++logs) + ".log";
            c.arrange(log);
            ::testing::internal::CaptureStderr();
            CSafeLogStream stream;
            stream.open(log, mode);
            const std::string told = ::testing::internal::GetCapturedStderr();
            EXPECT_FALSE(stream.is_open());
            EXPECT_TRUE(stream.fail());
            stream << "forged line\n";
            stream.flush();
            EXPECT_EQ("precious\n", readFile(victim));
            if (fs::is_regular_file(fs::symlink_status(log))) {
                EXPECT_EQ("precious\n", readFile(log));
            }
            // One line says why a file found there was left alone.
            EXPECT_EQ(*c.told == '\0' ? ""
                                      : "lumoswitch: " + log + " is not written: " + c.told + "\n",
                      told);
        }
    }
}

TEST(SafeLogStream, WritesAppendOrStartAfreshAndAreNotInheritedByChildren)
{
    ScopedTempWorkDir dir;
    dir.write("debug.log", "old\n");
    const std::string log = dir.path() + "/debug.log";
    {
        CSafeLogStream stream;
        stream.open(log, std::ios::out | std::ios::app);
        ASSERT_TRUE(stream.is_open());
        stream << "one " << 1 << "\n";
        stream.flush();
        EXPECT_EQ("old\none 1\n", readFile(log));
    }
    CSafeLogStream stream;
    stream.open(log, std::ios::out | std::ios::trunc);
    ASSERT_TRUE(stream.is_open());
    stream << "new\n";
    stream.flush();
    EXPECT_EQ("new\n", readFile(log));
    // A child sees none of the program's log descriptors.
    std::string fds;
    ASSERT_TRUE(shell::Capture("ls -l /proc/self/fd/", 65536, fds));
    EXPECT_EQ(std::string::npos, fds.find(log)) << fds;
    stream.close();
    EXPECT_FALSE(stream.fail());
}

TEST(Shell, ChildrenFindToolsOnTheSystemsPathWhateverThePrograms)
{
    ScopedTempWorkDir dir;
    // A tool of another user's, first on the PATH the program was given.
    dir.write("lumo_probe_tool", "#!/bin/sh\ntouch " + dir.path() + "/ran\n");
    chmod((dir.path() + "/lumo_probe_tool").c_str(), 0755);
    const char* before = std::getenv("PATH");
    const std::string original = before != nullptr ? before : "";
    setenv("PATH", (dir.path() + ":" + original).c_str(), 1);

    const int status = shell::Run("lumo_probe_tool > /dev/null 2>&1");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(127, WEXITSTATUS(status));
    EXPECT_FALSE(fs::exists(dir.path() + "/ran"));

    std::string path;
    EXPECT_TRUE(shell::Capture("printf %s \"$PATH\"", 1024, path));
    EXPECT_EQ("/usr/sbin:/usr/bin:/sbin:/bin", path);
    // The program's own environment is left as it was.
    EXPECT_EQ(dir.path() + ":" + original, std::getenv("PATH"));
    setenv("PATH", original.c_str(), 1);

    EXPECT_EQ(3, WEXITSTATUS(shell::Run("exit 3")));
    std::string cut;
    EXPECT_TRUE(shell::Capture("yes | head -c 100000", 10, cut));
    EXPECT_EQ("y\ny\ny\ny\ny\n", cut);
}

TEST(StringUtils, ControlBytesFromADeviceCannotStartALogLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {"SW1ABC123", "SW1ABC123"},
        {"SW1\n[2026-01-01T00:00:00] : forged", "SW1\\x0A[2026-01-01T00:00:00] : forged"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\r\t\x1b[2J\x7f", "\\x0D\\x09\\x1B[2J\\x7F"},
        {"caf\xc3\xa9 model", "caf\xc3\xa9 model"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, CStringUtils::escapeControl(c.first));
    }
}

} // namespace
