#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
typedef uint32_t (*Entry)(void*);

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}
uint16_t Get16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A 40-byte command record pointing at `data`.
Bytes Record(uint8_t type, uint8_t cmd, uint8_t flags, uint32_t ctrl, uint16_t dev, void* data,
             uint32_t size)
{
    Bytes r(40, 0);
    r[0] = type;
    r[1] = cmd;
    r[2] = flags;
    Put32(&r[4], ctrl);
    Put16(&r[8], dev);
    Put32(&r[28], size);
    const uint64_t p = reinterpret_cast<uintptr_t>(data);
    for (int i = 0; i < 8; ++i) {
        r[32 + i] = uint8_t(p >> (8 * i));
    }
    return r;
}

// Pass-through record: 64-byte header, data, `spare` extra bytes.
Bytes PassThru(uint16_t dev, uint8_t dir, const Bytes& cdb, const Bytes& data, size_t spare)
{
    Bytes pt(64 + data.size() + spare, 0);
    Put16(&pt[0], dev);
    Put16(&pt[2], 1);
    pt[4] = dir;
    Put16(&pt[8], 30);
    pt[11] = uint8_t(cdb.size());
    std::memcpy(&pt[12], cdb.data(), cdb.size());
    Put32(&pt[60], uint32_t(data.size()));
    std::memcpy(pt.data() + 64, data.data(), data.size());
    return pt;
}

Bytes WriteBufferCdb(uint32_t offset, uint32_t len)
{
    return {0x3B,
            0x02,
            0x00,
            uint8_t(offset >> 16),
            uint8_t(offset >> 8),
            uint8_t(offset),
            uint8_t(len >> 16),
            uint8_t(len >> 8),
            uint8_t(len),
            0x00};
}

const char kTopology[] =
    "# test topology\n"
    "controller id=0x05000000\n"
    "device id=8 type=0x0d serial=\"  PX1620SW1 \" product=\"LUMO PCIe Switch\" "
    "revision=1.2.10.0\n"
    "device id=9 type=0x1f serial=\"PX1620SW2\" vpd_len=40\n"
    "fault dev=9 opcode=0x3b chunk=2 status=2 sense=700005000000000a0000000024000000ff\n"
    "fault dev=9 opcode=0x12 evpd=0 result=0x4021\n"
    "controller id=0x05000001 pdlist_result=0x11\n";

class SimTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/storelib_sim_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        writeTopology(kTopology);
        setenv("STORELIB_SIM_TOPOLOGY", (dir + "/topo.conf").c_str(), 1);
        unsetenv("STORELIB_SIM_OUTDIR");
        handle = dlopen(STORELIB_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle) << dlerror();
        entry = reinterpret_cast<Entry>(dlsym(handle, "ProcessLibCommandIT"));
        ASSERT_NE(nullptr, entry);
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    void writeTopology(const std::string& text) { std::ofstream(dir + "/topo.conf") << text; }
    std::string read(const std::string& name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream oss;
        oss << in.rdbuf();
        return oss.str();
    }
    std::vector<std::string> traceLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(read("storelib_trace.log"));
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    uint32_t send(Bytes record) { return entry(record.data()); }
    uint32_t init(Bytes& list)
    {
        list.assign(260, 0xFF);
        return send(Record(0, 0, 1, 0x05000000, 0, list.data(), 260));
    }
    uint32_t passThru(uint32_t ctrl, Bytes& pt, uint32_t size = 0)
    {
        return send(
            Record(6, 0, 0, ctrl, Get16(pt.data()), pt.data(), size ? size : uint32_t(pt.size())));
    }

    std::string dir;
    void* handle = nullptr;
    Entry entry = nullptr;
};

TEST_F(SimTest, ServesTheTopologyInTheRecordLayouts)
{
    Bytes list;
    ASSERT_EQ(0u, init(list));
    EXPECT_EQ(2, Get16(&list[0]));
    EXPECT_EQ(0, Get16(&list[2]));
    EXPECT_EQ(0x05000000u, Get32(&list[4]));
    EXPECT_EQ(0x05000001u, Get32(&list[8]));
    EXPECT_EQ(0u, Get32(&list[12]));

    Bytes pd(6152, 0);
    ASSERT_EQ(0u, send(Record(1, 4, 0, 0x05000000, 0, pd.data(), 6152)));
    EXPECT_EQ(2u, Get32(&pd[4]));
    EXPECT_EQ(8, Get16(&pd[8 + 0]));
    EXPECT_EQ(0x0D, pd[8 + 6]);
    EXPECT_EQ(9, Get16(&pd[8 + 24]));
    EXPECT_EQ(0x1F, pd[8 + 24 + 6]);
    EXPECT_EQ(0x11u, send(Record(1, 4, 0, 0x05000001, 0, pd.data(), 6152)));

    Bytes vpd = PassThru(8, 2, {0x12, 0x01, 0x80, 0x00, 0x1C, 0x00}, Bytes(28, 0), 1);
    ASSERT_EQ(0u, passThru(0x05000000, vpd));
    EXPECT_EQ(0x80, vpd[64 + 1]);
    EXPECT_EQ(12, vpd[64 + 3]);
    EXPECT_EQ("  PX1620SW1 ", std::string(vpd.begin() + 68, vpd.begin() + 80));

    // Page length 40 with a 28-byte buffer: only what fits is written.
    Bytes vpd9 = PassThru(9, 2, {0x12, 0x01, 0x80, 0x00, 0x1C, 0x00}, Bytes(28, 0), 1);
    ASSERT_EQ(0u, passThru(0x05000000, vpd9));
    EXPECT_EQ(40, vpd9[64 + 3]);
    EXPECT_EQ(0, vpd9[64 + 28]); // the spare byte is untouched

    Bytes inq = PassThru(8, 2, {0x12, 0x00, 0x00, 0x00, 0x3C, 0x00}, Bytes(60, 0), 1);
    ASSERT_EQ(0u, passThru(0x05000000, inq));
    EXPECT_EQ("LUMO PCIe Switch", std::string(inq.begin() + 64 + 16, inq.begin() + 64 + 32));

    Bytes rb = PassThru(8, 2, {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0x00, 0x00, 0x00},
                        Bytes(60, 0), 1);
    ASSERT_EQ(0u, passThru(0x05000000, rb));
    EXPECT_EQ((Bytes{1, 2, 10, 0}), Bytes(rb.begin() + 64 + 12, rb.begin() + 64 + 16));
    EXPECT_EQ(16u, Get32(&rb[60])) << "data length: the 16 bytes the switch sent";
    EXPECT_EQ(36u, Get32(&inq[60]));

    const std::vector<std::string> trace = traceLines();
    ASSERT_GE(trace.size(), 1u);
    EXPECT_EQ("INIT_LIB ctrl=0x05000000 flags=1 size=260 -> rc=0x0 count=2", trace[0]);
    EXPECT_EQ("READ_BUFFER ctrl=0x05000000 dev=8 len=60 size=125 cdb=3c 01 e6 e0 07 00 3c 00 00 "
              "00 -> rc=0x0 status=0",
              trace.back());
}

TEST_F(SimTest, KeepsTheImageAndRejectsTheFaultedChunk)
{
    Bytes list;
    ASSERT_EQ(0u, init(list));
    Bytes image(40000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i * 7 + 3);
    }
    for (uint16_t dev : {8, 9}) {
        Bytes first(image.begin(), image.begin() + 32768);
        Bytes last(image.begin() + 32768, image.end());
        Bytes c1 = PassThru(dev, 1, WriteBufferCdb(0, 32768), first, 0);
        Bytes c2 = PassThru(dev, 1, WriteBufferCdb(32768, uint32_t(last.size())), last, 0);
        EXPECT_EQ(0u, passThru(0x05000000, c1));
        EXPECT_EQ(0u, passThru(0x05000000, c2));
        if (dev == 9) {
            EXPECT_EQ(2, c2[10]);
            EXPECT_EQ(0x70, c2[28]);
            EXPECT_EQ(0x24, c2[28 + 12]);
        }
    }
    EXPECT_EQ(std::string(image.begin(), image.end()), read("received_05000000_8.bin"));
    EXPECT_EQ(32768u, read("received_05000000_9.bin").size());
}

volatile sig_atomic_t gSeenSignal = 0;
extern "C" void NoteSeenSignal(int s)
{
    gSeenSignal = s;
}

// A signal fault rejects nothing: the chunk is kept whole and the signal
// arrives in the caller while the command is under way.
TEST_F(SimTest, SignalFaultRaisesTheSignalAndKeepsTheChunk)
{
    writeTopology("controller id=0x05000000\n"
                  "device id=8 type=0x0d serial=\"PX1620SW1\"\n"
                  "fault dev=8 opcode=0x3b chunk=2 signal=10\n");
    struct sigaction note = {};
    struct sigaction saved = {};
    note.sa_handler = NoteSeenSignal;
    sigemptyset(&note.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &note, &saved));
    gSeenSignal = 0;
    Bytes list;
    ASSERT_EQ(0u, init(list));
    Bytes c1 = PassThru(8, 1, WriteBufferCdb(0, 32768), Bytes(32768, 1), 0);
    Bytes c2 = PassThru(8, 1, WriteBufferCdb(32768, 100), Bytes(100, 2), 0);
    EXPECT_EQ(0u, passThru(0x05000000, c1));
    EXPECT_EQ(0, gSeenSignal);
    EXPECT_EQ(0u, passThru(0x05000000, c2));
    EXPECT_EQ(SIGUSR1, gSeenSignal);
    EXPECT_EQ(0, c2[10]);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(32868u, read("received_05000000_8.bin").size());
    EXPECT_NE(std::string::npos, traceLines().back().find("chunk=2 offset=32768 paramlen=100 -> "
                                                          "rc=0x0 status=0 signal=10"))
        << traceLines().back();
}

TEST_F(SimTest, LibraryResultFaultLeavesTheRecordAlone)
{
    Bytes list;
    ASSERT_EQ(0u, init(list));
    Bytes inq = PassThru(9, 2, {0x12, 0x00, 0x00, 0x00, 0x3C, 0x00}, Bytes(60, 0), 1);
    EXPECT_EQ(0x4021u, passThru(0x05000000, inq));
    EXPECT_EQ(Bytes(60, 0), Bytes(inq.begin() + 64, inq.begin() + 124));
    // The VPD form of the same opcode is not faulted.
    Bytes vpd = PassThru(9, 2, {0x12, 0x01, 0x80, 0x00, 0x1C, 0x00}, Bytes(28, 0), 1);
    EXPECT_EQ(0u, passThru(0x05000000, vpd));
}

struct BadCase {
    const char* name;
    // Builds and sends one malformed command after a good SL_INIT_LIB (unless noted).
    std::function<uint32_t(SimTest&)> send;
};

// A physical-device list request for `ctrl` with a `size`-byte buffer,
// after a good SL_INIT_LIB when `initFirst`.
std::function<uint32_t(SimTest&)> PdListRequest(bool initFirst, uint32_t ctrl, uint32_t size)
{
    return [=](SimTest& t) {
        if (initFirst) {
            Bytes list;
            t.init(list);
        }
        Bytes pd(size, 0);
        return t.send(Record(1, 4, 0, ctrl, 0, pd.data(), size));
    };
}

// A pass-through to device 8 after a good SL_INIT_LIB; `size` overrides the
// record size when not 0, `spoil` changes the built record before it is sent.
std::function<uint32_t(SimTest&)> PassThruAfterInit(uint8_t dir, Bytes cdb, Bytes data,
                                                    size_t spare, uint32_t size = 0,
                                                    std::function<void(Bytes&)> spoil = {})
{
    return [=](SimTest& t) {
        Bytes list;
        t.init(list);
        Bytes pt = PassThru(8, dir, cdb, data, spare);
        if (spoil) {
            spoil(pt);
        }
        return t.passThru(0x05000000, pt, size);
    };
}

class SimStrictTest : public SimTest
{
};

TEST_F(SimStrictTest, MalformedCommandsFailAndAreTraced)
{
    const std::vector<BadCase> cases = {
        {"command before init", PdListRequest(false, 0x05000000, 6152)},
        {"init list of the wrong size",
         [](SimTest& t) {
             Bytes list(256, 0);
             return t.send(Record(0, 0, 1, 0x05000000, 0, list.data(), 256));
         }},
        {"pd list of the wrong size", PdListRequest(true, 0x05000000, 6144)},
        {"unknown controller", PdListRequest(true, 0x05000007, 6152)},
        {"pass-through size not matching its data length",
         PassThruAfterInit(2, {0x12, 0x00, 0x00, 0x00, 0x3C, 0x00}, Bytes(60, 0), 1, 60 + 66)},
        {"unknown CDB",
         PassThruAfterInit(2, {0x1A, 0x00, 0x3F, 0x00, 0x3C, 0x00}, Bytes(60, 0), 1)},
        {"inquiry allocation length not the data length",
         PassThruAfterInit(2, {0x12, 0x00, 0x00, 0x00, 0x60, 0x00}, Bytes(60, 0), 1)},
        {"chunk out of order", PassThruAfterInit(1, WriteBufferCdb(32768, 16), Bytes(16, 1), 0)},
        {"chunk over 32 KiB", PassThruAfterInit(1, WriteBufferCdb(0, 32769), Bytes(32769, 1), 0)},
        {"chunk length not its data length",
         PassThruAfterInit(1, WriteBufferCdb(0, 100), Bytes(99, 1), 0)},
        {"write buffer record with a spare byte",
         PassThruAfterInit(1, WriteBufferCdb(0, 16), Bytes(16, 1), 1)},
        {"timeout not 30", PassThruAfterInit(2, {0x12, 0x00, 0x00, 0x00, 0x3C, 0x00}, Bytes(60, 0),
                                             1, 0, [](Bytes& pt) { pt[8] = 60; })},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((dir + "/storelib_trace.log").c_str());
        // Each case starts from an unloaded library.
        dlclose(handle);
        handle = dlopen(STORELIB_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle);
        entry = reinterpret_cast<Entry>(dlsym(handle, "ProcessLibCommandIT"));
        EXPECT_NE(0u, c.send(*this));
        const std::vector<std::string> trace = traceLines();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(0u, trace.back().rfind("ERROR ", 0)) << trace.back();
    }
}

TEST_F(SimTest, UnreadableTopologyFailsInit)
{
    writeTopology("controller id=0x05000000\ndevice id=1 type=0 colour=blue\n");
    Bytes list;
    EXPECT_EQ(0xE3u, init(list));
    const std::vector<std::string> trace = traceLines();
    ASSERT_EQ(1u, trace.size());
    EXPECT_NE(std::string::npos, trace[0].find("line 2: unknown attribute 'colour'"));
}

} // namespace

// A one-shot unit attention is resent inside the library as the kernel path
// makes a real library do: the caller gets the chunk accepted, the trace
// notes it. Any other one-shot fault fires once and then no more.
TEST_F(SimTest, OneShotFaultsFireOnceAndAttentionsStayInside)
{
    writeTopology("controller id=0x05000000\n"
                  "device id=8 type=0x0d serial=PX1620SW1\n"
                  "fault dev=8 opcode=0x3b chunk=1 once=1 status=2 "
                  "sense=70000600000000000000000029010000\n"
                  "fault dev=8 opcode=0x3c once=1 status=2 sense=70000500000000000000000024000000\n");
    Bytes list;
    ASSERT_EQ(0u, init(list));
    Bytes c1 = PassThru(8, 1, WriteBufferCdb(0, 100), Bytes(100, 0x5A), 0);
    ASSERT_EQ(0u, passThru(0x05000000, c1));
    EXPECT_EQ(0, c1[10]);
    EXPECT_EQ(std::string(100, 0x5A), read("received_05000000_8.bin"));
    EXPECT_NE(std::string::npos, traceLines().back().find("status=0 attention=resent"))
        << traceLines().back();
    const Bytes rbCdb = {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0x00, 0x00, 0x00};
    Bytes rb1 = PassThru(8, 2, rbCdb, Bytes(60, 0), 1);
    Bytes rb2 = PassThru(8, 2, rbCdb, Bytes(60, 0), 1);
    ASSERT_EQ(0u, passThru(0x05000000, rb1));
    ASSERT_EQ(0u, passThru(0x05000000, rb2));
    EXPECT_EQ(2, rb1[10]);
    EXPECT_EQ(0x05, rb1[28 + 2]);
    EXPECT_EQ(0, rb1[28 + 12]) << "sense declaring no additional bytes is cut after byte 8";
    EXPECT_EQ(0, rb2[10]);
}
