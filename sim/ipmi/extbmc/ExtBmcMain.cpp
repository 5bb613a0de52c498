// simipmi_extbmc: the simulated controller behind QEMU's ipmi-bmc-extern
// device. QEMU listens on a socket chardev; this program connects to it and
// answers the guest's IPMI requests through simipmi::Controller, so the guest
// kernel's own IPMI driver talks to the same controller as the other fronts.
//
//   simipmi_extbmc --connect HOST:PORT [--script FILE] [--log FILE]
//                  [--state FILE] [--trace FILE] [--connect-timeout SECONDS]
//
// Exits 0 when QEMU closes the link cleanly, 1 on a link failure, 2 on bad
// arguments or a script that does not load.
#include "ExtBmcSession.h"

#include "Controller.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using namespace simipmi::extbmc;

namespace
{

class Fd
{
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

class SocketLink : public ILink
{
public:
    explicit SocketLink(int fd) : fd_(fd) {}
    long readSome(uint8_t* buf, size_t cap) override
    {
        for (;;) {
            ssize_t n = ::read(fd_, buf, cap);
            if (n < 0 && errno == EINTR)
                continue;
            return static_cast<long>(n);
        }
    }
    bool writeAll(const std::vector<uint8_t>& bytes) override
    {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    void sleepMs(unsigned ms) override
    {
        struct timespec ts;
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }

private:
    int fd_;
};

class ControllerHandler : public IRequestHandler
{
public:
    ControllerHandler(simipmi::Controller& c, std::ostream& trace) : c_(c), trace_(trace) {}
    Answer handle(const Request& req) override
    {
        simipmi::Reply r = c_.handle(req.netfn, req.lun, req.cmd, req.data);
        simipmi::Delivery d = c_.lastDelivery();
        // Send failures and stale message IDs belong to the kernel's side of the
        // device; a controller behind the real driver cannot produce them.
        if (d.sendErrno != 0 || d.staleFirst != 0)
            trace_ << "  note: delivery directive (send errno " << d.sendErrno << ", stale "
                   << d.staleFirst << ") has no effect over the external link" << std::endl;
        Answer a;
        a.silent = r.silent;
        a.delayMs = r.delayMs;
        a.cc = r.cc;
        a.data = r.data;
        return a;
    }

private:
    simipmi::Controller& c_;
    std::ostream& trace_;
};

bool splitHostPort(const std::string& s, std::string& host, int& port)
{
    size_t colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = s.substr(0, colon);
    char* end = nullptr;
    long p = std::strtol(s.c_str() + colon + 1, &end, 10);
    if (!end || *end != '\0' || p <= 0 || p > 65535)
        return false;
    port = static_cast<int>(p);
    return true;
}

// QEMU may not be listening yet when this starts; keep trying until the
// deadline so a slow start is no failure but a missing QEMU is.
int connectWithRetry(const std::string& host, int port, unsigned timeoutSec, std::ostream& trace)
{
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        trace << "not an IPv4 address: " << host << std::endl;
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    int lastErr = 0;
    do {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            trace << "socket: " << std::strerror(errno) << std::endl;
            return -1;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        lastErr = errno;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    trace << "connect to " << host << ":" << port << " failed for " << timeoutSec
          << " s: " << std::strerror(lastErr) << std::endl;
    return -1;
}

int usage()
{
    std::cerr
        << "usage: simipmi_extbmc --connect HOST:PORT [--script FILE] [--log FILE]\n"
           "                      [--state FILE] [--trace FILE] [--connect-timeout SECONDS]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string connectTo, script, log, state, tracePath;
    unsigned connectTimeout = 30;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        std::string v = argv[++i];
        if (a == "--connect")
            connectTo = v;
        else if (a == "--script")
            script = v;
        else if (a == "--log")
            log = v;
        else if (a == "--state")
            state = v;
        else if (a == "--trace")
            tracePath = v;
        else if (a == "--connect-timeout")
            connectTimeout = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
        else
            return usage();
    }
    std::string host;
    int port = 0;
    if (!splitHostPort(connectTo, host, port))
        return usage();

    std::ofstream traceFile;
    if (!tracePath.empty()) {
        traceFile.open(tracePath, std::ios::out | std::ios::trunc);
        if (!traceFile) {
            std::cerr << "simipmi_extbmc: cannot write " << tracePath << "\n";
            return 2;
        }
    }
    std::ostream& trace = tracePath.empty() ? std::cerr : traceFile;

    simipmi::Controller controller(script, log);
    if (!controller.scriptError().empty()) {
        std::cerr << "simipmi_extbmc: script " << script << ": " << controller.scriptError()
                  << "\n";
        return 2;
    }
    if (!state.empty())
        controller.setStatePath(state);
    ControllerHandler handler(controller, trace);

    Fd sock(connectWithRetry(host, port, connectTimeout, trace));
    if (sock.get() < 0)
        return 1;
    trace << "connected to " << host << ":" << port << std::endl;
    SocketLink link(sock.get());
    Session session(handler, link, trace);
    int rc = session.run();
    trace << "requests " << session.requests() << ", replies " << session.replies()
          << ", dropped frames " << session.dropped() << std::endl;
    return rc;
}
