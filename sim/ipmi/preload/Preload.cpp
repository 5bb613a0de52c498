// LD_PRELOAD stand-in for the Linux IPMI device: opens of the device paths get
// an eventfd, the IPMI ioctls go to the simulated controller, and the eventfd
// turns readable when a reply is queued, so select and poll need no help.
// Optionally the waits on the device run on the virtual clock
// (VirtualClock.h), which also serves the process's sleeps and clock reads.
//
// Shell children inherit LD_PRELOAD, so nothing here runs before the process
// touches an IPMI device path: no constructors, no global objects with dynamic
// initialisation, no output on the standard streams, and the request log is
// truncated only by the first process of a run (later ones append).
#include "Controller.h"
#include "RealFunctions.h"
#include "Replay.h"
#include "VirtualClock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>
#include <vector>

namespace
{

using namespace simipmi::preload;

// ---- device state ----------------------------------------------------------

const char* const kDevicePaths[] = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};

bool isDevicePath(const char* path)
{
    if (path == nullptr)
        return false;
    for (const char* p : kDevicePaths) {
        if (std::strcmp(path, p) == 0)
            return true;
    }
    return false;
}

struct Message {
    long msgid = 0;
    uint8_t netfn = 0;
    uint8_t cmd = 0;
    uint8_t lun = 0;
    std::vector<uint8_t> data; // completion code, then the reply data
};

struct Device {
    uint64_t id = 0;
    int fd = -1;
    std::vector<Message> ready; // oldest first
    // Replay: replies the program saw only after some of its waits had timed
    // out, each with the number of timeouts still to come.
    std::vector<std::pair<unsigned, Message>> held;
};

struct Delayed {
    uint64_t deviceId;
    int64_t dueNs;
    std::vector<Message> messages;
};

// Everything below is zero- or constant-initialised; the containers are
// created by the first process that opens a device path.
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gWake;
simipmi::Controller* gController = nullptr;
std::map<int, Device>* gDevices = nullptr;
std::vector<Delayed>* gDelayed = nullptr;
std::atomic<int> gOpenDevices{0};
// SIMIPMI_REPLAY: answers come from a transcript instead of the controller.
simipmi::Replay* gReplay = nullptr;
const char* gReplayLog = nullptr;
const char* gReplayState = nullptr;
uint64_t gNextDeviceId = 1;
bool gThreadStarted = false;

// SIMIPMI_DRIVER_TIMEOUT_MS: after this long a request the controller left
// unanswered gets completion code C3, as behind the real driver (0: never).
std::atomic<unsigned> gDriverTimeoutMs{0};

class Lock
{
public:
    Lock() { pthread_mutex_lock(&gLock); }
    ~Lock() { pthread_mutex_unlock(&gLock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

void truncateFile(const char* path)
{
    int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0)
        REAL(close)(fd);
}

// A child made by fork() has none of the parent's threads: whatever the
// delivery thread held or was about to deliver is gone with it.
void afterForkInChild()
{
    pthread_mutex_init(&gLock, nullptr);
    gThreadStarted = false;
    if (gDelayed != nullptr)
        gDelayed->clear();
}

// Called with gLock held.
simipmi::Controller* controller()
{
    if (gController != nullptr)
        return gController;
    const char* script = std::getenv("SIMIPMI_SCRIPT");
    const char* log = std::getenv("SIMIPMI_LOG");
    const char* state = std::getenv("SIMIPMI_STATE");
    const char* scale = std::getenv("SIMIPMI_TIME_SCALE");
    const char* driverTimeout = std::getenv("SIMIPMI_DRIVER_TIMEOUT_MS");
    // The first process of a run starts a fresh log; processes it starts that
    // open the device too append to it.
    bool fresh =
        std::getenv("SIMIPMI_LOG_APPEND") == nullptr && std::getenv("SIMIPMI_STARTED") == nullptr;
    if (fresh && log != nullptr && *log != '\0')
        truncateFile(log);
    setenv("SIMIPMI_STARTED", "1", 1);
    if (scale != nullptr) {
        double s = std::strtod(scale, nullptr);
        if (s > 1.0)
            setTimeScale(s);
    }
    if (driverTimeout != nullptr)
        gDriverTimeoutMs.store(
            static_cast<unsigned>(std::min(std::strtoul(driverTimeout, nullptr, 10), 3600000UL)));
    const char* replay = std::getenv("SIMIPMI_REPLAY");
    if (replay != nullptr && *replay != '\0') {
        // The controller stays idle: it neither logs nor keeps a state file.
        gReplay = new simipmi::Replay(replay);
        gReplayLog = log;
        gReplayState = state;
        gController = new simipmi::Controller("", "");
    } else {
        gController = new simipmi::Controller(script ? script : "", log ? log : "");
        if (!gController->scriptError().empty()) {
            // A test whose script went missing would otherwise just see "no
            // device" and fail far from the cause: say it where the test looks.
            std::string line = "simipmi: " + gController->scriptError() +
                               "; every IPMI device open fails with ENOENT\n";
            ssize_t n = write(STDERR_FILENO, line.data(), line.size());
            (void)n;
        }
        if (state != nullptr && *state != '\0') {
            // The controller outlives the process: the next one finds the
            // session, the flag and the partitions as the last one left them.
            const char* persist = std::getenv("SIMIPMI_PERSIST");
            if (persist != nullptr && *persist != '\0')
                gController->resumeFrom(state);
            gController->setStatePath(state);
        }
    }
    gDevices = new std::map<int, Device>();
    gDelayed = new std::vector<Delayed>();
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&gWake, &attr);
    pthread_condattr_destroy(&attr);
    pthread_atfork(nullptr, nullptr, afterForkInChild);
    return gController;
}

// Called with gLock held.
Device* findDevice(int fd)
{
    if (gDevices == nullptr)
        return nullptr;
    auto it = gDevices->find(fd);
    return it == gDevices->end() ? nullptr : &it->second;
}

bool isDeviceFd(int fd)
{
    if (fd < 0 || gOpenDevices.load(std::memory_order_relaxed) == 0)
        return false;
    Lock lock;
    return findDevice(fd) != nullptr;
}

// Called with gLock held.
void makeReady(Device& dev, std::vector<Message>& messages)
{
    for (Message& m : messages) {
        dev.ready.push_back(std::move(m));
        uint64_t one = 1;
        ssize_t n = write(dev.fd, &one, sizeof one);
        (void)n;
    }
}

void* deliveryThread(void*)
{
    Lock lock;
    for (;;) {
        if (gDelayed->empty()) {
            pthread_cond_wait(&gWake, &gLock);
            continue;
        }
        auto next =
            std::min_element(gDelayed->begin(), gDelayed->end(),
                             [](const Delayed& a, const Delayed& b) { return a.dueNs < b.dueNs; });
        if (next->dueNs > monotonicNs()) {
            struct timespec due = nsToTs(next->dueNs);
            pthread_cond_timedwait(&gWake, &gLock, &due);
            continue;
        }
        Delayed item = std::move(*next);
        gDelayed->erase(next);
        for (auto& entry : *gDevices) {
            if (entry.second.id == item.deviceId) {
                makeReady(entry.second, item.messages);
                break;
            }
        }
    }
    return nullptr;
}

// Called with gLock held.
void schedule(const Device& dev, std::vector<Message> messages, unsigned delayMs)
{
    double scale = activeScale();
    int64_t waitNs = static_cast<int64_t>(delayMs) * 1000000;
    if (scale > 1.0)
        waitNs = static_cast<int64_t>(static_cast<double>(waitNs) / scale);
    gDelayed->push_back(Delayed{dev.id, monotonicNs() + waitNs, std::move(messages)});
    if (!gThreadStarted) {
        pthread_t t;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&t, &attr, deliveryThread, nullptr) == 0)
            gThreadStarted = true;
        pthread_attr_destroy(&attr);
    }
    pthread_cond_signal(&gWake);
}

void writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Called with gLock held: the replay's log lines, its first divergence on
// standard error (the one place this preload writes there: a replay that
// diverged must not pass unnoticed) and its state file.
void flushReplay()
{
    const std::string lines = gReplay->takeLog();
    if (!lines.empty() && gReplayLog != nullptr && *gReplayLog != '\0') {
        int fd = REAL(open)(gReplayLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAll(fd, lines);
            REAL(close)(fd);
        }
    }
    const std::string report = gReplay->takeReport();
    if (!report.empty())
        writeAll(2, "ipmi replay: " + report + "\n");
    if (gReplayState != nullptr && *gReplayState != '\0') {
        const std::string tmp = std::string(gReplayState) + ".tmp";
        int fd = REAL(open)(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAll(fd, gReplay->stateText());
            REAL(close)(fd);
            rename(tmp.c_str(), gReplayState);
        }
    }
}

// A device the program holds open: an eventfd it can wait on, with its own
// queue of replies. Called with the lock held.
int newDevice(int flags)
{
    int fd = eventfd(0, EFD_NONBLOCK | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    Device& dev = (*gDevices)[fd];
    dev = Device{};
    dev.id = gNextDeviceId++;
    dev.fd = fd;
    gOpenDevices.fetch_add(1);
    return fd;
}

int openDevice(const char* path, int flags)
{
    Lock lock;
    simipmi::Controller* c = controller();
    if (gReplay != nullptr) {
        int err = gReplay->open(path);
        flushReplay();
        if (err != 0) {
            errno = err;
            return -1;
        }
        return newDevice(flags);
    }
    const std::vector<std::string>& paths = c->devicePaths();
    bool exists = c->scriptError().empty() &&
                  std::find(paths.begin(), paths.end(), std::string(path)) != paths.end();
    c->noteOpen(path, exists);
    if (!exists) {
        errno = ENOENT;
        return -1;
    }
    return newDevice(flags);
}

void forgetDevice(int fd)
{
    if (gOpenDevices.load(std::memory_order_relaxed) == 0)
        return;
    Lock lock;
    Device* dev = findDevice(fd);
    if (dev == nullptr)
        return;
    uint64_t id = dev->id;
    if (gReplay != nullptr) {
        gReplay->close();
        flushReplay();
    }
    gDelayed->erase(std::remove_if(gDelayed->begin(), gDelayed->end(),
                                   [id](const Delayed& d) { return d.deviceId == id; }),
                    gDelayed->end());
    gDevices->erase(fd);
    gOpenDevices.fetch_sub(1);
}

// Called with gLock held: replies whose timeouts have all passed become ready.
void releaseHeld(Device& dev)
{
    std::vector<Message> out;
    while (!dev.held.empty() && dev.held.front().first == 0) {
        out.push_back(std::move(dev.held.front().second));
        dev.held.erase(dev.held.begin());
    }
    makeReady(dev, out);
}

// Called with gLock held. The recorded replies are ready at once, or after
// as many of the program's waits as timed out before them in the recording:
// timing is compressed, order and timeouts kept.
int replaySend(Device& dev, const struct ipmi_req* req)
{
    if (req->msg.data_len > 0 && req->msg.data == nullptr)
        return EFAULT;
    std::vector<uint8_t> addr(req->addr, req->addr + req->addr_len);
    std::vector<uint8_t> data(req->msg.data, req->msg.data + req->msg.data_len);
    std::vector<simipmi::ReplayReply> replies;
    int err = gReplay->send(req->msgid, addr, req->msg.netfn, req->msg.cmd, data, replies);
    flushReplay();
    if (err != 0)
        return err;
    for (simipmi::ReplayReply& r : replies) {
        Message m;
        m.msgid = r.msgid;
        m.netfn = r.netfn;
        m.cmd = r.cmd;
        m.lun = r.lun;
        m.data = std::move(r.data);
        dev.held.emplace_back(r.timeoutsBefore, std::move(m));
    }
    releaseHeld(dev);
    return 0;
}

// Called with gLock held: the replay's waits that time out as recorded.
// Returns true when this wait on the device must time out now.
bool replayTimeout(const struct pollfd* fds, nfds_t n)
{
    if (gReplay == nullptr || fds == nullptr || gOpenDevices.load() == 0)
        return false;
    for (nfds_t i = 0; i < n; ++i) {
        Device* dev = findDevice(fds[i].fd);
        if (dev == nullptr || !dev->ready.empty() || dev->held.empty() ||
            dev->held.front().first == 0)
            continue;
        --dev->held.front().first;
        releaseHeld(*dev);
        return true;
    }
    return false;
}

// Called with gLock held.
int sendCommand(Device& dev, const struct ipmi_req* req)
{
    if (req == nullptr || req->addr == nullptr)
        return EFAULT;
    if (req->addr_len < sizeof(int) || req->addr_len > sizeof(struct ipmi_addr))
        return EINVAL;
    if (gReplay != nullptr)
        return replaySend(dev, req);
    struct ipmi_system_interface_addr si;
    std::memset(&si, 0, sizeof si);
    std::memcpy(&si, req->addr, std::min<size_t>(req->addr_len, sizeof si));
    // Only the BMC itself sits behind this device.
    if (si.addr_type != IPMI_SYSTEM_INTERFACE_ADDR_TYPE || si.channel != IPMI_BMC_CHANNEL ||
        req->addr_len < sizeof si || si.lun > 3)
        return EINVAL;
    if (req->msg.data_len > IPMI_MAX_MSG_LENGTH)
        return EMSGSIZE;
    if (req->msg.data_len > 0 && req->msg.data == nullptr)
        return EFAULT;
    std::vector<uint8_t> data(req->msg.data, req->msg.data + req->msg.data_len);

    simipmi::Controller* c = controller();
    simipmi::Reply reply = c->handle(req->msg.netfn, si.lun, req->msg.cmd, data);
    simipmi::Delivery delivery = c->lastDelivery();
    if (delivery.sendErrno != 0)
        return delivery.sendErrno;
    if (reply.held) {
        // The sender stays in this send, where a test kills it; a test that
        // forgets to is let go after a while, as if the answer were silent.
        const struct timespec pause = {120, 0};
        REAL(nanosleep)(&pause, nullptr);
    }
    if (reply.silent) {
        // Behind the kernel driver a request the controller leaves unanswered
        // is still answered: the system interface times it out and delivers
        // completion code C3 itself. Opt-in, so a device that never answers
        // (the library's own wait path) stays available.
        unsigned timeoutMs = gDriverTimeoutMs.load();
        if (timeoutMs == 0)
            return 0;
        reply.silent = false;
        reply.cc = 0xC3;
        reply.data.clear();
        reply.delayMs = timeoutMs;
        delivery.staleFirst = 0;
    }

    std::vector<Message> out;
    Message m;
    m.netfn = static_cast<uint8_t>(req->msg.netfn | 1);
    m.cmd = req->msg.cmd;
    m.lun = si.lun;
    m.data.push_back(reply.cc);
    m.data.insert(m.data.end(), reply.data.begin(), reply.data.end());
    // Late answers to earlier requests come first.
    for (unsigned k = 0; k < delivery.staleFirst; ++k) {
        Message stale = m;
        stale.msgid = req->msgid - 1 - static_cast<long>(k);
        out.push_back(stale);
    }
    m.msgid = req->msgid;
    out.push_back(m);
    if (reply.delayMs == 0)
        makeReady(dev, out);
    else
        schedule(dev, std::move(out), reply.delayMs);
    return 0;
}

// Called with gLock held. Mirrors the kernel: the message is dequeued unless
// it could not be handed over at all; with truncation allowed, what fits is
// copied and EMSGSIZE reported.
int receiveMessage(Device& dev, struct ipmi_recv* rsp, bool truncate)
{
    if (rsp == nullptr)
        return EFAULT;
    if (dev.ready.empty())
        return EAGAIN;
    Message& m = dev.ready.front();
    struct ipmi_system_interface_addr si;
    std::memset(&si, 0, sizeof si);
    si.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    si.channel = IPMI_BMC_CHANNEL;
    si.lun = m.lun;
    if (rsp->addr_len < sizeof si)
        return EINVAL;
    if (rsp->addr == nullptr)
        return EFAULT;
    std::memcpy(rsp->addr, &si, sizeof si);
    rsp->addr_len = sizeof si;
    rsp->recv_type = IPMI_RESPONSE_RECV_TYPE;
    rsp->msgid = m.msgid;
    rsp->msg.netfn = m.netfn;
    rsp->msg.cmd = m.cmd;
    int rv = 0;
    size_t len = m.data.size();
    if (len > rsp->msg.data_len) {
        if (!truncate)
            return EMSGSIZE;
        rv = EMSGSIZE;
        len = rsp->msg.data_len;
    }
    if (len > 0 && rsp->msg.data == nullptr)
        return EFAULT;
    std::memcpy(rsp->msg.data, m.data.data(), len);
    rsp->msg.data_len = static_cast<unsigned short>(len);
    dev.ready.erase(dev.ready.begin());
    if (dev.ready.empty()) {
        uint64_t count;
        ssize_t n = read(dev.fd, &count, sizeof count);
        (void)n;
    }
    return rv;
}

int deviceIoctl(int fd, unsigned long request, void* arg)
{
    Lock lock;
    Device* dev = findDevice(fd);
    if (dev == nullptr) {
        errno = EBADF;
        return -1;
    }
    int rv;
    switch (request) {
    case IPMICTL_SEND_COMMAND:
    case IPMICTL_SEND_COMMAND_SETTIME: // starts with the same request record
        rv = sendCommand(*dev, static_cast<const struct ipmi_req*>(arg));
        break;
    case IPMICTL_RECEIVE_MSG_TRUNC:
        rv = receiveMessage(*dev, static_cast<struct ipmi_recv*>(arg), true);
        break;
    case IPMICTL_RECEIVE_MSG:
        rv = receiveMessage(*dev, static_cast<struct ipmi_recv*>(arg), false);
        break;
    case IPMICTL_SET_GETS_EVENTS_CMD:
    case IPMICTL_SET_MY_ADDRESS_CMD:
    case IPMICTL_SET_MY_LUN_CMD:
    case IPMICTL_SET_MY_CHANNEL_ADDRESS_CMD:
    case IPMICTL_SET_MY_CHANNEL_LUN_CMD:
    case IPMICTL_SET_TIMING_PARMS_CMD:
        rv = 0;
        break;
    case IPMICTL_GET_MY_ADDRESS_CMD:
        if (arg == nullptr) {
            rv = EFAULT;
        } else {
            *static_cast<unsigned int*>(arg) = 0x20;
            rv = 0;
        }
        break;
    default:
        rv = ENOTTY;
        break;
    }
    if (rv != 0) {
        errno = rv;
        return -1;
    }
    return 0;
}

bool anyDeviceIn(int nfds, const fd_set* r, const fd_set* w, const fd_set* e)
{
    if (gOpenDevices.load(std::memory_order_relaxed) == 0)
        return false;
    Lock lock;
    for (const auto& entry : *gDevices) {
        int fd = entry.first;
        if (fd >= nfds || fd >= FD_SETSIZE)
            continue;
        if ((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e)))
            return true;
    }
    return false;
}

bool anyDeviceIn(const struct pollfd* fds, nfds_t n)
{
    if (gOpenDevices.load(std::memory_order_relaxed) == 0 || fds == nullptr)
        return false;
    Lock lock;
    for (nfds_t i = 0; i < n; ++i) {
        if (findDevice(fds[i].fd) != nullptr)
            return true;
    }
    return false;
}

} // namespace

// ---- exported hooks --------------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(open)(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(open64)(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(openat64)(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(__open_2)(path, flags);
}

int __open64_2(const char* path, int flags)
{
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(__open64_2)(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(__openat_2)(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    if (isDevicePath(path))
        return openDevice(path, flags);
    return REAL(__openat64_2)(dirfd, path, flags);
}

int close(int fd)
{
    forgetDevice(fd);
    return REAL(close)(fd);
}

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (isDeviceFd(fd))
        return deviceIoctl(fd, request, arg);
    return REAL(ioctl)(fd, request, arg);
}

int select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv)
{
    double scale = activeScale();
    if (scale <= 1.0 || tv == nullptr || !anyDeviceIn(nfds, r, w, e))
        return REAL(select)(nfds, r, w, e, tv);
    int64_t wait =
        static_cast<int64_t>(tv->tv_sec) * 1000000000 + static_cast<int64_t>(tv->tv_usec) * 1000;
    int64_t real = realToScaled(wait, scale);
    struct timeval rtv;
    rtv.tv_sec = static_cast<time_t>(real / 1000000000);
    rtv.tv_usec = static_cast<suseconds_t>((real % 1000000000) / 1000);
    int64_t t0 = monotonicNs();
    int rc = REAL(select)(nfds, r, w, e, &rtv);
    int saved = errno;
    int64_t elapsed = monotonicNs() - t0;
    advance(elapsed, scale);
    // Linux reports the time left; keep that on the virtual clock.
    int64_t left = rc == 0 ? 0 : std::max<int64_t>(0, wait - static_cast<int64_t>(elapsed * scale));
    tv->tv_sec = static_cast<time_t>(left / 1000000000);
    tv->tv_usec = static_cast<suseconds_t>((left % 1000000000) / 1000);
    errno = saved;
    return rc;
}

int pselect(int nfds, fd_set* r, fd_set* w, fd_set* e, const struct timespec* ts,
            const sigset_t* mask)
{
    double scale = activeScale();
    if (scale <= 1.0 || ts == nullptr || !anyDeviceIn(nfds, r, w, e))
        return REAL(pselect)(nfds, r, w, e, ts, mask);
    struct timespec rts = nsToTs(realToScaled(tsToNs(*ts), scale));
    int64_t t0 = monotonicNs();
    int rc = REAL(pselect)(nfds, r, w, e, &rts, mask);
    int saved = errno;
    advance(monotonicNs() - t0, scale);
    errno = saved;
    return rc;
}

// The C library declares the poll array write-only, which it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// A wait that timed out in the recording times out at once in the replay;
// the clock moves on by the whole wait.
bool replayedTimeout(struct pollfd* fds, nfds_t n, int64_t waitNs)
{
    if (gReplay == nullptr)
        return false;
    {
        Lock lock;
        if (!replayTimeout(fds, n))
            return false;
    }
    for (nfds_t i = 0; i < n; ++i)
        fds[i].revents = 0;
    if (activeScale() > 1.0 && waitNs > 0)
        skipAhead(waitNs);
    return true;
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* ts, const sigset_t* mask)
{
    if (ts != nullptr && replayedTimeout(fds, n, tsToNs(*ts)))
        return 0;
    double scale = activeScale();
    if (scale <= 1.0 || ts == nullptr || !anyDeviceIn(fds, n))
        return REAL(ppoll)(fds, n, ts, mask);
    struct timespec rts = nsToTs(realToScaled(tsToNs(*ts), scale));
    int64_t t0 = monotonicNs();
    int rc = REAL(ppoll)(fds, n, &rts, mask);
    int saved = errno;
    advance(monotonicNs() - t0, scale);
    errno = saved;
    return rc;
}

int poll(struct pollfd* fds, nfds_t n, int timeoutMs)
{
    if (timeoutMs >= 0 && replayedTimeout(fds, n, static_cast<int64_t>(timeoutMs) * 1000000))
        return 0;
    double scale = activeScale();
    if (scale <= 1.0 || timeoutMs <= 0 || !anyDeviceIn(fds, n))
        return REAL(poll)(fds, n, timeoutMs);
    struct timespec rts = nsToTs(realToScaled(static_cast<int64_t>(timeoutMs) * 1000000, scale));
    int64_t t0 = monotonicNs();
    int rc = REAL(ppoll)(fds, n, &rts, nullptr);
    int saved = errno;
    advance(monotonicNs() - t0, scale);
    errno = saved;
    return rc;
}
#pragma GCC diagnostic pop

} // extern "C"
