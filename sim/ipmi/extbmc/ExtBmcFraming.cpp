#include "ExtBmcFraming.h"

#include <cstdio>

namespace simipmi
{
namespace extbmc
{

void FrameDecoder::feed(const uint8_t* bytes, size_t count, std::vector<Frame>& out)
{
    for (size_t i = 0; i < count; ++i) {
        uint8_t b = bytes[i];
        if (b == kMsgEnd || b == kCtrlEnd) {
            Frame f;
            f.control = (b == kCtrlEnd);
            f.broken = escape_ || overflow_;
            f.payload.swap(cur_);
            out.push_back(std::move(f));
            cur_.clear();
            escape_ = false;
            overflow_ = false;
            continue;
        }
        if (b == kEscape) {
            escape_ = true;
            continue;
        }
        if (escape_) {
            b = static_cast<uint8_t>(b & ~kEscapeBit);
            escape_ = false;
        }
        if (cur_.size() >= kMaxFrameBytes) {
            overflow_ = true;
            continue;
        }
        cur_.push_back(b);
    }
}

std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, bool control)
{
    std::vector<uint8_t> out;
    out.reserve(payload.size() + 4);
    for (uint8_t b : payload) {
        if (b == kMsgEnd || b == kCtrlEnd || b == kEscape) {
            out.push_back(kEscape);
            out.push_back(static_cast<uint8_t>(b | kEscapeBit));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(control ? kCtrlEnd : kMsgEnd);
    return out;
}

uint8_t checksumFor(const uint8_t* p, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

bool parseRequest(const std::vector<uint8_t>& payload, Request& out, std::string& why)
{
    // seq, NetFn/LUN, command and checksum at least.
    if (payload.size() < 4) {
        why = "message frame of " + std::to_string(payload.size()) + " bytes is too short";
        return false;
    }
    if (checksumFor(payload.data(), payload.size()) != 0) {
        why = "message frame checksum does not add up to 0";
        return false;
    }
    out.seq = payload[0];
    out.netfn = static_cast<uint8_t>(payload[1] >> 2);
    out.lun = static_cast<uint8_t>(payload[1] & 0x03);
    out.cmd = payload[2];
    out.data.assign(payload.begin() + 3, payload.end() - 1);
    return true;
}

std::vector<uint8_t> buildReply(const Request& req, uint8_t cc, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> p;
    p.reserve(data.size() + 5);
    p.push_back(req.seq);
    p.push_back(static_cast<uint8_t>(((req.netfn | 1) << 2) | (req.lun & 0x03)));
    p.push_back(req.cmd);
    p.push_back(cc);
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(checksumFor(p.data(), p.size()));
    return p;
}

std::string hexBytes(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
        s += buf;
    }
    return s;
}

} // namespace extbmc
} // namespace simipmi
