#include "ExtBmcSession.h"

#include <cstdio>

namespace simipmi
{
namespace extbmc
{

namespace
{
std::string hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02x", v & 0xFFu);
    return b;
}
} // namespace

Session::Session(IRequestHandler& handler, ILink& link, std::ostream& trace)
    : handler_(handler), link_(link), trace_(trace)
{
}

int Session::run()
{
    uint8_t buf[512];
    for (;;) {
        long n = link_.readSome(buf, sizeof buf);
        if (n < 0) {
            trace_ << "link read failed" << std::endl;
            return 1;
        }
        if (n == 0) {
            if (decoder_.midFrame()) {
                trace_ << "link closed inside a frame" << std::endl;
                return 1;
            }
            trace_ << "link closed" << std::endl;
            return 0;
        }
        if (!onBytes(buf, static_cast<size_t>(n)))
            return 1;
    }
}

bool Session::onBytes(const uint8_t* bytes, size_t count)
{
    std::vector<Frame> frames;
    decoder_.feed(bytes, count, frames);
    for (const Frame& f : frames) {
        if (!onFrame(f))
            return false;
    }
    return true;
}

bool Session::onFrame(const Frame& f)
{
    if (f.broken) {
        ++dropped_;
        trace_ << "dropped broken " << (f.control ? "control" : "message")
               << " frame: " << hexBytes(f.payload) << std::endl;
        return true;
    }
    if (f.control) {
        onControl(f);
        return true;
    }
    Request req;
    std::string why;
    if (!parseRequest(f.payload, req, why)) {
        ++dropped_;
        trace_ << "dropped message frame (" << why << "): " << hexBytes(f.payload) << std::endl;
        return true;
    }
    ++requests_;
    trace_ << "request seq=" << hex2(req.seq) << " netfn=" << hex2(req.netfn)
           << " lun=" << unsigned(req.lun) << " cmd=" << hex2(req.cmd) << " data=["
           << hexBytes(req.data) << "]" << std::endl;
    Answer a = handler_.handle(req);
    if (a.silent) {
        trace_ << "  silent" << std::endl;
        return true;
    }
    if (a.delayMs)
        link_.sleepMs(a.delayMs);
    std::vector<uint8_t> wire = encodeFrame(buildReply(req, a.cc, a.data), false);
    trace_ << "  reply cc=" << hex2(a.cc) << " data=[" << hexBytes(a.data) << "]";
    if (a.delayMs)
        trace_ << " after " << a.delayMs << " ms";
    trace_ << std::endl;
    if (!link_.writeAll(wire)) {
        trace_ << "link write failed" << std::endl;
        return false;
    }
    ++replies_;
    return true;
}

void Session::onControl(const Frame& f)
{
    if (f.payload.size() == 2 && f.payload[0] == kCtrlVersion) {
        peerVersion_ = f.payload[1];
        trace_ << "control version " << peerVersion_ << std::endl;
    } else if (f.payload.size() == 2 && f.payload[0] == kCtrlCapabilities) {
        trace_ << "control capabilities " << hex2(f.payload[1]) << std::endl;
    } else if (f.payload.size() == 1 && f.payload[0] == kCtrlReset) {
        trace_ << "control reset" << std::endl;
    } else {
        trace_ << "control " << hexBytes(f.payload) << std::endl;
    }
}

} // namespace extbmc
} // namespace simipmi
