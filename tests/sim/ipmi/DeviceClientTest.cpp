// A client of the Linux IPMI device, written as a real one is (open, the
// send ioctl, select, the truncating receive ioctl), run under the preload
// stand-in. The scenario script comes from the environment (see
// CMakeLists.txt); the request log and state file paths are chosen here before
// the first open, which is when the stand-in reads them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/ipmi.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern "C" {
// The fortified open entry points the C library exports.
int __open_2(const char*, int);
int __open64_2(const char*, int);
int __openat_2(int, const char*, int);
int __openat64_2(int, const char*, int);
}

namespace
{

constexpr uint8_t kNetFnTest = 0x3A; // commands of client.script
constexpr uint8_t kCmdErrno = 0x01;
constexpr uint8_t kCmdStale = 0x02;
constexpr uint8_t kCmdSilent = 0x03;
constexpr uint8_t kCmdLong = 0x04;
constexpr uint8_t kCmdDelayed = 0x05;
constexpr uint8_t kCmdPlain = 0x06;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string logText()
{
    return readFile(std::getenv("SIMIPMI_LOG"));
}

// A counter of the state file; 0 before the stand-in wrote one.
long stateCount(const std::string& key)
{
    std::string state = readFile(std::getenv("SIMIPMI_STATE"));
    size_t at = state.find(key + "=");
    if (at != 0 && at != std::string::npos)
        at = state.find("\n" + key + "=");
    if (at == std::string::npos)
        return 0;
    return std::atol(state.c_str() + state.find('=', at) + 1);
}

struct Received {
    int rc = 0;
    int err = 0;
    struct ipmi_recv recv;
    struct ipmi_system_interface_addr addr;
    std::vector<uint8_t> data;
};

class Device
{
public:
    explicit Device(const char* path = "/dev/ipmi0") : fd_(open(path, O_RDWR)) {}
    ~Device()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    int fd() const { return fd_; }

    int send(uint8_t netfn, uint8_t cmd, std::vector<uint8_t> data, long msgid)
    {
        struct ipmi_system_interface_addr addr;
        std::memset(&addr, 0, sizeof addr);
        addr.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
        addr.channel = IPMI_BMC_CHANNEL;
        addr.lun = 0;
        struct ipmi_req req;
        std::memset(&req, 0, sizeof req);
        req.addr = reinterpret_cast<unsigned char*>(&addr);
        req.addr_len = sizeof addr;
        req.msgid = msgid;
        req.msg.netfn = netfn;
        req.msg.cmd = cmd;
        req.msg.data = data.data();
        req.msg.data_len = static_cast<unsigned short>(data.size());
        return ioctl(fd_, IPMICTL_SEND_COMMAND, &req);
    }

    // 1 readable, 0 timed out.
    int waitReadable(long timeoutMs)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd_, &set);
        struct timeval tv;
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        return select(fd_ + 1, &set, nullptr, nullptr, &tv);
    }

    Received receive(size_t room, unsigned long request = IPMICTL_RECEIVE_MSG_TRUNC)
    {
        Received r;
        std::memset(&r.recv, 0, sizeof r.recv);
        std::memset(&r.addr, 0, sizeof r.addr);
        r.data.assign(room, 0xEE);
        r.recv.addr = reinterpret_cast<unsigned char*>(&r.addr);
        r.recv.addr_len = sizeof r.addr;
        r.recv.msg.data = r.data.data();
        r.recv.msg.data_len = static_cast<unsigned short>(room);
        errno = 0;
        r.rc = ioctl(fd_, request, &r.recv);
        r.err = errno;
        return r;
    }

private:
    int fd_;
};

TEST(Device, ReplyCarriesTheKernelFields)
{
    Device dev;
    ASSERT_GE(dev.fd(), 0);
    ASSERT_EQ(dev.send(0x06, 0x01, {}, 77), 0); // Get Device ID
    ASSERT_EQ(dev.waitReadable(5000), 1);
    Received r = dev.receive(253);
    ASSERT_EQ(r.rc, 0) << std::strerror(r.err);
    EXPECT_EQ(r.recv.recv_type, IPMI_RESPONSE_RECV_TYPE);
    EXPECT_EQ(r.recv.msgid, 77);
    EXPECT_EQ(r.recv.msg.netfn, 0x07);
    EXPECT_EQ(r.recv.msg.cmd, 0x01);
    EXPECT_EQ(r.recv.addr_len, sizeof(struct ipmi_system_interface_addr));
    EXPECT_EQ(r.addr.addr_type, IPMI_SYSTEM_INTERFACE_ADDR_TYPE);
    EXPECT_EQ(r.addr.channel, IPMI_BMC_CHANNEL);
    ASSERT_EQ(r.recv.msg.data_len, 16); // completion code + 15 bytes of identity
    EXPECT_EQ(r.data[0], 0x00);
    EXPECT_EQ(r.data[1], 0x20);
    EXPECT_EQ(dev.waitReadable(0), 0) << "the one reply was consumed";
}

TEST(Device, OemReplyComesFromTheController)
{
    Device dev;
    ASSERT_EQ(dev.send(0x30, 0xBD, {}, 5), 0); // system generation
    ASSERT_EQ(dev.waitReadable(5000), 1);
    Received r = dev.receive(253);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.recv.msg.netfn, 0x31);
    ASSERT_EQ(r.recv.msg.data_len, 7);
    EXPECT_EQ(r.data[0], 0x00);
    EXPECT_EQ(r.data[6], 0x30) << "generation byte lands at response byte 8";
    EXPECT_NE(logText().find("netfn=30 lun=0 cmd=bd op=SystemGeneration req=- cc=00 "
                             "rsp=00,00,00,00,00,30"),
              std::string::npos);
}

TEST(Device, EmptyQueueGivesEagain)
{
    Device dev;
    Received r = dev.receive(253);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EAGAIN);

    ASSERT_EQ(dev.send(kNetFnTest, kCmdPlain, {}, 1), 0);
    ASSERT_EQ(dev.receive(253).rc, 0);
    r = dev.receive(253);
    EXPECT_EQ(r.err, EAGAIN) << "the queue is empty again after the one reply";
}

TEST(Device, LongReplyIsCutToTheRoomGiven)
{
    struct Case {
        uint8_t cmd;
        size_t room;
    };
    const Case cases[] = {
        {kCmdLong, 253}, // 301 bytes into the 253 a real caller offers
        {0x01, 4},       // Get Device ID's 16 bytes into a tiny buffer (NetFn 06 below)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        Device dev;
        uint8_t netfn = c.cmd == kCmdLong ? kNetFnTest : 0x06;
        ASSERT_EQ(dev.send(netfn, c.cmd, {}, 9), 0);
        Received r = dev.receive(c.room);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, EMSGSIZE);
        EXPECT_EQ(r.recv.msg.data_len, c.room) << "data_len is what was copied";
        EXPECT_EQ(r.recv.msgid, 9);
        EXPECT_EQ(r.data[0], 0x00);
        if (c.cmd == kCmdLong) {
            EXPECT_EQ(r.data[1], 0x11);
            EXPECT_EQ(r.data[3], 0x33);
        }
        // As the kernel does, the cut message is gone.
        EXPECT_EQ(dev.receive(c.room).err, EAGAIN);
        EXPECT_EQ(dev.waitReadable(0), 0);
    }
}

TEST(Device, UntruncatedReceiveKeepsTheMessage)
{
    Device dev;
    ASSERT_EQ(dev.send(0x06, 0x01, {}, 3), 0);
    Received r = dev.receive(4, IPMICTL_RECEIVE_MSG);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EMSGSIZE);
    r = dev.receive(253);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.recv.msg.data_len, 16);
}

TEST(Device, StaleIdsComeBeforeTheAnswer)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdStale, {}, 40), 0);
    std::vector<long> ids;
    while (dev.waitReadable(0) == 1) {
        Received r = dev.receive(253);
        ASSERT_EQ(r.rc, 0);
        ids.push_back(r.recv.msgid);
    }
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_NE(ids[0], 40);
    EXPECT_NE(ids[1], 40);
    EXPECT_EQ(ids[2], 40);
}

TEST(Device, SendFailsWithTheScriptedErrno)
{
    Device dev;
    errno = 0;
    EXPECT_EQ(dev.send(kNetFnTest, kCmdErrno, {0xAB}, 11), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(dev.receive(253).err, EAGAIN) << "nothing may be queued for a failed send";
    EXPECT_NE(logText().find("cmd=01 op=- req=ab cc=-- rsp=- rule=4 errno=5"), std::string::npos);
}

TEST(Device, SilentRequestNeverTurnsReadable)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdSilent, {}, 12), 0);
    EXPECT_EQ(dev.waitReadable(50), 0);
    EXPECT_EQ(dev.receive(253).err, EAGAIN);
    EXPECT_NE(logText().find("cmd=03 op=- req=- cc=-- rsp=- rule=6 silent\n"), std::string::npos)
        << logText();
}

TEST(Device, DelayedReplyTurnsReadableLater)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdDelayed, {}, 13), 0);
    EXPECT_EQ(dev.waitReadable(0), 0) << "not yet";
    ASSERT_EQ(dev.waitReadable(10000), 1);
    Received r = dev.receive(253);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.recv.msgid, 13);
    EXPECT_EQ(r.data[1], 0x05);
}

TEST(Device, PollSeesTheReply)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdPlain, {}, 14), 0);
    struct pollfd p = {dev.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLIN);
}

TEST(Device, AddressOtherThanTheBmcIsRejected)
{
    Device dev;
    struct ipmi_ipmb_addr addr;
    std::memset(&addr, 0, sizeof addr);
    addr.addr_type = IPMI_IPMB_ADDR_TYPE;
    addr.channel = 0;
    addr.slave_addr = 0x20;
    struct ipmi_req req;
    std::memset(&req, 0, sizeof req);
    req.addr = reinterpret_cast<unsigned char*>(&addr);
    req.addr_len = sizeof addr;
    req.msg.netfn = 0x06;
    req.msg.cmd = 0x01;
    EXPECT_EQ(ioctl(dev.fd(), IPMICTL_SEND_COMMAND, &req), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Device, EveryOpenEntryPointGivesADevice)
{
    struct Entry {
        const char* name;
        std::function<int()> call;
    };
    const char* path = "/dev/ipmi0";
    const Entry entries[] = {
        {"open", [=] { return open(path, O_RDWR); }},
        {"open64", [=] { return open64(path, O_RDWR); }},
        {"openat", [=] { return openat(AT_FDCWD, path, O_RDWR); }},
        {"openat64", [=] { return openat64(AT_FDCWD, path, O_RDWR); }},
        {"__open_2", [=] { return __open_2(path, O_RDWR); }},
        {"__open64_2", [=] { return __open64_2(path, O_RDWR); }},
        {"__openat_2", [=] { return __openat_2(AT_FDCWD, path, O_RDWR); }},
        {"__openat64_2", [=] { return __openat64_2(AT_FDCWD, path, O_RDWR); }},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        int fd = e.call();
        ASSERT_GE(fd, 0);
        struct ipmi_system_interface_addr addr = {IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL,
                                                  0};
        struct ipmi_req req;
        std::memset(&req, 0, sizeof req);
        req.addr = reinterpret_cast<unsigned char*>(&addr);
        req.addr_len = sizeof addr;
        req.msgid = 21;
        req.msg.netfn = kNetFnTest;
        req.msg.cmd = kCmdPlain;
        EXPECT_EQ(ioctl(fd, IPMICTL_SEND_COMMAND, &req), 0);
        struct pollfd p = {fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_EQ(close(fd), 0);
        // Once closed the number is no device any more.
        EXPECT_EQ(ioctl(fd, IPMICTL_SEND_COMMAND, &req), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST(Device, OtherFilesAreUntouched)
{
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    char c;
    EXPECT_EQ(read(fd, &c, 1), 0);
    struct ipmi_recv r;
    std::memset(&r, 0, sizeof r);
    EXPECT_EQ(ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &r), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);
}

TEST(Children, ShellChildrenStayInert)
{
    Device dev; // this process owns a controller and a log by now
    ASSERT_EQ(dev.send(kNetFnTest, kCmdPlain, {0xC0}, 30), 0);
    const std::string before = logText();
    const std::string stateBefore = readFile(std::getenv("SIMIPMI_STATE"));
    // Without the run marker a child that loaded the device code eagerly would
    // start a fresh log; an inert one never touches it.
    FILE* p =
        popen("env -u SIMIPMI_STARTED /bin/sh -c 'echo hello; sleep 0; date >/dev/null'", "r");
    ASSERT_NE(p, nullptr);
    char buf[64] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(std::string(buf, n), "hello\n");
    EXPECT_EQ(logText(), before);
    EXPECT_EQ(readFile(std::getenv("SIMIPMI_STATE")), stateBefore);
}

TEST(Children, ChildThatOpensTheDeviceAppendsToTheLog)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdPlain, {0xAA}, 31), 0);
    std::string cmd = "/proc/" + std::to_string(getpid()) + "/exe --send-once";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string log = logText();
    EXPECT_NE(log.find("req=aa "), std::string::npos) << log;
    EXPECT_NE(log.find("req=bb "), std::string::npos) << log;
    EXPECT_LT(log.find("req=aa "), log.find("req=bb "));
}

// Paths a script may leave out; unset means the default, all three.
TEST(DevicePaths, OnlyScriptedPathsOpen)
{
    const char* expect = std::getenv("SIMIPMI_EXPECT_DEVICES");
    std::string expected = expect ? expect : "/dev/ipmi0 /dev/ipmi/0 /dev/ipmidev/0";
    const long opensBefore = stateCount("opens");
    for (const char* path : {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"}) {
        SCOPED_TRACE(path);
        bool shouldExist =
            (" " + expected + " ").find(std::string(" ") + path + " ") != std::string::npos;
        errno = 0;
        int fd = open(path, O_RDWR);
        if (shouldExist) {
            ASSERT_GE(fd, 0);
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, ENOENT);
        }
    }
    EXPECT_EQ(stateCount("opens") - opensBefore, 3);
}

// Run with SIMIPMI_SCRIPT naming a file that cannot be read: the device is
// gone, and the test's standard error says why rather than leaving a bare
// "no device" to puzzle over.
TEST(ScriptError, UnreadableScriptIsSaidOnStandardError)
{
    const char* script = std::getenv("SIMIPMI_SCRIPT");
    ASSERT_NE(script, nullptr);
    char tmpl[] = "/tmp/simipmi-stderr-XXXXXX";
    int capture = mkstemp(tmpl);
    ASSERT_GE(capture, 0);
    unlink(tmpl);
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(capture, STDERR_FILENO);
    errno = 0;
    int fd = open("/dev/ipmi0", O_RDWR);
    int openErrno = errno;
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(openErrno, ENOENT);
    std::string said(4096, '\0');
    ssize_t n = pread(capture, &said[0], said.size(), 0);
    close(capture);
    said.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_NE(said.find("simipmi: cannot read script " + std::string(script)), std::string::npos)
        << said;
    EXPECT_NE(said.find("every IPMI device open fails"), std::string::npos) << said;
}

// ---- virtual clock (run with SIMIPMI_TIME_SCALE) ---------------------------

int64_t rawMonotonicNs()
{
    struct timespec ts;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t virtualMonotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kSecond = 1000000000;

class TimeScale : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::getenv("SIMIPMI_TIME_SCALE") == nullptr)
            GTEST_SKIP() << "runs only with SIMIPMI_TIME_SCALE";
        // The virtual clock starts when the process first reaches for a device.
        dev_ = std::make_unique<Device>();
        ASSERT_GE(dev_->fd(), 0);
    }
    std::unique_ptr<Device> dev_;
};

TEST_F(TimeScale, SleepsAdvanceTheVirtualClockByTheirFullLength)
{
    struct Sleeper {
        const char* name;
        std::function<void()> sleep5;
    };
    const Sleeper sleepers[] = {
        {"sleep", [] { sleep(5); }},
        {"usleep", [] { usleep(5000000); }},
        {"nanosleep",
         [] {
             struct timespec ts = {5, 0};
             nanosleep(&ts, nullptr);
         }},
        {"clock_nanosleep relative",
         [] {
             struct timespec ts = {5, 0};
             clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
         }},
        {"clock_nanosleep absolute",
         [] {
             struct timespec ts;
             clock_gettime(CLOCK_MONOTONIC, &ts);
             ts.tv_sec += 5;
             clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
         }},
    };
    for (const Sleeper& s : sleepers) {
        SCOPED_TRACE(s.name);
        int64_t v0 = virtualMonotonicNs(), r0 = rawMonotonicNs();
        time_t t0 = time(nullptr);
        struct timeval tv0;
        gettimeofday(&tv0, nullptr);
        s.sleep5();
        int64_t v1 = virtualMonotonicNs(), r1 = rawMonotonicNs();
        struct timeval tv1;
        gettimeofday(&tv1, nullptr);
        EXPECT_GE(v1 - v0, 5 * kSecond);
        EXPECT_LT(r1 - r0, 5 * kSecond) << "the real wait is the scaled one";
        EXPECT_GE(time(nullptr) - t0, 5);
        EXPECT_GE(tv1.tv_sec - tv0.tv_sec, 4);
    }
}

TEST_F(TimeScale, SilentReplyTimesOutAfterTheFullVirtualWait)
{
    ASSERT_EQ(dev_->send(kNetFnTest, kCmdSilent, {}, 50), 0);
    int64_t v0 = virtualMonotonicNs(), r0 = rawMonotonicNs();
    EXPECT_EQ(dev_->waitReadable(20060), 0);
    EXPECT_GE(virtualMonotonicNs() - v0, 20 * kSecond);
    EXPECT_LT(rawMonotonicNs() - r0, 20 * kSecond);
}

TEST_F(TimeScale, DelayedReplyArrivesWithinTheScaledWait)
{
    ASSERT_EQ(dev_->send(kNetFnTest, kCmdDelayed, {}, 51), 0);
    int64_t v0 = virtualMonotonicNs();
    ASSERT_EQ(dev_->waitReadable(20060), 1);
    int64_t waited = virtualMonotonicNs() - v0;
    EXPECT_LT(waited, 20 * kSecond);
    EXPECT_EQ(dev_->receive(253).recv.msgid, 51);
}

// ---- driver timeout (run with SIMIPMI_DRIVER_TIMEOUT_MS) --------------------

class DriverTimeout : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::getenv("SIMIPMI_DRIVER_TIMEOUT_MS") == nullptr)
            GTEST_SKIP() << "runs only with SIMIPMI_DRIVER_TIMEOUT_MS";
    }
};

// As behind the kernel driver: the controller stays silent, yet the caller
// gets completion code C3 for its request once the timeout has passed.
TEST_F(DriverTimeout, SilentControllerIsAnsweredWithTimeoutCode)
{
    Device dev;
    ASSERT_EQ(dev.send(kNetFnTest, kCmdSilent, {0x01}, 60), 0);
    int64_t v0 = virtualMonotonicNs();
    EXPECT_EQ(dev.waitReadable(0), 0) << "not before the timeout";
    ASSERT_EQ(dev.waitReadable(20060), 1);
    EXPECT_GE(virtualMonotonicNs() - v0, 4 * kSecond - kSecond / 10);
    Received r = dev.receive(253);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.recv.msgid, 60);
    EXPECT_EQ(r.recv.msg.netfn, kNetFnTest | 1);
    EXPECT_EQ(r.recv.msg.cmd, kCmdSilent);
    ASSERT_EQ(r.recv.msg.data_len, 1);
    EXPECT_EQ(r.data[0], 0xC3);
    EXPECT_NE(logText().find("cmd=03 op=- req=01 cc=-- rsp=- rule=6 silent\n"), std::string::npos)
        << "the controller itself still answered nothing\n"
        << logText();
}

// Child mode of the append test: one request, then exit.
int sendOnce()
{
    Device dev;
    if (dev.fd() < 0 || dev.send(kNetFnTest, kCmdPlain, {0xBB}, 1) != 0)
        return 1;
    return dev.waitReadable(5000) == 1 && dev.receive(253).rc == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--send-once") == 0)
        return sendOnce();
    // One log and state file per process; the stand-in reads these on the
    // first open of a device path.
    setenv("SIMIPMI_SCRIPT", SIM_TEST_DATA_DIR "/client.script", 0);
    std::string base = "/tmp/simipmi-client-" + std::to_string(getpid());
    setenv("SIMIPMI_LOG", (base + ".log").c_str(), 0);
    setenv("SIMIPMI_STATE", (base + ".state").c_str(), 0);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (rc == 0) {
        std::remove((base + ".log").c_str());
        std::remove((base + ".state").c_str());
    }
    return rc;
}
