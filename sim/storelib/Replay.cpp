#include "Replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "StoreLibDecode.h"

namespace storelibsim
{
namespace
{

using lumorecord::CommandView;

std::string Hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

// Where two byte strings first differ, "" when equal.
std::string FirstDifference(const char* what, const std::vector<uint8_t>& recorded,
                            const std::vector<uint8_t>& sent)
{
    const size_t n = recorded.size() < sent.size() ? recorded.size() : sent.size();
    for (size_t i = 0; i < n; ++i) {
        if (recorded[i] != sent[i]) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "%s byte %zu: recorded %02x, program %02x", what, i,
                          recorded[i], sent[i]);
            return buf;
        }
    }
    if (recorded.size() != sent.size()) {
        return std::string(what) + " length: recorded " + std::to_string(recorded.size()) +
               ", program " + std::to_string(sent.size());
    }
    return "";
}

} // namespace

Replay::Replay(const std::string& transcriptPath, const std::string& outDir) : m_outDir(outDir)
{
    lumorecord::Transcript t;
    std::string error;
    if (!lumorecord::LoadTranscript(transcriptPath, t, error)) {
        m_stopped = true;
        m_stopWhy = "transcript unusable: " + error;
        return;
    }
    for (lumorecord::Entry& e : t.entries) {
        if (e.str("b") == "storelib" && e.str("ev") == "call")
            m_calls.push_back(std::move(e));
    }
}

uint32_t Replay::stop(size_t line, const std::string& why, std::string& trace, std::string& report)
{
    m_stopped = true;
    m_stopLine = line;
    m_stopWhy = why;
    m_reported = true;
    report = why;
    trace = "REPLAY DIVERGENCE " + why + " -> rc=" + Hex32(kErrReplay);
    writeState();
    return kErrReplay;
}

uint32_t Replay::handle(uint8_t* rec, std::string& trace, std::string& report)
{
    if (m_stopped) {
        if (!m_reported) {
            report = m_stopWhy;
            m_reported = true;
        }
        trace = "REPLAY STOPPED " + m_stopWhy + " -> rc=" + Hex32(kErrReplay);
        writeState();
        return kErrReplay;
    }
    const CommandView c = lumorecord::DecodeCommand(rec, lumorecord::kCmdRecordSize);
    uint8_t* data = lumorecord::DataPointer(rec);
    const long n = lumorecord::BufferSize(c, data);
    std::vector<uint8_t> sent;
    if (n > 0)
        sent.assign(data, data + n);
    const std::string program = lumorecord::Describe(c, sent);

    if (m_next >= m_calls.size()) {
        const size_t last = m_calls.empty() ? 1 : m_calls.back().line;
        return stop(last,
                    "transcript has no command after line " + std::to_string(last) +
                        "; program sends " + program,
                    trace, report);
    }
    const lumorecord::Entry& e = m_calls[m_next];
    std::vector<uint8_t> recRec;
    std::vector<uint8_t> recIn;
    e.bytes("rec", recRec);
    const bool hasIn = e.bytes("in", recIn);
    const CommandView rc = lumorecord::DecodeCommand(recRec.data(), recRec.size());
    const std::string recorded = lumorecord::Describe(rc, recIn);
    const std::string where = "transcript line " + std::to_string(e.line);

    const std::vector<uint8_t> record(rec, rec + lumorecord::kCmdRecordKept);
    std::string diff = FirstDifference("record", recRec, record);
    if (diff.empty() && e.num("ptr", -1) != (c.hasData ? 1 : 0))
        diff = "data pointer: recorded " + std::string(e.num("ptr") ? "set" : "null") +
               ", program " + (c.hasData ? "set" : "null");
    if (diff.empty() && e.str("layout") == "raw" && n >= 0)
        diff = "recorded without a buffer, program's command has one";
    if (diff.empty() && hasIn)
        diff = FirstDifference("data", recIn, sent);
    if (!diff.empty()) {
        return stop(e.line,
                    "divergence at " + where + ": recorded " + recorded + "; program " + program +
                        "; " + diff,
                    trace, report);
    }

    std::vector<uint8_t> out;
    if (e.bytes("out", out)) {
        if (out.size() != sent.size())
            return stop(e.line, where + ": recorded answer does not fit the buffer", trace, report);
        std::memcpy(data, out.data(), out.size());
    } else {
        out = sent;
    }
    std::vector<uint8_t> recOut;
    if (e.bytes("rec_out", recOut) && recOut.size() == lumorecord::kCmdRecordKept)
        std::memcpy(rec, recOut.data(), recOut.size());
    const uint32_t result = static_cast<uint32_t>(e.num("rc"));
    ++m_next;

    lumorecord::PassThruView pt;
    if (result == 0 && c.op == lumorecord::StoreLibOp::PassThru &&
        lumorecord::DecodePassThru(out, pt) && pt.scsi == "WRITE_BUFFER" && pt.status == 0)
        keepImage(c.ctrl, out);

    trace = "REPLAY line=" + std::to_string(e.line) + " " + program + " -> rc=" + Hex32(result);
    writeState();
    return result;
}

void Replay::keepImage(uint32_t ctrl, const std::vector<uint8_t>& buffer)
{
    lumorecord::PassThruView pt;
    if (!lumorecord::DecodePassThru(buffer, pt) || buffer.size() < 64 + size_t(pt.dataLength))
        return;
    char name[64];
    std::snprintf(name, sizeof name, "/received_%08X_%u.bin", ctrl, pt.dev);
    const std::string path = m_outDir + name;
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (pt.wbOffset == 0 ? O_TRUNC : 0);
    const int fd = open(path.c_str(), flags, 0644);
    if (fd < 0)
        return;
    ssize_t w = pwrite(fd, buffer.data() + 64, pt.dataLength, pt.wbOffset);
    (void)w;
    close(fd);
}

std::string Replay::stateText() const
{
    std::string s = "commands=" + std::to_string(m_calls.size()) + "\n";
    s += "replayed=" + std::to_string(m_next) + "\n";
    if (m_stopped)
        s += "stopped=" + m_stopWhy + "\nstatus=diverged\n";
    else
        s += m_next == m_calls.size() ? "stopped=-\nstatus=complete\n"
                                      : "stopped=-\nstatus=running\n";
    return s;
}

void Replay::writeState() const
{
    const std::string path = m_outDir + "/storelib_replay.state";
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    const std::string text = stateText();
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (ok)
        rename(tmp.c_str(), path.c_str());
}

} // namespace storelibsim
