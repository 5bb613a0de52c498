#include "ExtBmcSession.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

using namespace simipmi::extbmc;

namespace
{

class FakeLink : public ILink
{
public:
    std::deque<std::vector<uint8_t>> reads; // chunks handed out in order; then EOF
    std::vector<uint8_t> written;
    std::vector<unsigned> sleeps;
    bool failWrites = false;
    bool failRead = false;

    long readSome(uint8_t* buf, size_t cap) override
    {
        if (reads.empty())
            return failRead ? -1 : 0;
        std::vector<uint8_t>& c = reads.front();
        size_t n = std::min(cap, c.size());
        std::copy(c.begin(), c.begin() + static_cast<long>(n), buf);
        c.erase(c.begin(), c.begin() + static_cast<long>(n));
        if (c.empty())
            reads.pop_front();
        return static_cast<long>(n);
    }
    bool writeAll(const std::vector<uint8_t>& bytes) override
    {
        if (failWrites)
            return false;
        written.insert(written.end(), bytes.begin(), bytes.end());
        return true;
    }
    void sleepMs(unsigned ms) override { sleeps.push_back(ms); }
};

class ScriptedHandler : public IRequestHandler
{
public:
    std::vector<Request> seen;
    std::deque<Answer> answers;
    Answer handle(const Request& req) override
    {
        seen.push_back(req);
        Answer a = answers.empty() ? Answer{} : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return a;
    }
};

std::vector<uint8_t> requestWire(uint8_t seq, uint8_t netfn, uint8_t cmd, std::vector<uint8_t> data)
{
    std::vector<uint8_t> p = {seq, static_cast<uint8_t>(netfn << 2), cmd};
    for (uint8_t b : data)
        p.push_back(b);
    p.push_back(checksumFor(p.data(), p.size()));
    return encodeFrame(p, false);
}

std::vector<Frame> decodeAll(const std::vector<uint8_t>& wire)
{
    FrameDecoder d;
    std::vector<Frame> out;
    d.feed(wire.data(), wire.size(), out);
    return out;
}

} // namespace

// Connect handshake, then three requests: answered, silent, delayed. Only
// the answered and delayed ones produce reply frames, in order, and the
// delay goes through the link's clock.
TEST(ExtBmcSession, AnswersSilencesAndDelaysAsTheControllerSays)
{
    FakeLink link;
    link.reads.push_back({0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1});
    link.reads.push_back(requestWire(1, 0x30, 0xAD, {}));
    link.reads.push_back(requestWire(2, 0x30, 0xBD, {0x01}));
    link.reads.push_back(requestWire(3, 0x30, 0xAE, {}));

    ScriptedHandler h;
    Answer ok;
    ok.data = {0x01};
    Answer silent;
    silent.silent = true;
    Answer late;
    late.delayMs = 1500;
    late.cc = 0xC0;
    h.answers = {ok, silent, late};

    std::ostringstream trace;
    Session s(h, link, trace);
    EXPECT_EQ(s.run(), 0);
    EXPECT_EQ(s.peerVersion(), 1u);
    ASSERT_EQ(h.seen.size(), 3u);
    EXPECT_EQ(h.seen[1].cmd, 0xBD);
    EXPECT_EQ(h.seen[1].data, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(link.sleeps, (std::vector<unsigned>{1500}));
    EXPECT_EQ(s.requests(), 3u);
    EXPECT_EQ(s.replies(), 2u);

    std::vector<Frame> out = decodeAll(link.written);
    ASSERT_EQ(out.size(), 2u);
    Request back;
    std::string why;
    // A well-formed reply also passes the request checks (sum 0, length).
    ASSERT_TRUE(parseRequest(out[0].payload, back, why)) << why;
    EXPECT_EQ(out[0].payload, (std::vector<uint8_t>{0x01, 0x31 << 2, 0xAD, 0x00, 0x01, 0x8D}));
    EXPECT_EQ(out[1].payload[0], 3);
    EXPECT_EQ(out[1].payload[3], 0xC0);
    EXPECT_NE(trace.str().find("silent"), std::string::npos);
}

// Garbage on the link is dropped without reaching the controller and does
// not stop the next good request from being served.
TEST(ExtBmcSession, DropsCorruptFramesAndKeepsServing)
{
    FakeLink link;
    std::vector<uint8_t> bad = requestWire(5, 0x06, 0x01, {});
    bad[bad.size() - 2] ^= 0x01; // checksum
    link.reads.push_back(bad);
    link.reads.push_back({0x18, 0xA0}); // too short
    link.reads.push_back(requestWire(6, 0x06, 0x01, {}));
    ScriptedHandler h;
    std::ostringstream trace;
    Session s(h, link, trace);
    EXPECT_EQ(s.run(), 0);
    EXPECT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(s.dropped(), 2u);
    std::vector<Frame> out = decodeAll(link.written);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].payload[0], 6);
}

TEST(ExtBmcSession, ReportsLinkFailures)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool failWrites;
        bool failRead;
    };
    const Case cases[] = {
        {"closed inside a frame", {0x01, 0x18}, false, false},
        {"reply cannot be written", requestWire(1, 0x06, 0x01, {}), true, false},
        {"read error", {0xFF, 0x01, 0xA1}, false, true},
    };
    for (const Case& c : cases) {
        FakeLink link;
        link.reads.push_back(c.bytes);
        link.failWrites = c.failWrites;
        link.failRead = c.failRead;
        ScriptedHandler h;
        std::ostringstream trace;
        Session s(h, link, trace);
        EXPECT_EQ(s.run(), 1) << c.name;
    }
}
