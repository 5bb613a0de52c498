#include "ScalSeams.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
#include "PackageTrust.h"
#include "PlatformLayer.h"
#include "Shell.h"
#include "VEXEnvironmentInfo.h"
#include "VEXIO.h"
#include "VEXIPMIInterfaceImpl.h"

namespace
{

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

} // namespace

RealScalIPMILibrary::RealScalIPMILibrary() = default;
RealScalIPMILibrary::~RealScalIPMILibrary() = default;

unsigned RealScalIPMILibrary::Start(_VEXIPMIConfiguration* configuration)
{
    m_front.reset(new (std::nothrow) VEXIPMIInterfaceImpl());
    if (!m_front) {
        return 257;
    }
    return m_front->Initialize(configuration);
}

unsigned RealScalIPMILibrary::Request(_VEXIPMICommandData* record)
{
    return m_front ? m_front->IPMIRequest(record) : 257;
}

void RealScalIPMILibrary::Stop()
{
    if (m_front) {
        m_front->Release();
        m_front.reset();
    }
}

bool RealScalIPMILibrary::IsStarted() const
{
    return static_cast<bool>(m_front);
}

int RealScalHost::RunShell(const std::string& command)
{
    return shell::Run(command);
}

bool RealScalHost::RunCapture(const std::string& command, std::size_t maxBytes, std::string& output)
{
    return shell::Capture(command, maxBytes, output);
}

bool RealScalHost::PathExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool RealScalHost::IsExecutable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

bool RealScalHost::ReadFile(const std::string& path, std::string& content)
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

int RealScalHost::Unlink(const std::string& path)
{
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

bool RealScalHost::ReadPackageFile(const std::string& name, std::string& content)
{
    const std::string path = pkgfiles::Directory() + name;
    std::string why;
    if (pkgfiles::ReadTrusted(path, content, why)) {
        // The bytes read are the ones checked and then used.
        why = pkgtrust::Check(name, content.data(), content.size());
        if (why.empty()) {
            return true;
        }
        content.clear();
        pkgtrust::ReportRefusal(path, why);
        return false;
    }
    if (why != pkgfiles::kWhyMissing) {
        pkgfiles::ReportRefusal(path, why);
    }
    return false;
}

bool RealScalHost::LStat(const std::string& path, struct stat& info)
{
    return lstat(WithoutTrailingSlash(path).c_str(), &info) == 0;
}

int RealScalHost::CreateNewFile(const std::string& path, const std::string& content, unsigned mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (VEXWriteAll(fd, content.data(), content.size()) != content.size()) {
        // A file that takes no more bytes without saying why is full.
        error = errno != 0 ? errno : ENOSPC;
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

int RealScalHost::Unmount(const std::string& directory)
{
    return umount2(directory.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

bool RealScalHost::IsMountPoint(const std::string& directory)
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

bool RealScalHost::BecomeRoot()
{
    return setuid(0) == 0;
}

bool RealScalHost::KernelName(std::string& name)
{
    return VEXKernelName(name);
}

void RealScalHost::Sync()
{
    sync();
}

bool RealScalHost::IgnoreInterruptSignal()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr) == 0;
}

void RealScalHost::UnloadUSB()
{
    CPlatformLayer::unloadUSB();
}

void RealScalSleeper::SleepSeconds(unsigned seconds)
{
    interruption::SleepUnlessStopped(seconds);
}

std::shared_ptr<IProgressSink> BorrowedProgress(IProgressSink& sink)
{
    // Shares no ownership: the aliasing constructor with an empty owner.
    return std::shared_ptr<IProgressSink>(std::shared_ptr<IProgressSink>(), &sink);
}

namespace
{

// Never destroyed: a front still open at exit is not torn down behind the
// back of whatever static state it uses.
OEMCommandSeams& CurrentCommandSeams()
{
    static OEMCommandSeams* seams = new OEMCommandSeams();
    return *seams;
}

} // namespace

OEMCommandSeams SetOEMCommandSeams(OEMCommandSeams seams)
{
    OEMCommandSeams previous = CurrentCommandSeams();
    if (!seams.ipmi) {
        seams.ipmi = std::make_shared<RealScalIPMILibrary>();
    }
    if (!seams.sleeper) {
        seams.sleeper = std::make_shared<RealScalSleeper>();
    }
    CurrentCommandSeams() = std::move(seams);
    return previous;
}

IScalIPMILibrary& OEMCommandIPMI()
{
    return *CurrentCommandSeams().ipmi;
}

IScalSleeper& OEMCommandSleeper()
{
    return *CurrentCommandSeams().sleeper;
}
