#include "ScalSeams.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>

#include "Interruption.h"
#include "PackageFiles.h"
#include "PlatformLayer.h"
#include "Shell.h"
#include "VEXIPMIInterfaceImpl.h"

namespace
{

class RealIPMILibrary : public IScalIPMILibrary
{
public:
    unsigned Start(_VEXIPMIConfiguration* configuration) override
    {
        m_front.reset(new (std::nothrow) VEXIPMIInterfaceImpl());
        if (!m_front) {
            return 257;
        }
        return m_front->Initialize(configuration);
    }
    unsigned Request(_VEXIPMICommandData* record) override
    {
        return m_front ? m_front->IPMIRequest(record) : 257;
    }
    void Stop() override
    {
        if (m_front) {
            m_front->Release();
            m_front.reset();
        }
    }
    bool IsStarted() const override { return static_cast<bool>(m_front); }

private:
    std::unique_ptr<VEXIPMIInterfaceImpl> m_front;
};

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

class RealHost : public IScalHost
{
public:
    int RunShell(const std::string& command) override { return shell::Run(command); }

    bool RunCapture(const std::string& command, std::size_t maxBytes, std::string& output) override
    {
        return shell::Capture(command, maxBytes, output);
    }

    bool PathExists(const std::string& path) override
    {
        struct stat info;
        return stat(path.c_str(), &info) == 0;
    }

    bool IsExecutable(const std::string& path) override { return access(path.c_str(), X_OK) == 0; }

    bool ReadFile(const std::string& path, std::string& content) override
    {
        content.clear();
        std::ifstream in(path, std::ios::in | std::ios::binary);
        if (!in.is_open()) {
            return false;
        }
        std::ostringstream text;
        text << in.rdbuf();
        content = text.str();
        return true;
    }

    int Unlink(const std::string& path) override { return unlink(path.c_str()) == 0 ? 0 : errno; }

    bool ReadPackageFile(const std::string& name, std::string& content) override
    {
        const std::string path = pkgfiles::Directory() + name;
        std::string why;
        if (pkgfiles::ReadTrusted(path, content, why)) {
            return true;
        }
        if (why != pkgfiles::kWhyMissing) {
            pkgfiles::ReportRefusal(path, why);
        }
        return false;
    }

    bool LStat(const std::string& path, struct stat& info) override
    {
        return lstat(WithoutTrailingSlash(path).c_str(), &info) == 0;
    }

    int CreateNewFile(const std::string& path, const std::string& content, unsigned mode) override
    {
        const int fd =
            open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return errno;
        }
        int error = 0;
        std::size_t done = 0;
        while (error == 0 && done < content.size()) {
            const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
            if (wrote < 0 && errno != EINTR) {
                error = errno;
            } else if (wrote > 0) {
                done += static_cast<std::size_t>(wrote);
            }
        }
        if (error == 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            error = errno;
        }
        if (close(fd) != 0 && error == 0) {
            error = errno;
        }
        if (error != 0) {
            unlink(path.c_str());
        }
        return error;
    }

    int Unmount(const std::string& directory) override
    {
        return umount2(directory.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
    }

    bool IsMountPoint(const std::string& directory) override
    {
        const std::string path = WithoutTrailingSlash(directory);
        struct statx self = {};
        if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &self) != 0) {
            return false;
        }
        if ((self.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
            (self.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
            return true;
        }
        struct stat parent;
        const std::size_t slash = path.rfind('/');
        const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
        if (slash == std::string::npos || lstat(parentPath.c_str(), &parent) != 0) {
            // Nothing to compare with: count it as mounted, so nothing is removed.
            return true;
        }
        return makedev(self.stx_dev_major, self.stx_dev_minor) != parent.st_dev;
    }

    bool BecomeRoot() override { return setuid(0) == 0; }

    bool KernelName(std::string& name) override
    {
        struct utsname info;
        if (uname(&info) != 0) {
            return false;
        }
        name = info.sysname;
        return true;
    }

    void Sync() override { sync(); }

    bool IgnoreInterruptSignal() override
    {
        struct sigaction action = {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        return sigaction(SIGINT, &action, nullptr) == 0;
    }

    void UnloadUSB() override { CPlatformLayer::unloadUSB(); }
};

class RealSleeper : public IScalSleeper
{
public:
    // A termination signal ends a retry pause at once; see Interruption.h.
    void SleepSeconds(unsigned seconds) override { interruption::SleepUnlessStopped(seconds); }
};

RealIPMILibrary& RealIPMI()
{
    static RealIPMILibrary* library = new RealIPMILibrary();
    return *library;
}

RealHost gRealHost;
RealSleeper gRealSleeper;

ScalSeams& Current()
{
    static ScalSeams seams{&RealIPMI(), &gRealHost, &gRealSleeper, &NullProgress()};
    return seams;
}

} // namespace

IScalIPMILibrary& ScalIPMI()
{
    return *Current().ipmi;
}

IScalHost& ScalHost()
{
    return *Current().host;
}

IScalSleeper& ScalSleeper()
{
    return *Current().sleeper;
}

IProgressSink& ScalProgress()
{
    return *Current().progress;
}

ScalSeams SetScalSeams(const ScalSeams& seams)
{
    ScalSeams previous = Current();
    Current().ipmi = seams.ipmi != nullptr ? seams.ipmi : &RealIPMI();
    Current().host = seams.host != nullptr ? seams.host : &gRealHost;
    Current().sleeper = seams.sleeper != nullptr ? seams.sleeper : &gRealSleeper;
    Current().progress = seams.progress != nullptr ? seams.progress : &NullProgress();
    return previous;
}
