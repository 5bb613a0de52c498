#include "VEXIPMISys.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Shell.h"

int RealVEXIPMISys::Open(const char* path, int flags)
{
    return ::open(path, flags);
}

int RealVEXIPMISys::Ioctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

// ppoll rather than select: select cannot watch a descriptor above
// FD_SETSIZE, which a long-running process with many files can reach.
int RealVEXIPMISys::WaitReadable(int fd, long seconds, long microseconds)
{
    struct pollfd pfd = {};
    pfd.fd = fd;
    pfd.events = POLLIN;
    struct timespec timeout = {};
    timeout.tv_sec = seconds;
    timeout.tv_nsec = microseconds * 1000L;
    struct timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    int rc = ::ppoll(&pfd, 1, &timeout, nullptr);
    // A signal the program only notes must not cost a wait for the reply:
    // wait out the rest of the time.
    while (rc < 0 && errno == EINTR) {
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waitedNs =
            (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
        const long long leftNs = seconds * 1000000000LL + microseconds * 1000LL - waitedNs;
        if (leftNs <= 0) {
            return 0;
        }
        struct timespec left = {};
        left.tv_sec = static_cast<time_t>(leftNs / 1000000000LL);
        left.tv_nsec = static_cast<long>(leftNs % 1000000000LL);
        rc = ::ppoll(&pfd, 1, &left, nullptr);
    }
    if (rc > 0 && (pfd.revents & (POLLERR | POLLNVAL)) && !(pfd.revents & POLLIN)) {
        errno = EIO;
        return -1;
    }
    return rc;
}

int RealVEXIPMISys::Close(int fd)
{
    return ::close(fd);
}

// Driver commands find modprobe and lsmod in the system's folders only.
int RealVEXIPMISys::RunShell(const std::string& command)
{
    return shell::Run(command);
}

void RealVEXIPMISys::SleepMs(uint64_t milliseconds)
{
    sleep_in_ms(milliseconds);
}

void sleep_in_ms(uint64_t milliseconds)
{
    struct timespec request = {};
    request.tv_sec = static_cast<time_t>(milliseconds / 1000);
    request.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000UL);
    struct timespec remaining = {};
    // A signal must not cut a retry pause short.
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

namespace
{
std::shared_ptr<IVEXIPMISys>& Installed()
{
    static std::shared_ptr<IVEXIPMISys> sys = std::make_shared<RealVEXIPMISys>();
    return sys;
}
} // namespace

std::shared_ptr<IVEXIPMISys> VEXIPMISys()
{
    return Installed();
}

std::shared_ptr<IVEXIPMISys> SetVEXIPMISeams(std::shared_ptr<IVEXIPMISys> sys)
{
    std::shared_ptr<IVEXIPMISys> previous = Installed();
    Installed() = sys ? std::move(sys) : std::make_shared<RealVEXIPMISys>();
    return previous;
}
