#include <cstring>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "FakeIPMISys.h"
#include "LVEXIPMIProcessor.h"

namespace
{

using Delivery = FakeIPMISys::Delivery;
using Step = FakeIPMISys::Step;

// Heap records, so AddressSanitizer sees any access past the 255-byte arrays.
struct Request {
    explicit Request(std::vector<uint8_t> bytes, uint32_t retryCount = 5,
                     uint32_t retryInterval = 50)
    {
        config = std::make_unique<_VEXIPMIConfiguration>(
            _VEXIPMIConfiguration{60, 5, retryCount, retryInterval, 0, 0});
        record = std::make_unique<_VEXIPMICommandData>();
        memset(record.get(), 0, sizeof(*record));
        record->pConfiguration = config.get();
        record->RequestLength = static_cast<uint32_t>(bytes.size());
        memcpy(record->RequestData, bytes.data(), bytes.size());
        record->ResponseLength = 9;
        data = std::make_unique<CVEXIPMICommandData>(record.get());
    }
    uint8_t cc() const { return record->ResponseData[2]; }

    std::unique_ptr<_VEXIPMIConfiguration> config;
    std::unique_ptr<_VEXIPMICommandData> record;
    std::unique_ptr<CVEXIPMICommandData> data;
};

class IPMIProcessorTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(processor.Initialize(), 0u); }

    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    IPMIProcessor processor{sysPtr};
};

TEST_F(IPMIProcessorTest, SendsSystemInterfaceRequestAndStoresMatchingReply)
{
    Request req({0x30, 0xA2, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00});
    sys.script.push_back(FakeIPMISys::Answer(0x00, {0x34, 0x12, 0x99}));

    ASSERT_EQ(processor.ExecuteCommand(req.data.get()), 0u);

    ASSERT_EQ(sys.sent.size(), 1u);
    const FakeIPMISys::Sent& sent = sys.sent[0];
    EXPECT_EQ(sent.addrType, 0x0C);
    EXPECT_EQ(sent.channel, 0x0F);
    EXPECT_EQ(sent.lun, 0u);
    EXPECT_EQ(sent.addrLen, 8u);
    EXPECT_EQ(sent.netfn, 0x30);
    EXPECT_EQ(sent.cmd, 0xA2);
    EXPECT_EQ(sent.data, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x2C, 0x01, 0x00}));
    EXPECT_EQ(sys.lastWait(), std::make_pair(20L, 60L));

    const uint8_t expected[] = {0x31, 0xA2, 0x00, 0x34, 0x12, 0x99};
    EXPECT_EQ(req.record->ResponseLength, sizeof(expected));
    EXPECT_EQ(0, memcmp(req.record->ResponseData, expected, sizeof(expected)));
    EXPECT_TRUE(sys.sleeps.empty());
}

TEST_F(IPMIProcessorTest, MessageIdGrowsByOneWithEveryRequestOfAnyProcessor)
{
    IPMIProcessor other(sysPtr);
    ASSERT_EQ(other.Initialize(), 0u);
    Request a({0x06, 0x01}), b({0x06, 0x01}), c({0x06, 0x01});
    ASSERT_EQ(processor.ExecuteCommand(a.data.get()), 0u);
    ASSERT_EQ(other.ExecuteCommand(b.data.get()), 0u);
    ASSERT_EQ(processor.ExecuteCommand(c.data.get()), 0u);
    ASSERT_EQ(sys.sent.size(), 3u);
    EXPECT_EQ(sys.sent[1].msgid, sys.sent[0].msgid + 1);
    EXPECT_EQ(sys.sent[2].msgid, sys.sent[1].msgid + 1);
    EXPECT_NE(sys.sent[0].fd, sys.sent[1].fd);
}

// One exchange: what the waits and receives see, and what the caller gets.
struct ProcessCase {
    const char* name;
    uint32_t retryCount;
    Step step;
    uint32_t expectedResult;
    unsigned expectedWaits;
    std::vector<uint64_t> expectedSleeps;
    uint8_t expectedCc;
    bool expectStored; // the reply's NetFn, command and length reached the record
};

// Test names print the case name, not the object's bytes.
void PrintTo(const ProcessCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProcessTable : public ::testing::TestWithParam<ProcessCase>
{
};

TEST_P(ProcessTable, FollowsRetryRules)
{
    const ProcessCase& c = GetParam();
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    IPMIProcessor processor(sysPtr);
    ASSERT_EQ(processor.Initialize(), 0u);
    Request req({0x30, 0xAD, 0x00, 0x00}, c.retryCount, 50);
    sys.script.push_back(c.step);

    EXPECT_EQ(processor.Process(req.data.get()), c.expectedResult);
    EXPECT_EQ(sys.waits, c.expectedWaits);
    EXPECT_EQ(sys.sleeps, c.expectedSleeps);
    EXPECT_EQ(req.cc(), c.expectedCc);
    if (c.expectStored) {
        EXPECT_EQ(req.record->ResponseData[0], 0x31);
        EXPECT_EQ(req.record->ResponseData[1], 0xA2);
        EXPECT_EQ(req.record->ResponseLength, 3u);
    } else {
        EXPECT_EQ(req.record->ResponseData[0], 0x00);
        EXPECT_EQ(req.record->ResponseLength, 9u);
    }
}

const Delivery kOk = FakeIPMISys::Reply({0x00});
const Delivery kBusy = FakeIPMISys::Reply({0xC0});

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessTable,
    ::testing::Values(
        ProcessCase{"ImmediateReply", 5, Step{0, {kOk}}, 0, 1, {}, 0x00, true},
        ProcessCase{"TwoTimeoutsThenReply",
                    5,
                    Step{0, {FakeIPMISys::Timeout(), FakeIPMISys::Timeout(), kBusy}},
                    0,
                    3,
                    {50, 50},
                    0xC0,
                    true},
        ProcessCase{"WaitErrorCountsAsTimeout",
                    5,
                    Step{0, {FakeIPMISys::WaitError(), kOk}},
                    0,
                    2,
                    {50},
                    0x00,
                    true},
        ProcessCase{
            "NoReplyUsesUpAllAttempts", 5, Step{0, {}}, 320, 5, {50, 50, 50, 50, 50}, 0x00, false},
        ProcessCase{"RetryCountZeroNeverWaits", 0, Step{0, {kOk}}, 320, 0, {}, 0x00, false},
        ProcessCase{"SendFailureMarksCompletionCode", 5, Step{ENXIO, {}}, 320, 0, {}, 0x01, false},
        ProcessCase{"ReceiveErrorPausesAndRetries",
                    5,
                    Step{0, {FakeIPMISys::ReceiveError(EIO), kOk}},
                    0,
                    2,
                    {50},
                    0x00,
                    true},
        ProcessCase{"StaleIdSkippedWithoutPause",
                    5,
                    Step{0, {FakeIPMISys::Reply({0xC0, 0xEE}, true), kOk}},
                    0,
                    2,
                    {},
                    0x00,
                    true},
        // The stale reply must not leak into the record when nothing else comes.
        ProcessCase{"StaleIdThenSilence",
                    2,
                    Step{0, {FakeIPMISys::Reply({0xC3, 0xEE}, true)}},
                    320,
                    2,
                    {50},
                    0x00,
                    false},
        ProcessCase{
            "StaleRepliesUseUpAttempts",
            2,
            Step{0, {FakeIPMISys::Reply({0x00}, true), FakeIPMISys::Reply({0x00}, true), kOk}},
            320,
            2,
            {},
            0x00,
            false}),
    [](const ::testing::TestParamInfo<ProcessCase>& p) { return std::string(p.param.name); });

TEST_F(IPMIProcessorTest, TruncatedReplyKeepsWhatFitsAndStops)
{
    Request req({0x30, 0xA2, 0x03});
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i + 1);
    }
    sys.script.push_back(Step{0, {FakeIPMISys::Reply(big), FakeIPMISys::Reply({0x00})}});

    EXPECT_EQ(processor.ExecuteCommand(req.data.get()), 320u);
    EXPECT_EQ(req.record->ResponseData[0], 0x31);
    EXPECT_EQ(req.record->ResponseData[1], 0xA2);
    EXPECT_EQ(req.cc(), 0x10);
    // Bytes 3..254 hold received bytes 2..253; nothing beyond the array.
    EXPECT_EQ(req.record->ResponseData[3], 2);
    EXPECT_EQ(req.record->ResponseData[254], 253);
    EXPECT_EQ(sys.waits, 1u);
    EXPECT_EQ(sys.sent.size(), 1u);
}

TEST_F(IPMIProcessorTest, FullSizeReplyFillsTheWholeArray)
{
    Request req({0x30, 0xA2, 0x03});
    std::vector<uint8_t> reply(253, 0xAB);
    reply[0] = 0x00;
    sys.script.push_back(Step{0, {FakeIPMISys::Reply(reply)}});
    ASSERT_EQ(processor.ExecuteCommand(req.data.get()), 0u);
    EXPECT_EQ(req.record->ResponseLength, 255u);
    EXPECT_EQ(req.record->ResponseData[254], 0xAB);
}

TEST_F(IPMIProcessorTest, RequestLengthOutsideTheRecordIsNeverSent)
{
    for (uint32_t length : {0u, 1u, 256u, 0xFFFFFFFFu}) {
        Request req({0x30, 0xA2});
        req.record->RequestLength = length;
        EXPECT_EQ(processor.ExecuteCommand(req.data.get()), 320u) << length;
        EXPECT_EQ(req.cc(), 0x01) << length;
    }
    EXPECT_TRUE(sys.sent.empty());

    Request longest({0x30, 0xA2});
    longest.record->RequestLength = 255;
    EXPECT_EQ(processor.ExecuteCommand(longest.data.get()), 0u);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].data.size(), 253u);
}

TEST(CompletionCodeRule, OnlyTheRetryableCodesAreResent)
{
    const std::set<int> finalCodes = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08,
                                      0x10, 0xC1, 0xC2, 0xC7, 0xC8, 0xC9, 0xCC, 0xCE};
    for (int code = 0; code <= 0xFF; ++code) {
        std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
        FakeIPMISys& sys = *sysPtr;
        IPMIProcessor processor(sysPtr);
        ASSERT_EQ(processor.Initialize(), 0u);
        for (int i = 0; i < 6; ++i) {
            sys.script.push_back(FakeIPMISys::Answer(static_cast<uint8_t>(code)));
        }
        Request req({0x30, 0xA2, 0x0A}, 5, 50);

        ASSERT_EQ(processor.ExecuteCommand(req.data.get()), 0u) << code;
        const bool isFinal = finalCodes.count(code) != 0;
        EXPECT_EQ(sys.sent.size(), isFinal ? 1u : 5u) << std::hex << code;
        EXPECT_EQ(sys.sleeps, std::vector<uint64_t>(isFinal ? 0 : 5, 50)) << std::hex << code;
        EXPECT_EQ(req.cc(), code);
    }
}

TEST_F(IPMIProcessorTest, BusyThenSuccessStopsAtSuccess)
{
    sys.script = {FakeIPMISys::Answer(0xC0), FakeIPMISys::Answer(0xC0),
                  FakeIPMISys::Answer(0x00, {0x07})};
    Request req({0x30, 0xAE, 0x00, 0x00});
    ASSERT_EQ(processor.ExecuteCommand(req.data.get()), 0u);
    EXPECT_EQ(sys.sent.size(), 3u);
    EXPECT_EQ(req.cc(), 0x00);
    EXPECT_EQ(req.record->ResponseData[3], 0x07);
}

TEST_F(IPMIProcessorTest, NoResponseDuringResendEndsWithNoResponse)
{
    sys.script = {FakeIPMISys::Answer(0xC0), Step{0, {}}};
    Request req({0x30, 0xAE, 0x00, 0x00}, 3, 10);
    EXPECT_EQ(processor.ExecuteCommand(req.data.get()), 320u);
    EXPECT_EQ(sys.sent.size(), 2u);
}

// Which device paths exist decides which one is opened and how long it takes.
struct OpenCase {
    const char* name;
    std::set<std::string> devices;
    unsigned failOpensBeforeDevicesAppear;
    uint32_t expectedResult;
    std::vector<std::string> expectedOpens;
    std::vector<uint64_t> expectedSleeps;
    bool expectErrorLine;
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.name;
}

class OpenTable : public ::testing::TestWithParam<OpenCase>
{
};

const std::vector<std::string> kPass = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};

std::vector<std::string> Passes(int count, std::vector<std::string> tail = {})
{
    std::vector<std::string> opens;
    for (int i = 0; i < count; ++i) {
        opens.insert(opens.end(), kPass.begin(), kPass.end());
    }
    opens.insert(opens.end(), tail.begin(), tail.end());
    return opens;
}

TEST_P(OpenTable, TriesThreePathsOverFivePasses)
{
    const OpenCase& c = GetParam();
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    sys.devices = c.devices;
    sys.failOpensBeforeDevicesAppear = c.failOpensBeforeDevicesAppear;
    IPMIProcessor processor(sysPtr);

    ::testing::internal::CaptureStderr();
    const uint32_t result = processor.Initialize();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(sys.opens, c.expectedOpens);
    EXPECT_EQ(sys.sleeps, c.expectedSleeps);
    EXPECT_EQ(err, c.expectErrorLine ? "Can't open IPMI device\n" : "");
    EXPECT_EQ(processor.GetFileDescriptor() >= 0, result == 0);
    for (int flags : sys.openFlags) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenTable,
    ::testing::Values(
        OpenCase{"FirstPath", {"/dev/ipmi0", "/dev/ipmi/0"}, 0, 0, {"/dev/ipmi0"}, {}, false},
        OpenCase{"SecondPathInFirstPass",
                 {"/dev/ipmi/0"},
                 0,
                 0,
                 {"/dev/ipmi0", "/dev/ipmi/0"},
                 {},
                 false},
        OpenCase{"ThirdPath", {"/dev/ipmidev/0"}, 0, 0, kPass, {}, false},
        OpenCase{"AppearsInThirdPass",
                 {"/dev/ipmi0"},
                 6,
                 0,
                 Passes(2, {"/dev/ipmi0"}),
                 {1000, 1000},
                 false},
        OpenCase{"NoDevice", {}, 0, 320, Passes(5), {1000, 1000, 1000, 1000, 1000}, true}),
    [](const ::testing::TestParamInfo<OpenCase>& p) { return std::string(p.param.name); });

TEST(IPMIProcessorLifecycle, ClosesTheDeviceOnceAndNeverTheUnopenedOne)
{
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    {
        IPMIProcessor processor(sysPtr);
        ASSERT_EQ(processor.Initialize(), 0u);
        const int fd = processor.GetFileDescriptor();
        processor.Release();
        processor.Release();
        EXPECT_EQ(sys.closes, std::vector<int>{fd});
        EXPECT_EQ(processor.GetFileDescriptor(), -1);
    }
    EXPECT_EQ(sys.closes.size(), 1u);

    sys.devices.clear();
    ::testing::internal::CaptureStderr();
    {
        IPMIProcessor unopened(sysPtr);
        EXPECT_EQ(unopened.Initialize(), 320u);
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(sys.closes.size(), 1u);

    sys.devices = {"/dev/ipmi0"};
    {
        IPMIProcessor destroyedOpen(sysPtr);
        ASSERT_EQ(destroyedOpen.Initialize(), 0u);
    }
    EXPECT_EQ(sys.closes.size(), 2u);
}

TEST(IPMIDump, HexBytesOfRequestThenResponse)
{
    Request req({0x30, 0xA2, 0x0f});
    req.record->ResponseLength = 2;
    req.record->ResponseData[0] = 0x31;
    req.record->ResponseData[1] = 0xff;
    EXPECT_EQ(FormatIPMIDump(*req.data),
              "\nIPMI Request :  0x30 0xa2 0x0f      IPMI Response :   0x31 0xff\n");

    // The caller's expected length may exceed the array; the dump stops there.
    req.record->ResponseLength = 100000;
    req.record->RequestLength = 100000;
    const std::string dump = FormatIPMIDump(*req.data);
    EXPECT_EQ(
        dump.size(),
        (std::string("\nIPMI Request : ") + "     " + " IPMI Response : " + " " + "\n").size() +
            2 * 255 * std::string(" 0x00").size());
}

} // namespace
