// Byte framing of the external-BMC link that QEMU's ipmi-bmc-extern device
// speaks over a character device. A frame is a run of bytes closed by 0xA0
// (an IPMI message) or 0xA1 (a control command); the three special bytes are
// escaped inside a frame as 0xAA followed by the byte with bit 4 set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simipmi
{
namespace extbmc
{

constexpr uint8_t kMsgEnd = 0xA0;
constexpr uint8_t kCtrlEnd = 0xA1;
constexpr uint8_t kEscape = 0xAA;
constexpr uint8_t kEscapeBit = 0x10;

// Longest frame kept: an IPMI message of at most 300 bytes plus sequence and
// checksum, as QEMU's own buffer holds; anything longer is marked broken.
constexpr size_t kMaxFrameBytes = 302;

// Control commands of the link (first byte of a control frame).
constexpr uint8_t kCtrlVersion = 0xFF;
constexpr uint8_t kCtrlCapabilities = 0x08;
constexpr uint8_t kCtrlReset = 0x04;

struct Frame {
    bool control = false;
    // Set when the frame cannot be trusted: it ended inside an escape or ran
    // past kMaxFrameBytes. Its payload is what was kept.
    bool broken = false;
    std::vector<uint8_t> payload;
};

// Turns the received byte stream into frames. Bytes may arrive split at any
// point; a frame is reported only once its end byte has been seen.
class FrameDecoder
{
public:
    void feed(const uint8_t* bytes, size_t count, std::vector<Frame>& out);
    // Bytes of an unfinished frame are pending.
    bool midFrame() const { return !cur_.empty() || escape_ || overflow_; }

private:
    std::vector<uint8_t> cur_;
    bool escape_ = false;
    bool overflow_ = false;
};

// The escaped bytes of one frame, end byte included.
std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, bool control);

// The byte that brings the sum of bytes [p, p+n) plus itself to 0 mod 256.
uint8_t checksumFor(const uint8_t* p, size_t n);

struct Request {
    uint8_t seq = 0;
    uint8_t netfn = 0;
    uint8_t lun = 0;
    uint8_t cmd = 0;
    std::vector<uint8_t> data;
};

// Message payload (seq, NetFn<<2|LUN, command, data..., checksum) to a
// request. Returns false and says why for a short frame or a bad checksum.
bool parseRequest(const std::vector<uint8_t>& payload, Request& out, std::string& why);

// Reply payload: seq, (NetFn|1)<<2|LUN, command, completion code, data,
// checksum (not yet escaped).
std::vector<uint8_t> buildReply(const Request& req, uint8_t cc, const std::vector<uint8_t>& data);

// "18 01 e7" style text for traces.
std::string hexBytes(const std::vector<uint8_t>& bytes);

} // namespace extbmc
} // namespace simipmi
