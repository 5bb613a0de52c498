#include "Replay.h"

#include <cerrno>
#include <cstdio>

namespace simipmi
{
namespace
{

std::string Hex2(unsigned v)
{
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

std::string DescribeEntry(const lumorecord::Entry& e)
{
    const std::string ev = e.str("ev");
    if (ev == "open")
        return "open " + e.shown("path");
    if (ev == "send")
        return "send msgid=" + std::to_string(e.num("msgid")) +
               " netfn=" + Hex2(static_cast<unsigned>(e.num("netfn"))) +
               " cmd=" + Hex2(static_cast<unsigned>(e.num("cmd"))) + " addr=" + e.shown("addr") +
               " data=" + e.shown("data");
    if (ev == "recv")
        return "reply msgid=" + std::to_string(e.num("msgid")) + " data=" + e.shown("data");
    return e.shown("ev");
}

} // namespace

Replay::Replay(const std::string& transcriptPath)
{
    lumorecord::Transcript t;
    std::string error;
    if (!lumorecord::LoadTranscript(transcriptPath, t, error)) {
        m_stopped = true;
        m_stopWhy = "transcript unusable: " + error;
        m_log += "replay-error " + m_stopWhy + "\n";
        return;
    }
    unsigned timeouts = 0;
    for (lumorecord::Entry& e : t.entries) {
        if (e.str("b") != "ipmi")
            continue;
        const std::string ev = e.str("ev");
        // Other controls are the program's own set-up; a receive that
        // delivered nothing is not part of the answer. A wait counts only
        // when it timed out before a reply: the reply is held back as long.
        if (ev == "wait" && e.num("rc") == 0)
            ++timeouts;
        if (ev == "recv" && e.num("rc") != 0 && e.num("errno") != EMSGSIZE)
            continue;
        if (ev == "open" || ev == "send" || ev == "recv" || ev == "close") {
            m_timeoutsBefore.push_back(ev == "recv" ? timeouts : 0);
            timeouts = 0;
            m_entries.push_back(std::move(e));
        }
    }
}

void Replay::diverge(size_t line, const std::string& why)
{
    m_stopped = true;
    m_stopWhy = "divergence at transcript line " + std::to_string(line) + ": " + why;
    m_log += "replay-divergence line=" + std::to_string(line) + " " + why + "\n";
}

const lumorecord::Entry* Replay::expect(const char* event, const std::string& program)
{
    if (m_stopped)
        return nullptr;
    if (m_next >= m_entries.size()) {
        const size_t last = m_entries.empty() ? 1 : m_entries.back().line;
        m_stopped = true;
        m_stopWhy = "transcript has no device call after line " + std::to_string(last) +
                    "; program: " + program;
        m_log += "replay-divergence line=" + std::to_string(last) +
                 " end of transcript; program: " + program + "\n";
        return nullptr;
    }
    const lumorecord::Entry& e = m_entries[m_next];
    if (e.str("ev") != event) {
        diverge(e.line, "recorded: " + DescribeEntry(e) + "; program: " + program);
        return nullptr;
    }
    return &e;
}

int Replay::open(const std::string& path)
{
    const std::string program = "open " + path;
    const lumorecord::Entry* e = expect("open", program);
    if (e == nullptr)
        return ENOENT;
    if (e->str("path") != path) {
        diverge(e->line, "recorded: " + DescribeEntry(*e) + "; program: " + program);
        return ENOENT;
    }
    ++m_next;
    m_log += "replay line=" + std::to_string(e->line) + " " + program +
             (e->num("ok") ? " ok\n" : " errno=" + std::to_string(e->num("errno")) + "\n");
    return e->num("ok") ? 0 : static_cast<int>(e->num("errno", ENOENT));
}

int Replay::send(long msgid, const std::vector<uint8_t>& addr, uint8_t netfn, uint8_t cmd,
                 const std::vector<uint8_t>& data, std::vector<ReplayReply>& replies)
{
    replies.clear();
    ++m_requests;
    const std::string program = "send msgid=" + std::to_string(msgid) + " netfn=" + Hex2(netfn) +
                                " cmd=" + Hex2(cmd) + " addr=" + lumorecord::Hex(addr) +
                                " data=" + lumorecord::Hex(data);
    const lumorecord::Entry* e = expect("send", program);
    if (e == nullptr)
        return EIO;
    if (e->num("msgid", -1) != msgid || e->str("addr") != lumorecord::Hex(addr) ||
        e->num("netfn", -1) != netfn || e->num("cmd", -1) != cmd ||
        e->str("data") != lumorecord::Hex(data)) {
        diverge(e->line, "recorded: " + DescribeEntry(*e) + "; program: " + program);
        return EIO;
    }
    const size_t line = e->line;
    ++m_next;
    const int err = e->num("rc") < 0 ? static_cast<int>(e->num("errno", EIO)) : 0;
    std::string answer;
    while (err == 0 && m_next < m_entries.size() && m_entries[m_next].str("ev") == "recv") {
        const unsigned timeouts = m_timeoutsBefore[m_next];
        const lumorecord::Entry& r = m_entries[m_next++];
        ReplayReply reply;
        reply.timeoutsBefore = timeouts;
        std::vector<uint8_t> raddr;
        reply.msgid = static_cast<long>(r.num("msgid"));
        reply.netfn = static_cast<uint8_t>(r.num("netfn"));
        reply.cmd = static_cast<uint8_t>(r.num("cmd"));
        // System-interface address: type (4 bytes), channel (2), LUN (1).
        if (r.bytes("addr", raddr) && raddr.size() >= 7)
            reply.lun = raddr[6];
        if (!r.bytes("data", reply.data)) {
            diverge(r.line, "recorded reply without data");
            return EIO;
        }
        // A reply cut short for the program's buffer: one byte more than
        // fits makes the device cut it the same way.
        if (r.num("errno") == EMSGSIZE)
            reply.data.push_back(0);
        answer += " reply=" + std::to_string(reply.msgid) + ":" + r.str("data");
        if (timeouts != 0)
            answer += " after " + std::to_string(timeouts) + " timeouts";
        replies.push_back(reply);
    }
    m_log += "replay line=" + std::to_string(line) + " " + program +
             (err ? " errno=" + std::to_string(err) : answer) + "\n";
    return err;
}

void Replay::close()
{
    const lumorecord::Entry* e = expect("close", "close");
    if (e == nullptr)
        return;
    ++m_next;
    m_log += "replay line=" + std::to_string(e->line) + " close\n";
}

std::string Replay::takeLog()
{
    std::string out;
    out.swap(m_log);
    return out;
}

std::string Replay::takeReport()
{
    if (!m_stopped || m_reported)
        return "";
    m_reported = true;
    return m_stopWhy;
}

std::string Replay::stateText() const
{
    std::string s = "replay_entries=" + std::to_string(m_entries.size()) + "\n";
    s += "replay_used=" + std::to_string(m_next) + "\n";
    s += "replay_requests=" + std::to_string(m_requests) + "\n";
    if (m_stopped)
        s += "replay_status=diverged\nreplay_stopped=" + m_stopWhy + "\n";
    else
        s += m_next == m_entries.size() ? "replay_status=complete\n" : "replay_status=running\n";
    return s;
}

} // namespace simipmi
