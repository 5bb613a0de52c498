#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "VEXIPMISys.h"

// A stand-in for the IPMI device, the shell and the clock. Each request sent
// takes the next Step of the script (or, with the script used up, an
// immediate reply with completion code 0); the Step's deliveries are what
// the following readiness waits and receives on that descriptor see.
class FakeIPMISys : public IVEXIPMISys
{
public:
    struct Delivery {
        enum Kind { Timeout, WaitError, ReceiveError, Reply } kind = Reply;
        int error = 0;             // ReceiveError
        bool stale = false;        // Reply under a message ID not sent
        uint8_t netfn = 0x31;      // Reply
        uint8_t cmd = 0xA2;        // Reply
        std::vector<uint8_t> data; // Reply: completion code, then data
    };
    struct Step {
        int sendErrno = 0;
        std::vector<Delivery> deliveries;
    };
    struct Sent {
        int fd;
        long msgid;
        unsigned addrLen;
        int addrType;
        int channel;
        unsigned lun;
        uint8_t netfn;
        uint8_t cmd;
        std::vector<uint8_t> data;
    };

    static Delivery Timeout() { return Delivery{Delivery::Timeout, 0, false, 0, 0, {}}; }
    static Delivery WaitError() { return Delivery{Delivery::WaitError, 0, false, 0, 0, {}}; }
    static Delivery ReceiveError(int error)
    {
        return Delivery{Delivery::ReceiveError, error, false, 0, 0, {}};
    }
    static Delivery Reply(std::vector<uint8_t> data, bool stale = false)
    {
        return Delivery{Delivery::Reply, 0, stale, 0x31, 0xA2, std::move(data)};
    }
    static Step Answer(uint8_t cc, std::vector<uint8_t> extra = {})
    {
        std::vector<uint8_t> data{cc};
        data.insert(data.end(), extra.begin(), extra.end());
        return Step{0, {Reply(data)}};
    }

    // --- script and observations (guarded by the same mutex as the calls)
    std::set<std::string> devices{"/dev/ipmi0"};
    // Devices listed here appear only after this many failed open calls.
    unsigned failOpensBeforeDevicesAppear = 0;
    std::deque<Step> script;
    std::map<std::string, int> shellStatus; // exact command -> status; default 0

    std::vector<std::string> opens;
    std::vector<int> openFlags;
    std::vector<int> closes;
    std::vector<Sent> sent;
    std::vector<uint64_t> sleeps;
    std::vector<std::string> commands;
    unsigned waits = 0;

    int Open(const char* path, int flags) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        opens.push_back(path);
        openFlags.push_back(flags);
        if (m_FailedOpens >= failOpensBeforeDevicesAppear && devices.count(path)) {
            const int fd = m_NextFd++;
            m_Pending[fd];
            return fd;
        }
        ++m_FailedOpens;
        errno = ENOENT;
        return -1;
    }

    int Ioctl(int fd, unsigned long request, void* arg) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        if (m_Pending.find(fd) == m_Pending.end()) {
            errno = EBADF;
            return -1;
        }
        if (request == IPMICTL_SEND_COMMAND) {
            return Send(fd, static_cast<struct ipmi_req*>(arg));
        }
        if (request == IPMICTL_RECEIVE_MSG_TRUNC) {
            return Receive(fd, static_cast<struct ipmi_recv*>(arg));
        }
        errno = ENOTTY;
        return -1;
    }

    int WaitReadable(int fd, long seconds, long microseconds) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        ++waits;
        m_LastWait = {seconds, microseconds};
        auto& pending = m_Pending[fd];
        if (pending.empty()) {
            return 0;
        }
        const Delivery front = pending.front();
        if (front.kind == Delivery::Timeout) {
            pending.pop_front();
            return 0;
        }
        if (front.kind == Delivery::WaitError) {
            pending.pop_front();
            errno = EINTR;
            return -1;
        }
        return 1;
    }

    int Close(int fd) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        closes.push_back(fd);
        m_Pending.erase(fd);
        return 0;
    }

    int RunShell(const std::string& command) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        commands.push_back(command);
        auto found = shellStatus.find(command);
        return found == shellStatus.end() ? 0 : found->second;
    }

    void SleepMs(uint64_t milliseconds) override
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        sleeps.push_back(milliseconds);
    }

    std::pair<long, long> lastWait() const { return m_LastWait; }

private:
    int Send(int fd, struct ipmi_req* req)
    {
        Step step = Answer(0x00);
        if (!script.empty()) {
            step = script.front();
            script.pop_front();
        }
        if (step.sendErrno != 0) {
            errno = step.sendErrno;
            return -1;
        }
        Sent record{};
        record.fd = fd;
        record.msgid = req->msgid;
        record.addrLen = req->addr_len;
        struct ipmi_system_interface_addr address = {};
        memcpy(&address, req->addr, std::min<size_t>(req->addr_len, sizeof(address)));
        record.addrType = address.addr_type;
        record.channel = address.channel;
        record.lun = address.lun;
        record.netfn = req->msg.netfn;
        record.cmd = req->msg.cmd;
        record.data.assign(req->msg.data, req->msg.data + req->msg.data_len);
        sent.push_back(record);
        m_LastMsgId[fd] = req->msgid;
        for (const Delivery& delivery : step.deliveries) {
            m_Pending[fd].push_back(delivery);
        }
        return 0;
    }

    int Receive(int fd, struct ipmi_recv* recv)
    {
        auto& pending = m_Pending[fd];
        if (pending.empty()) {
            errno = EAGAIN;
            return -1;
        }
        const Delivery delivery = pending.front();
        pending.pop_front();
        if (delivery.kind == Delivery::ReceiveError) {
            errno = delivery.error;
            return -1;
        }
        recv->recv_type = IPMI_RESPONSE_RECV_TYPE;
        recv->msgid = m_LastMsgId[fd] + (delivery.stale ? 1000 : 0);
        recv->msg.netfn = delivery.netfn;
        recv->msg.cmd = delivery.cmd;
        const size_t room = recv->msg.data_len;
        const size_t copied = std::min(room, delivery.data.size());
        memcpy(recv->msg.data, delivery.data.data(), copied);
        recv->msg.data_len = static_cast<unsigned short>(copied);
        if (delivery.data.size() > room) {
            errno = EMSGSIZE;
            return -1;
        }
        return 0;
    }

    std::mutex m_Mutex;
    int m_NextFd = 10;
    unsigned m_FailedOpens = 0;
    std::map<int, std::deque<Delivery>> m_Pending;
    std::map<int, long> m_LastMsgId;
    std::pair<long, long> m_LastWait{0, 0};
};
