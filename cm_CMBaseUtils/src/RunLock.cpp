#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "PackageFiles.h"

namespace
{

const char kLockName[] = "lumoswitch.lock";
const int kOpenFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

CRunLock::CRunLock(std::string folder)
    : m_folder(std::move(folder)), m_path(m_folder + "/" + kLockName)
{
}

CRunLock::~CRunLock()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int CRunLock::openOwnFile(std::string& detail)
{
    if (!pkgfiles::MakeRootOnlyFolder(m_folder, detail)) {
        return -1;
    }
    const int fd = ::open(m_path.c_str(), kOpenFlags | O_CREAT, 0600);
    if (fd < 0) {
        detail = Reason("cannot open " + m_path);
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1) {
        ::close(fd);
        detail = m_path + " is not a regular file of root's with a single name";
        return -1;
    }
    return fd;
}

CRunLock::EResult CRunLock::acquire(std::string& detail)
{
    detail.clear();
    const int fd = openOwnFile(detail);
    if (fd < 0) {
        return EResult::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            detail = Reason("cannot lock " + m_path);
            ::close(fd);
            return EResult::Failed;
        }
        // The holder writes its number just after locking: give it a moment.
        char text[32] = {};
        ssize_t n = 0;
        for (int look = 0; look < 10; ++look) {
            n = ::pread(fd, text, sizeof(text) - 1, 0);
            if (n != 0) {
                break;
            }
            const struct timespec pause = {0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        ::close(fd);
        for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
            detail += text[i];
        }
        return EResult::Held;
    }
    // Should this fail, the lock is held all the same; only a refused run's
    // message lacks the number.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
        (void)written;
    }
    m_fd = fd;
    return EResult::Acquired;
}
