// One connection of the external-BMC link: frames in, requests to the
// controller, replies out. The socket and the clock sit behind ILink so the
// whole exchange can be driven from a test.
#pragma once

#include "ExtBmcFraming.h"

#include <ostream>

namespace simipmi
{
namespace extbmc
{

// What the controller wants delivered for one request.
struct Answer {
    bool silent = false;  // send nothing; QEMU times the request out itself
    unsigned delayMs = 0; // wait this long before sending
    uint8_t cc = 0;
    std::vector<uint8_t> data;
};

class IRequestHandler
{
public:
    virtual ~IRequestHandler() = default;
    virtual Answer handle(const Request& req) = 0;
};

class ILink
{
public:
    virtual ~ILink() = default;
    // Bytes read into buf (at most cap); 0 when the peer closed, -1 on error.
    virtual long readSome(uint8_t* buf, size_t cap) = 0;
    virtual bool writeAll(const std::vector<uint8_t>& bytes) = 0;
    virtual void sleepMs(unsigned ms) = 0;
};

class Session
{
public:
    Session(IRequestHandler& handler, ILink& link, std::ostream& trace);

    // Serves requests until the peer closes the link. 0 when it closed
    // between frames, 1 on a read or write error or a close mid-frame.
    int run();

    // Handles received bytes; false when a reply could not be written.
    bool onBytes(const uint8_t* bytes, size_t count);

    unsigned requests() const { return requests_; }
    unsigned replies() const { return replies_; }
    unsigned dropped() const { return dropped_; }
    // Protocol version announced by QEMU's control frame (0: none yet).
    unsigned peerVersion() const { return peerVersion_; }

private:
    bool onFrame(const Frame& f);
    void onControl(const Frame& f);

    IRequestHandler& handler_;
    ILink& link_;
    std::ostream& trace_;
    FrameDecoder decoder_;
    unsigned requests_ = 0;
    unsigned replies_ = 0;
    unsigned dropped_ = 0;
    unsigned peerVersion_ = 0;
};

} // namespace extbmc
} // namespace simipmi
