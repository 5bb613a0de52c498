#include <sys/stat.h>

#include "Logger.h"
#include "MgmtFixture.h"
#include "RecordingProgress.h"
#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>

namespace
{

using namespace mgmttest;

Bytes Image(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = uint8_t((i * 131 + i / 251) & 0xFF);
    }
    return image;
}

class DownloadTest : public MgmtFixture
{
protected:
    void SetUp() override
    {
        MgmtFixture::SetUp();
        lib.topology.controllers = {Controller(0x05000004, {Switch(0x0107, 0x0D, "")})};
    }
    bool download(const Bytes& image)
    {
        lib.InitialiseBeforehand();
        auto mgmt = makeManager();
        return mgmt->writeBuffer(0x05000004, 0x0107, image.size(), image.data());
    }
};

struct ChunkingCase {
    size_t size;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> lengths;
};

// Cases print as their image size in test listings.
void PrintTo(const ChunkingCase& c, std::ostream* os)
{
    *os << c.size << "-byte image";
}

class ChunkingTest : public DownloadTest, public ::testing::WithParamInterface<ChunkingCase>
{
};

TEST_P(ChunkingTest, ImageArrivesInOrderedChunksWithTheirCdbAndRecord)
{
    const ChunkingCase& c = GetParam();
    const Bytes image = Image(c.size);
    EXPECT_TRUE(download(image));
    const std::vector<Chunk> chunks = lib.chunks;
    ASSERT_EQ(c.offsets.size(), chunks.size());
    Bytes received;
    for (size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        const Chunk& ch = chunks[i];
        const Bytes& h = ch.header;
        const uint32_t off = c.offsets[i];
        const uint32_t len = c.lengths[i];
        EXPECT_EQ(0x05000004u, ch.ctrlId);
        EXPECT_EQ(len + 64, ch.recordSize);
        EXPECT_EQ(0x0107, Le16(&h[0]));
        EXPECT_EQ(1, Le16(&h[2]));
        EXPECT_EQ(1, h[4]);
        EXPECT_EQ(30, Le16(&h[8]));
        EXPECT_EQ(10, h[11]);
        const Bytes cdb(h.begin() + 12, h.begin() + 22);
        EXPECT_EQ((Bytes{0x3B, 0x02, 0x00, uint8_t(off >> 16), uint8_t(off >> 8), uint8_t(off),
                         uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), 0x00}),
                  cdb);
        EXPECT_EQ(Bytes(6, 0), Bytes(h.begin() + 22, h.begin() + 28));
        EXPECT_EQ(len, Le32(&h[60]));
        received.insert(received.end(), ch.data.begin(), ch.data.end());
    }
    EXPECT_EQ(image, received);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ChunkingTest,
    ::testing::Values(ChunkingCase{100000, {0, 32768, 65536, 98304}, {32768, 32768, 32768, 1696}},
                      ChunkingCase{65536, {0, 32768}, {32768, 32768}},
                      ChunkingCase{32769, {0, 32768}, {32768, 1}}, ChunkingCase{1, {0}, {1}}));

TEST_F(DownloadTest, LastChunkOfA100000ByteImageCarriesItsOffsetAndLengthBytes)
{
    ASSERT_TRUE(download(Image(100000)));
    ASSERT_EQ(4u, lib.chunks.size());
    const Bytes& h = lib.chunks[3].header;
    EXPECT_EQ((Bytes{0x01, 0x80, 0x00, 0x00, 0x06, 0xA0}), Bytes(h.begin() + 15, h.begin() + 21));
}

TEST_F(DownloadTest, ProgressCountsChunksAndBytesUntilTheDownloadEnds)
{
    const std::string sw = "switch 263 on controller 0x05000004";
    struct Case {
        const char* name;
        bool rejectSecond;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"whole image",
         false,
         {"chunk " + sw + " 1/4 32768/100000", "chunk " + sw + " 2/4 65536/100000",
          "chunk " + sw + " 3/4 98304/100000", "chunk " + sw + " 4/4 100000/100000", "done"}},
        // A rejected chunk is not counted as sent.
        {"second chunk rejected", true, {"chunk " + sw + " 1/4 32768/100000", "done"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lib.chunks.clear();
        lib.clearFaults();
        if (c.rejectSecond) {
            lib.addFault(ChunkFault(0x0107, 2, 0, 2));
        }
        lib.InitialiseBeforehand();
        RecordingProgress progress;
        const Bytes image = Image(100000);
        auto mgmt = makeManager([&progress](LUMOSwitchMgmt::Seams& s) { s.progress = &progress; });
        EXPECT_EQ(!c.rejectSecond,
                  mgmt->writeBuffer(0x05000004, 0x0107, image.size(), image.data()));
        EXPECT_EQ(c.events, progress.events);
    }
}

TEST_F(DownloadTest, EmptyImageSendsNothingAndFails)
{
    EXPECT_FALSE(download(Bytes()));
    EXPECT_TRUE(lib.chunks.empty());
}

struct RejectCase {
    const char* name;
    uint32_t result;
    uint8_t status;
    const char* logLine;
};

// Cases print as their name in test listings.
void PrintTo(const RejectCase& c, std::ostream* os)
{
    *os << c.name;
}

class ChunkRejectTest : public DownloadTest, public ::testing::WithParamInterface<RejectCase>
{
};

// A switch that answers CHECK CONDITION has not taken the chunk, whatever
// the library result says.
TEST_P(ChunkRejectTest, SecondChunkRejectedStopsTheDownload)
{
    const RejectCase& c = GetParam();
    lib.addFault(ChunkFault(0x0107, 2, c.result, c.status));
    StoreLibLogCapture log;
    EXPECT_FALSE(download(Image(100000)));
    EXPECT_EQ(2u, lib.chunks.size());
    EXPECT_TRUE(log.has(c.logLine)) << log.contents();
    EXPECT_TRUE(log.has("chunk 2 of 4 at offset 32768")) << log.contents();
}

INSTANTIATE_TEST_SUITE_P(
    Rejections, ChunkRejectTest,
    ::testing::Values(
        RejectCase{"LibraryError", 5, 0, "writeBuffer(): error from storelibIT, result = 5"},
        RejectCase{"CheckCondition", 0, 2, "rejected by the switch: non-zero SCSIStatus=2"}),
    [](const ::testing::TestParamInfo<RejectCase>& p) { return std::string(p.param.name); });

// The chunk-failure line names what the switch said, in either sense format.
TEST_F(DownloadTest, RejectedChunkLineDecodesTheSense)
{
    struct Case {
        const char* name;
        Bytes sense;
        const char* line;
    };
    const Case cases[] = {
        {"fixed",
         {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x00},
         "rejected by the switch: non-zero SCSIStatus=2, sense key 0x5 (ILLEGAL REQUEST), "
         "ASC 0x24, ASCQ 0x00\n"},
        {"descriptor",
         {0x72, 0x04, 0x44, 0x01},
         "rejected by the switch: non-zero SCSIStatus=2, sense key 0x4 (HARDWARE ERROR), "
         "ASC 0x44, ASCQ 0x01\n"},
        {"unknown format",
         {0x7F, 0x06, 0x29, 0x00},
         "rejected by the switch: non-zero SCSIStatus=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lib.chunks.clear();
        lib.clearFaults();
        lib.addFault(ChunkFault(0x0107, 1, 0, 2, c.sense));
        StoreLibLogCapture log;
        EXPECT_FALSE(download(Image(1000)));
        EXPECT_TRUE(log.has(c.line)) << log.contents();
    }
}

TEST_F(DownloadTest, ImageOf16MiBFitsTheOffsetAndOneByteMoreIsRefusedUnsent)
{
    const Bytes fits = Image(16u << 20);
    EXPECT_TRUE(download(fits));
    ASSERT_EQ(512u, lib.chunks.size());
    const Bytes& last = lib.chunks.back().header;
    EXPECT_EQ((Bytes{0xFF, 0x80, 0x00, 0x00, 0x80, 0x00}),
              Bytes(last.begin() + 15, last.begin() + 21));

    lib.chunks.clear();
    Bytes tooBig = fits;
    tooBig.push_back(0);
    EXPECT_FALSE(download(tooBig));
    EXPECT_TRUE(lib.chunks.empty());
}

TEST_F(DownloadTest, ReadImageReturnsTheFileWholeOrFails)
{
    auto mgmt = makeManager();
    const Bytes image = Image(70000);
    writeBytes("payload/img.bin", image);
    LUMOSwitchMgmt::ImageBuffer buffer;
    uint64_t length = 0;
    ASSERT_TRUE(mgmt->readImgBuffer(dir + "/payload/img.bin", buffer, length));
    ASSERT_EQ(image.size(), length);
    EXPECT_EQ(image, Bytes(buffer.get(), buffer.get() + length));

    writeBytes("payload/empty.bin", Bytes());
    EXPECT_TRUE(mgmt->readImgBuffer(dir + "/payload/empty.bin", buffer, length));
    EXPECT_EQ(0u, length);

    EXPECT_FALSE(mgmt->readImgBuffer(dir + "/payload/missing.bin", buffer, length));
    EXPECT_EQ(0u, length);
    EXPECT_FALSE(mgmt->readImgBuffer(dir + "/payload", buffer, length));
}

// The image named in package.xml is found inside payload/ only: nothing on
// the way may be "..", a link or a file anyone but root may change, and what
// is not a regular file of a size a switch can take is refused before any
// byte is read or allocated.
TEST_F(DownloadTest, ImagesAreReachedInsidePayloadOnly)
{
    auto mgmt = makeManager();
    writeBytes("outside.bin", Image(100));
    std::filesystem::create_directory(dir + "/payload/sub");
    writeBytes("payload/sub/img.bin", Image(100));
    struct Case {
        const char* name;
        std::string path; // under the package folder
        std::function<void()> arrange;
        bool read;
        bool refused;
    };
    const std::string payload = dir + "/payload/";
    const Case cases[] = {
        {"in a subfolder", payload + "sub/img.bin", [] {}, true, false},
        {"dot components", payload + "./sub//img.bin", [] {}, true, false},
        {"up and out", payload + "../outside.bin", [] {}, false, true},
        {"up, down and out", payload + "sub/../../outside.bin", [] {}, false, true},
        {"up and back in", payload + "sub/../sub/img.bin", [] {}, false, true},
        {"link to a file outside", payload + "link.bin",
         [&] { std::filesystem::create_symlink(dir + "/outside.bin", payload + "link.bin"); },
         false, true},
        {"link to a file inside", payload + "inlink.bin",
         [&] { std::filesystem::create_symlink("sub/img.bin", payload + "inlink.bin"); }, false,
         true},
        {"link to a folder outside", payload + "out/outside.bin",
         [&] { std::filesystem::create_directory_symlink(dir, payload + "out"); }, false, true},
        {"FIFO", payload + "fifo.bin",
         [&] { ASSERT_EQ(0, mkfifo((payload + "fifo.bin").c_str(), 0644)); }, false, true},
        {"device outside payload", "/dev/zero", [] {}, false, true},
        {"larger than a switch takes", payload + "huge.bin",
         [&] {
             writeBytes("payload/huge.bin", Bytes());
             std::filesystem::resize_file(payload + "huge.bin", LUMOSwitchMgmt::kMaxImageSize + 1);
         },
         false, true},
        {"writable by others", payload + "open.bin",
         [&] {
             writeBytes("payload/open.bin", Image(10));
             chmod((payload + "open.bin").c_str(), 0666);
         },
         false, true},
        {"missing", payload + "gone.bin", [] {}, false, false},
        {"payload folder writable by others", payload + "sub/img.bin",
         [&] { chmod(payload.c_str(), 0777); }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        LUMOSwitchMgmt::ImageBuffer buffer;
        uint64_t length = 99;
        bool refused = !c.refused;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.read, mgmt->readImgBuffer(c.path, buffer, length, &refused));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(c.refused, refused);
        EXPECT_EQ(c.read ? 100u : 0u, length);
        EXPECT_EQ(c.read, buffer != nullptr);
    }
}

} // namespace
