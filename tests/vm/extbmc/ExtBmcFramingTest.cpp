#include "ExtBmcFraming.h"

#include <gtest/gtest.h>

using namespace simipmi::extbmc;

namespace
{

std::vector<Frame> decodeAll(const std::vector<uint8_t>& wire)
{
    FrameDecoder d;
    std::vector<Frame> out;
    d.feed(wire.data(), wire.size(), out);
    return out;
}

} // namespace

// Bytes captured from QEMU 7.2 at connect and for the kernel's first request.
TEST(ExtBmcFraming, DecodesWhatQemuSendsOnConnect)
{
    std::vector<uint8_t> wire = {0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1, 0x00, 0x18, 0x01, 0xE7, 0xA0};
    std::vector<Frame> f = decodeAll(wire);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_TRUE(f[0].control);
    EXPECT_EQ(f[0].payload, (std::vector<uint8_t>{0xFF, 0x01}));
    EXPECT_TRUE(f[1].control);
    EXPECT_EQ(f[1].payload, (std::vector<uint8_t>{0x08, 0x3F}));
    EXPECT_FALSE(f[2].control);

    Request r;
    std::string why;
    ASSERT_TRUE(parseRequest(f[2].payload, r, why)) << why;
    EXPECT_EQ(r.seq, 0x00);
    EXPECT_EQ(r.netfn, 0x06);
    EXPECT_EQ(r.lun, 0);
    EXPECT_EQ(r.cmd, 0x01);
    EXPECT_TRUE(r.data.empty());
}

// Every special byte, wherever it stands, survives encode + decode, and the
// wire never shows a special byte before the end byte.
TEST(ExtBmcFraming, EscapesSpecialBytesBothWays)
{
    const std::vector<std::vector<uint8_t>> payloads = {
        {},
        {0xA0},
        {0xA1, 0xAA},
        {0x30, 0xAA, 0x00, 0xA0, 0xA1, 0xB0, 0xB1, 0xBA},
        {0xAA, 0xAA, 0xAA},
    };
    for (const auto& p : payloads) {
        for (bool control : {false, true}) {
            std::vector<uint8_t> wire = encodeFrame(p, control);
            ASSERT_FALSE(wire.empty());
            EXPECT_EQ(wire.back(), control ? kCtrlEnd : kMsgEnd);
            for (size_t i = 0; i + 1 < wire.size(); ++i) {
                EXPECT_NE(wire[i], kMsgEnd);
                EXPECT_NE(wire[i], kCtrlEnd);
                if (wire[i] == kEscape) {
                    ASSERT_LT(i + 2, wire.size());
                    ++i; // the escaped byte itself is plain
                }
            }
            std::vector<Frame> f = decodeAll(wire);
            ASSERT_EQ(f.size(), 1u);
            EXPECT_EQ(f[0].control, control);
            EXPECT_FALSE(f[0].broken);
            EXPECT_EQ(f[0].payload, p);
        }
    }
    EXPECT_EQ(encodeFrame({0xA0, 0xA1, 0xAA}, false),
              (std::vector<uint8_t>{0xAA, 0xB0, 0xAA, 0xB1, 0xAA, 0xBA, 0xA0}));
}

// A socket hands out bytes in arbitrary pieces; splitting the stream at every
// position (also between an escape and its byte) gives the same frames.
TEST(ExtBmcFraming, DecodesStreamSplitAnywhere)
{
    std::vector<uint8_t> wire = {0xFF, 0x01, 0xA1, 0x05, 0x18, 0xAA, 0xBA, 0x01, 0xA0};
    std::vector<Frame> whole = decodeAll(wire);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[1].payload, (std::vector<uint8_t>{0x05, 0x18, 0xAA, 0x01}));
    for (size_t cut = 1; cut < wire.size(); ++cut) {
        FrameDecoder d;
        std::vector<Frame> out;
        d.feed(wire.data(), cut, out);
        d.feed(wire.data() + cut, wire.size() - cut, out);
        ASSERT_EQ(out.size(), whole.size()) << "cut at " << cut;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].payload, whole[i].payload) << "cut at " << cut;
            EXPECT_EQ(out[i].control, whole[i].control);
        }
        EXPECT_FALSE(d.midFrame());
    }
}

TEST(ExtBmcFraming, MarksBrokenFramesAndRecovers)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> wire;
    };
    std::vector<uint8_t> tooLong(kMaxFrameBytes + 5, 0x11);
    tooLong.push_back(kMsgEnd);
    const Case cases[] = {
        {"end byte right after escape", {0x01, 0x02, 0xAA, 0xA0}},
        {"longer than any message", tooLong},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> wire = c.wire;
        // A good frame after the broken one must come through untouched.
        for (uint8_t b : {0x07, 0x18, 0x01, 0xE0, 0xA0})
            wire.push_back(b);
        std::vector<Frame> f = decodeAll(wire);
        ASSERT_EQ(f.size(), 2u) << c.name;
        EXPECT_TRUE(f[0].broken) << c.name;
        EXPECT_FALSE(f[1].broken) << c.name;
        EXPECT_EQ(f[1].payload, (std::vector<uint8_t>{0x07, 0x18, 0x01, 0xE0})) << c.name;
    }
}

TEST(ExtBmcFraming, RejectsShortAndCorruptRequests)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
    };
    const Case cases[] = {
        {"empty", {}},
        {"no checksum", {0x01, 0x18, 0x01}},
        {"checksum off by one", {0x00, 0x18, 0x01, 0xE8}},
        {"data byte flipped", {0x02, 0xC0, 0xAD, 0x03, 0x90}},
    };
    for (const Case& c : cases) {
        Request r;
        std::string why;
        EXPECT_FALSE(parseRequest(c.payload, r, why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

// The reply carries the request's sequence and LUN, the response NetFn and a
// checksum over everything, and its escaping does not disturb the checksum.
TEST(ExtBmcFraming, BuildsReplyThatQemuAccepts)
{
    Request req;
    req.seq = 0x42;
    req.netfn = 0x30;
    req.lun = 2;
    req.cmd = 0xA2;
    std::vector<uint8_t> data = {0x12, 0xA0, 0x34};
    std::vector<uint8_t> p = buildReply(req, 0x00, data);
    ASSERT_EQ(p.size(), 8u);
    EXPECT_EQ(p[0], 0x42);
    EXPECT_EQ(p[1], (0x31 << 2) | 2);
    EXPECT_EQ(p[2], 0xA2);
    EXPECT_EQ(p[3], 0x00);
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + 4, p.end() - 1), data);
    unsigned sum = 0;
    for (uint8_t b : p)
        sum += b;
    EXPECT_EQ(sum % 256, 0u);

    std::vector<Frame> f = decodeAll(encodeFrame(p, false));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].payload, p);

    // An odd NetFn (already a response code) stays odd, not bumped.
    req.netfn = 0x07;
    EXPECT_EQ(buildReply(req, 0xC1, {})[1], (0x07 << 2) | 2);
}
