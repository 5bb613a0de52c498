// Recording IPMI device: preloaded into the program, it hands every call on
// the IPMI device to the next definition (the C library, or another preload
// such as the simulated device) untouched, and appends a transcript line for
// each open, request, reply, wait and close.
//
// Shell children inherit LD_PRELOAD, so nothing happens before the process
// touches a device path: no constructors, no dynamic initialisation, and the
// transcript is opened at the first device open.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "Transcript.h"
#include "Writer.h"

namespace
{

using lumorecord::Line;
using lumorecord::Writer;

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using PollFn = int (*)(struct pollfd*, nfds_t, int);
using PpollFn = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);

template <typename F> F resolve(F* cache, const char* name)
{
    F f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

#define NEXT(type, name)                                                                           \
    ([]() {                                                                                        \
        static type cache_;                                                                        \
        return resolve(&cache_, #name);                                                            \
    }())

// Descriptors of the device this process holds open.
constexpr int kMaxFds = 32;
std::atomic<int> gFds[kMaxFds];
std::atomic<int> gOpen{0};
std::atomic<bool> gWarned{false};

bool isDevicePath(const char* path)
{
    return path != nullptr && std::strncmp(path, "/dev/ipmi", 9) == 0;
}

bool tracked(int fd)
{
    if (fd < 0 || gOpen.load(std::memory_order_relaxed) == 0)
        return false;
    for (auto& slot : gFds) {
        if (slot.load() == fd + 1)
            return true;
    }
    return false;
}

void track(int fd)
{
    for (auto& slot : gFds) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1)) {
            gOpen.fetch_add(1);
            return;
        }
    }
}

void untrack(int fd)
{
    for (auto& slot : gFds) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0)) {
            gOpen.fetch_sub(1);
            return;
        }
    }
}

void emit(Line& line)
{
    Writer* w = Writer::Get();
    if (w != nullptr) {
        w->append(line);
        return;
    }
    if (!gWarned.exchange(true))
        std::fprintf(stderr, "lumoswitch recorder: not recording: %s\n", Writer::Reason());
}

// Records the open of a device path; the result and errno reach the caller
// unchanged.
int recordOpen(const char* path, int fd)
{
    const int err = errno;
    if (fd >= 0)
        track(fd);
    Line l;
    l.add("b", "ipmi").add("ev", "open").add("path", path).add("ok", fd >= 0 ? 1 : 0);
    l.add("errno", fd >= 0 ? 0 : err);
    emit(l);
    errno = err;
    return fd;
}

void addAddr(Line& l, const unsigned char* addr, unsigned len)
{
    if (addr == nullptr) {
        l.add("addr", "");
        return;
    }
    if (len > sizeof(struct ipmi_addr))
        len = sizeof(struct ipmi_addr);
    l.addHex("addr", addr, len);
}

int recordIoctl(int fd, unsigned long request, void* arg)
{
    const int rc = NEXT(IoctlFn, ioctl)(fd, request, arg);
    const int err = errno;
    Line l;
    l.add("b", "ipmi");
    if ((request == IPMICTL_SEND_COMMAND || request == IPMICTL_SEND_COMMAND_SETTIME) &&
        arg != nullptr) {
        const struct ipmi_req* req = static_cast<const struct ipmi_req*>(arg);
        l.add("ev", "send").add("msgid", static_cast<int64_t>(req->msgid));
        addAddr(l, req->addr, req->addr_len);
        l.add("netfn", req->msg.netfn).add("cmd", req->msg.cmd);
        if (req->msg.data != nullptr && req->msg.data_len <= IPMI_MAX_MSG_LENGTH)
            l.addHex("data", req->msg.data, req->msg.data_len);
        else
            l.add("data", "").add("data_len", req->msg.data_len);
    } else if ((request == IPMICTL_RECEIVE_MSG_TRUNC || request == IPMICTL_RECEIVE_MSG) &&
               arg != nullptr) {
        // An empty queue is a matter of timing, not of the device's answer.
        if (rc < 0 && err == EAGAIN) {
            errno = err;
            return rc;
        }
        const struct ipmi_recv* rsp = static_cast<const struct ipmi_recv*>(arg);
        l.add("ev", "recv").add("trunc", request == IPMICTL_RECEIVE_MSG_TRUNC ? 1 : 0);
        if (rc == 0 || err == EMSGSIZE) {
            l.add("recv_type", rsp->recv_type).add("msgid", static_cast<int64_t>(rsp->msgid));
            addAddr(l, rsp->addr, rsp->addr_len);
            l.add("netfn", rsp->msg.netfn).add("cmd", rsp->msg.cmd);
            if (rsp->msg.data != nullptr && rsp->msg.data_len <= IPMI_MAX_MSG_LENGTH + 1)
                l.addHex("data", rsp->msg.data, rsp->msg.data_len);
        }
    } else {
        l.add("ev", "ioctl").add("request", static_cast<int64_t>(request));
    }
    l.add("rc", rc).add("errno", rc < 0 ? err : 0);
    emit(l);
    errno = err;
    return rc;
}

int firstDevice(const struct pollfd* fds, nfds_t n)
{
    if (fds == nullptr || gOpen.load(std::memory_order_relaxed) == 0)
        return -1;
    for (nfds_t i = 0; i < n; ++i) {
        if (tracked(fds[i].fd))
            return static_cast<int>(i);
    }
    return -1;
}

void recordWait(int64_t timeoutUs, int rc, int err, short revents)
{
    Line l;
    l.add("b", "ipmi").add("ev", "wait").add("timeout_us", timeoutUs).add("rc", rc);
    l.add("errno", rc < 0 ? err : 0).add("revents", revents);
    emit(l);
}

mode_t modeArg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    const int fd = NEXT(OpenFn, open)(path, flags, mode);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    const int fd = NEXT(OpenFn, open64)(path, flags, mode);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    const int fd = NEXT(OpenatFn, openat)(dirfd, path, flags, mode);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    const int fd = NEXT(OpenatFn, openat64)(dirfd, path, flags, mode);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int __open_2(const char* path, int flags)
{
    const int fd = NEXT(Open2Fn, __open_2)(path, flags);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int __open64_2(const char* path, int flags)
{
    const int fd = NEXT(Open2Fn, __open64_2)(path, flags);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int __openat_2(int dirfd, const char* path, int flags)
{
    const int fd = NEXT(Openat2Fn, __openat_2)(dirfd, path, flags);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    const int fd = NEXT(Openat2Fn, __openat64_2)(dirfd, path, flags);
    return isDevicePath(path) ? recordOpen(path, fd) : fd;
}

int close(int fd)
{
    if (!tracked(fd))
        return NEXT(CloseFn, close)(fd);
    untrack(fd);
    const int rc = NEXT(CloseFn, close)(fd);
    const int err = errno;
    Line l;
    l.add("b", "ipmi").add("ev", "close").add("rc", rc).add("errno", rc < 0 ? err : 0);
    emit(l);
    errno = err;
    return rc;
}

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (tracked(fd))
        return recordIoctl(fd, request, arg);
    return NEXT(IoctlFn, ioctl)(fd, request, arg);
}

// The C library declares the poll array write-only, which it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* ts, const sigset_t* mask)
{
    const int dev = firstDevice(fds, n);
    const int rc = NEXT(PpollFn, ppoll)(fds, n, ts, mask);
    if (dev < 0)
        return rc;
    const int err = errno;
    const int64_t timeout =
        ts == nullptr ? -1 : static_cast<int64_t>(ts->tv_sec) * 1000000 + ts->tv_nsec / 1000;
    recordWait(timeout, rc, err, rc > 0 ? fds[dev].revents : 0);
    errno = err;
    return rc;
}

int poll(struct pollfd* fds, nfds_t n, int timeoutMs)
{
    const int dev = firstDevice(fds, n);
    const int rc = NEXT(PollFn, poll)(fds, n, timeoutMs);
    if (dev < 0)
        return rc;
    const int err = errno;
    recordWait(timeoutMs < 0 ? -1 : static_cast<int64_t>(timeoutMs) * 1000, rc, err,
               rc > 0 ? fds[dev].revents : 0);
    errno = err;
    return rc;
}

#pragma GCC diagnostic pop

} // extern "C"
