#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "SwitchModel.h"
#include "SwitchTarget.h"
#include "TcmuLayout.h"
#include "TcmuRing.h"
#include "Topology.h"

using namespace storelibsim;
using Bytes = std::vector<uint8_t>;

namespace
{

const char kTopology[] =
    "controller id=0x05000000\n"
    "device id=0 type=0x0d serial=\"  PX1620SW1 \" product=\"LUMO PCIe Switch\" revision=1.2.10.0\n"
    "device id=1 type=0x0d serial=PX1620SW2 product=\"LUMO PCIe Switch\" revision=1.2.10.0\n"
    "fault dev=1 opcode=0x3b chunk=2 status=2 sense=700005000000000a0000000024000000\n"
    "fault dev=0 opcode=0x3b chunk=1 once=1 status=2 sense=700006000000000a0000000029010000\n";

class TargetTest : public ::testing::Test
{
protected:
    std::string dir;
    Topology topo;

    void SetUp() override
    {
        char tmpl[] = "/tmp/sim_tcmu_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        std::string error;
        ASSERT_TRUE(ParseTopology(kTopology, topo, error)) << error;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::unique_ptr<SwitchTarget> target(size_t dev)
    {
        return std::make_unique<SwitchTarget>(topo.controllers[0], topo.controllers[0].devices[dev],
                                              dir + "/image.bin", dir + "/trace.log");
    }
    std::string read(const std::string& name)
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream oss;
        oss << in.rdbuf();
        return oss.str();
    }
};

Bytes WriteBufferCdb(uint32_t offset, uint32_t len)
{
    return {0x3B,
            0x02,
            0,
            uint8_t(offset >> 16),
            uint8_t(offset >> 8),
            uint8_t(offset),
            uint8_t(len >> 16),
            uint8_t(len >> 8),
            uint8_t(len),
            0};
}

// The answers are the simulated library's, cut to the allocation length and
// to the transfer length the initiator gave.
TEST_F(TargetTest, AnswersAreTheSwitchModelsCutToWhatWasAskedFor)
{
    auto t = target(0);
    const Device& d = topo.controllers[0].devices[0];
    struct Case {
        const char* name;
        Bytes cdb;
        size_t xfer;
        Bytes expected;
    };
    const Bytes inq = StandardInquiry(d), vpd = SerialNumberPage(d), rev = RevisionRecord(d);
    const std::vector<Case> cases = {
        {"kernel scan inquiry", {0x12, 0, 0, 0, 36, 0}, 36, inq},
        {"program inquiry, 60 asked, 36 there", {0x12, 0, 0, 0, 0x3C, 0}, 60, inq},
        {"short allocation", {0x12, 0, 0, 0, 5, 0}, 5, Bytes(inq.begin(), inq.begin() + 5)},
        {"serial page", {0x12, 1, 0x80, 0, 0x1C, 0}, 28, vpd},
        {"supported pages", {0x12, 1, 0, 0, 0xFF, 0}, 255, {0x0D, 0, 0, 3, 0, 0x80, 0x83}},
        // The program's CDB names 0x3C0000 bytes; the transfer is its 60-byte buffer.
        {"revision record", {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0, 0, 0}, 60, rev},
        {"revision record, small buffer",
         {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0, 0, 0},
         14,
         Bytes(rev.begin(), rev.begin() + 14)},
    };
    for (const Case& c : cases) {
        Bytes buffer(c.xfer, 0);
        const ScsiAnswer a = t->Handle(c.cdb.data(), buffer.data(), buffer.size());
        EXPECT_EQ(0, a.status) << c.name;
        EXPECT_EQ(c.expected, a.dataIn) << c.name;
    }
    EXPECT_EQ((Bytes{1, 2, 10, 0}), Bytes(rev.begin() + 12, rev.begin() + 16));
}

TEST_F(TargetTest, UnknownCommandsAndFieldsAreIllegalRequests)
{
    auto t = target(0);
    struct Case {
        const char* name;
        Bytes cdb;
        size_t xfer;
        uint8_t asc;
    };
    const std::vector<Case> cases = {
        {"mode sense", {0x1A, 0, 0x3F, 0, 0xFF, 0}, 255, 0x20},
        {"receive diagnostic", {0x1C, 1, 0, 0, 0xFF, 0}, 255, 0x20},
        {"unknown vpd page", {0x12, 1, 0xB0, 0, 0xFF, 0}, 255, 0x24},
        {"read buffer data mode", {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 60, 0}, 60, 0x24},
        {"write buffer microcode mode", {0x3B, 0x05, 0, 0, 0, 0, 0, 0, 4, 0}, 4, 0x24},
        {"write buffer length not the transfer", WriteBufferCdb(0, 8), 4, 0x1A},
        {"write buffer past 16 MiB", WriteBufferCdb(0xFFFFFF, 2), 2, 0x24},
    };
    for (const Case& c : cases) {
        Bytes buffer(c.xfer, 0);
        const ScsiAnswer a = t->Handle(c.cdb.data(), buffer.data(), buffer.size());
        EXPECT_EQ(2, a.status) << c.name;
        ASSERT_EQ(18u, a.sense.size()) << c.name;
        EXPECT_EQ(5, a.sense[2]) << c.name;
        EXPECT_EQ(c.asc, a.sense[12]) << c.name;
        EXPECT_TRUE(a.dataIn.empty()) << c.name;
    }
}

TEST_F(TargetTest, DownloadKeepsTheImageInOrderAndRejectsTheFaultedChunk)
{
    Bytes image(70000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i * 13 + 1);
    }
    auto send = [&](SwitchTarget& t, uint32_t off, uint32_t len) {
        return t.Handle(WriteBufferCdb(off, len).data(), image.data() + off, len);
    };
    // Device 0: a one-shot unit attention on chunk 1; its resend is taken.
    {
        auto t = target(0);
        const ScsiAnswer first = send(*t, 0, 32768);
        EXPECT_EQ(2, first.status);
        EXPECT_TRUE(IsUnitAttention(first.sense));
        EXPECT_EQ(0, send(*t, 0, 32768).status);
        EXPECT_EQ(0, send(*t, 32768, 32768).status);
        EXPECT_EQ(2, send(*t, 32768 * 3, 100).status) << "a gap is refused";
        EXPECT_EQ(0, send(*t, 65536, 70000 - 65536).status);
    }
    EXPECT_EQ(std::string(image.begin(), image.end()), read("image.bin"));
    std::istringstream trace(read("trace.log"));
    std::string line;
    std::getline(trace, line);
    EXPECT_EQ("cdb=3b 02 00 00 00 00 00 80 00 00 xfer=32768 -> status=2 sense=6/29/01 chunk=1",
              line);
    std::getline(trace, line);
    EXPECT_EQ("cdb=3b 02 00 00 00 00 00 80 00 00 xfer=32768 -> status=0 chunk=1", line);

    // Device 1: chunk 2 gets CHECK CONDITION every time; a restart at 0 truncates.
    auto t = target(1);
    EXPECT_EQ(0, send(*t, 0, 32768).status);
    const ScsiAnswer rejected = send(*t, 32768, 32768);
    EXPECT_EQ(2, rejected.status);
    EXPECT_EQ(0x24, rejected.sense[12]);
    EXPECT_EQ(2, send(*t, 32768, 32768).status);
    EXPECT_EQ(32768u, read("image.bin").size());
}

// A mapping laid out as the kernel does: mailbox, ring, data area.
class Ring
{
public:
    static constexpr size_t kRingOff = 4096, kRingSize = 4096, kDataOff = 8192, kSize = 65536;
    Bytes map = Bytes(kSize, 0);
    uint32_t head = 0;
    size_t nextData = kDataOff;
    // Where each command's data went; the answer overwrites the entry's iovecs.
    std::map<uint32_t, std::vector<std::pair<size_t, size_t>>> pieceAt;

    Ring(uint16_t flags = kTcmuLayout.capReadLen, uint32_t start = 0) : head(start)
    {
        put<uint16_t>(kTcmuLayout.mbFlags, flags);
        put<uint32_t>(kTcmuLayout.mbCmdrOff, kRingOff);
        put<uint32_t>(kTcmuLayout.mbCmdrSize, kRingSize);
        put<uint32_t>(kTcmuLayout.mbCmdHead, start);
        put<uint32_t>(kTcmuLayout.mbCmdTail, start);
    }
    template <typename T> void put(size_t off, T v) { std::memcpy(&map[off], &v, sizeof(T)); }
    template <typename T> T get(size_t off) const
    {
        T v;
        std::memcpy(&v, &map[off], sizeof(T));
        return v;
    }
    void pad(uint32_t len)
    {
        put<uint32_t>(kRingOff + head, len | kTcmuLayout.opPad);
        advance(len);
    }
    // Queues one command whose data is split over `pieces` iovecs; returns its ring offset.
    uint32_t command(const Bytes& cdb, const Bytes& data, int pieces = 1)
    {
        const uint32_t at = head;
        const size_t cdbAt = nextData;
        std::memcpy(&map[cdbAt], cdb.data(), cdb.size());
        nextData += 16;
        // As the kernel sizes it: the whole entry, then the iovecs, 8-aligned.
        const size_t len = (kTcmuLayout.entrySize + pieces * kTcmuLayout.iovSize + 7) / 8 * 8;
        const size_t e = kRingOff + head;
        put<uint32_t>(e + kTcmuLayout.hdrLenOp, uint32_t(len) | kTcmuLayout.opCmd);
        put<uint32_t>(e + kTcmuLayout.reqIovCnt, pieces);
        put<uint64_t>(e + kTcmuLayout.reqCdbOff, cdbAt);
        const size_t piece = (data.size() + pieces - 1) / pieces;
        for (int i = 0; i < pieces; ++i) {
            const size_t from = i * piece, n = std::min(piece, data.size() - from);
            const size_t v = e + kTcmuLayout.reqIov + i * kTcmuLayout.iovSize;
            put<uint64_t>(v + kTcmuLayout.iovBase, nextData);
            put<uint64_t>(v + kTcmuLayout.iovLen, n);
            std::memcpy(&map[nextData], data.data() + from, n);
            pieceAt[at].emplace_back(nextData, n);
            nextData += n + 100; // not contiguous
        }
        advance(uint32_t(len));
        return at;
    }
    void advance(uint32_t len)
    {
        head = (head + len) % kRingSize;
        put<uint32_t>(kTcmuLayout.mbCmdHead, head);
    }
    uint32_t tail() const { return get<uint32_t>(kTcmuLayout.mbCmdTail); }
    uint8_t status(uint32_t at) const { return map[kRingOff + at + kTcmuLayout.rspStatus]; }
    uint8_t uflags(uint32_t at) const { return map[kRingOff + at + kTcmuLayout.hdrUflags]; }
    uint32_t readLen(uint32_t at) const
    {
        return get<uint32_t>(kRingOff + at + kTcmuLayout.rspReadLen);
    }
    Bytes iovData(uint32_t at, int i) const
    {
        const auto& p = pieceAt.at(at)[i];
        return Bytes(map.begin() + p.first, map.begin() + p.first + p.second);
    }
};

TEST(TcmuRingTest, CommandsAcrossTheWrapAreAnsweredInPlace)
{
    // Start near the end of the ring: a pad entry fills it, then the wrap.
    const uint32_t start = Ring::kRingSize - 64;
    Ring ring(kTcmuLayout.capReadLen, start);
    ring.pad(64);
    const Bytes written = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const uint32_t w = ring.command({0x3B, 2, 0, 0, 0, 0, 0, 0, 9, 0}, written, 3);
    const uint32_t r = ring.command({0x3C, 1, 0xE6, 0xE0, 7, 0, 0x3C, 0, 0, 0}, Bytes(60, 0), 2);
    const uint32_t c = ring.command({0x1A, 0, 0x3F, 0, 0xFF, 0}, Bytes(8, 0));

    std::vector<Bytes> cdbs, data;
    const CommandServer server = [&](const uint8_t* cdb, const uint8_t* d, size_t n) {
        cdbs.emplace_back(cdb, cdb + SwitchTarget::CdbLength(cdb[0]));
        data.emplace_back(d, d + n);
        if (cdb[0] == 0x3C) {
            ScsiAnswer a;
            a.dataIn.assign(40, 0xAB); // 40 of the 60 bytes
            return a;
        }
        if (cdb[0] == 0x1A) {
            return CheckCondition(5, 0x20, 0);
        }
        return ScsiAnswer();
    };
    ASSERT_EQ(4, ServeRing(ring.map.data(), ring.map.size(), server));
    EXPECT_EQ(ring.head, ring.tail());
    ASSERT_EQ(3u, cdbs.size());
    EXPECT_EQ(written, data[0]) << "gathered from three pieces";
    EXPECT_EQ((Bytes{0x3C, 1, 0xE6, 0xE0, 7, 0, 0x3C, 0, 0, 0}), cdbs[1]);
    EXPECT_EQ(60u, data[1].size());

    EXPECT_EQ(0, ring.status(w));
    EXPECT_EQ(0, ring.status(r));
    EXPECT_TRUE(ring.uflags(r) & kTcmuLayout.uflagReadLen);
    EXPECT_EQ(40u, ring.readLen(r));
    EXPECT_EQ(Bytes(30, 0xAB), ring.iovData(r, 0));
    Bytes second(30, 0);
    std::fill(second.begin(), second.begin() + 10, 0xAB);
    EXPECT_EQ(second, ring.iovData(r, 1)) << "the rest of the buffer is left alone";
    EXPECT_EQ(2, ring.status(c));
    EXPECT_EQ(0x70, ring.map[Ring::kRingOff + c + kTcmuLayout.rspSense]);
    EXPECT_EQ(0x20, ring.map[Ring::kRingOff + c + kTcmuLayout.rspSense + 12]);
    EXPECT_FALSE(ring.uflags(c) & kTcmuLayout.uflagReadLen);

    // Nothing new: nothing taken.
    EXPECT_EQ(0, ServeRing(ring.map.data(), ring.map.size(), server));
}

TEST(TcmuRingTest, KernelWithoutReadLengthGetsNoReadLength)
{
    Ring ring(0);
    const uint32_t r = ring.command({0x12, 0, 0, 0, 36, 0}, Bytes(36, 0));
    const CommandServer server = [](const uint8_t*, const uint8_t*, size_t) {
        ScsiAnswer a;
        a.dataIn.assign(10, 1);
        return a;
    };
    ASSERT_EQ(1, ServeRing(ring.map.data(), ring.map.size(), server));
    EXPECT_FALSE(ring.uflags(r) & kTcmuLayout.uflagReadLen);
}

TEST(TcmuRingTest, EntriesPointingOutsideTheMappingStopTheRing)
{
    const CommandServer server = [](const uint8_t*, const uint8_t*, size_t) {
        ADD_FAILURE() << "a bad entry reached the switch";
        return ScsiAnswer();
    };
    {
        Ring ring;
        const uint32_t at = ring.command({0x12, 0, 0, 0, 36, 0}, Bytes(36, 0));
        ring.put<uint64_t>(Ring::kRingOff + at + kTcmuLayout.reqIov + kTcmuLayout.iovLen, 1u << 20);
        EXPECT_EQ(-1, ServeRing(ring.map.data(), ring.map.size(), server));
        EXPECT_EQ(at, ring.tail());
    }
    {
        Ring ring;
        const uint32_t at = ring.command({0x12, 0, 0, 0, 36, 0}, Bytes(36, 0));
        ring.put<uint64_t>(Ring::kRingOff + at + kTcmuLayout.reqCdbOff, Ring::kSize);
        EXPECT_EQ(-1, ServeRing(ring.map.data(), ring.map.size(), server));
    }
    {
        Ring ring;
        ring.command({0x12, 0, 0, 0, 36, 0}, Bytes(36, 0));
        ring.put<uint32_t>(Ring::kRingOff, 0); // zero-length entry
        EXPECT_EQ(-1, ServeRing(ring.map.data(), ring.map.size(), server));
    }
}

} // namespace
