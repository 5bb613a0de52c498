// The SCSI generic backend's record handling, with a scripted host in place
// of sysfs, /dev/sg* and the kernel's SG_IO.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

#include "SgStoreLib.h"
#include "StoreLibRecords.h"

using namespace sgstorelib;

namespace
{

struct SentCommand {
    std::vector<uint8_t> cdb;
    Direction direction;
    int dataLength;
    int timeoutSeconds;
    std::vector<uint8_t> dataOut;
};

struct ScriptedReply {
    ScsiOutcome outcome;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> dataIn;
    int64_t takesMs = 0;
};

class FakeHost : public IScsiGenericSystem
{
public:
    std::map<std::string, std::vector<std::string>> dirs;
    std::map<std::string, std::string> links, texts;
    std::map<std::string, int> openResults; // path -> -errno
    std::deque<ScriptedReply> replies;
    std::vector<SentCommand> sent;
    std::vector<std::string> opened;
    std::set<int> open;
    int nextFd = 10;
    int64_t now = 1000;

    void addSg(unsigned n, const std::string& hctl, const std::string& type)
    {
        const std::string base = "/sys/class/scsi_generic/sg" + std::to_string(n) + "/device";
        dirs["/sys/class/scsi_generic"].push_back("sg" + std::to_string(n));
        links[base] = "../../../" + hctl;
        texts[base + "/type"] = type + "\n";
    }

    bool ListDir(const std::string& dir, std::vector<std::string>& names) override
    {
        auto it = dirs.find(dir);
        if (it == dirs.end()) {
            return false;
        }
        names = it->second;
        return true;
    }
    bool ReadText(const std::string& path, std::string& text) override
    {
        auto it = texts.find(path);
        if (it == texts.end()) {
            return false;
        }
        text = it->second;
        return true;
    }
    bool ReadLink(const std::string& path, std::string& target) override
    {
        auto it = links.find(path);
        if (it == links.end()) {
            return false;
        }
        target = it->second;
        return true;
    }
    int OpenDevice(const std::string& path) override
    {
        opened.push_back(path);
        auto it = openResults.find(path);
        if (it != openResults.end()) {
            return it->second;
        }
        open.insert(nextFd);
        return nextFd++;
    }
    void CloseDevice(int fd) override { open.erase(fd); }
    ScsiOutcome Execute(int fd, const ScsiCommand& c) override
    {
        EXPECT_TRUE(open.count(fd)) << "command on a closed descriptor";
        SentCommand s{std::vector<uint8_t>(c.cdb, c.cdb + c.cdbLength),
                      c.direction,
                      c.dataLength,
                      c.timeoutSeconds,
                      {}};
        if (c.direction == Direction::ToDevice) {
            s.dataOut.assign(c.data, c.data + c.dataLength);
        }
        sent.push_back(s);
        if (replies.empty()) {
            ScsiOutcome good;
            good.category = ScsiOutcome::Good;
            return good;
        }
        ScriptedReply r = replies.front();
        replies.pop_front();
        now += r.takesMs;
        if (!r.sense.empty()) {
            std::memcpy(c.sense, r.sense.data(), std::min<size_t>(r.sense.size(), c.senseCapacity));
        }
        if (c.direction == Direction::FromDevice && !r.dataIn.empty()) {
            std::memcpy(c.data, r.dataIn.data(), std::min<size_t>(r.dataIn.size(), c.dataLength));
        }
        return r.outcome;
    }
    int64_t NowMs() override { return now; }
};

ScriptedReply Reply(ScsiOutcome::Category category, int status = 0, std::vector<uint8_t> sense = {})
{
    ScriptedReply r;
    r.outcome.category = category;
    r.outcome.status = status;
    r.outcome.senseLength = static_cast<int>(sense.size());
    r.sense = std::move(sense);
    return r;
}

std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::vector<uint8_t> DescriptorSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    // One information descriptor, so the bytes past the header matter too.
    return {0x72, key, asc, ascq, 0, 0, 0,    12,   0x00, 0x0A,
            0x80, 0,   0,   0,    0, 0, 0x12, 0x34, 0x56, 0x78};
}

const uint8_t kReadBufferCdb[10] = {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0x00, 0x00, 0x00};

class SgStoreLibTest : public ::testing::Test
{
protected:
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::unique_ptr<SgStoreLib> lib;

    void SetUp() override
    {
        host->addSg(0, "0:0:0:0", "0");  // a disk on host 0: no controller
        host->addSg(1, "2:0:0:0", "13"); // switch on host 2
        host->addSg(3, "2:0:1:0", "0");  // a disk beside it
        host->addSg(2, "5:0:0:0", "31"); // unknown-type device on host 5
        lib = std::make_unique<SgStoreLib>(host);
    }

    uint32_t send(uint8_t type, uint8_t cmd, uint32_t ctrl, uint16_t dev, void* data, uint32_t size)
    {
        _SL_LIB_CMD_PARAM_T rec;
        rec.setCmdType(type);
        rec.setCmd(cmd);
        rec.setCtrlId(ctrl);
        uint8_t param[8] = {};
        storelib::PutLE16(param, dev);
        rec.setCmdParam(param);
        rec.setDataSize(size);
        rec.setDataPtr(data);
        return lib->Process(rec.bytes());
    }

    _SL_CTRL_LIST_T init()
    {
        _SL_CTRL_LIST_T list;
        EXPECT_EQ(0u, send(0, 0, 0x05000000, 0, list.bytes(), _SL_CTRL_LIST_T::kSize));
        return list;
    }

    uint32_t passThru(CPassThruRecord& rec, uint16_t dev = 1, uint32_t ctrl = 0x05000002)
    {
        return send(6, 0, ctrl, dev, rec.bytes(), static_cast<uint32_t>(rec.size()));
    }

    static std::unique_ptr<CPassThruRecord> readBuffer(uint16_t dev = 1)
    {
        auto rec = std::make_unique<CPassThruRecord>(60, 1);
        rec->setHeader(dev, CPassThruRecord::kDirFromDevice, kReadBufferCdb, 10);
        return rec;
    }
};

TEST_F(SgStoreLibTest, ControllersAreHostsWithASwitchTypeDeviceAndListTheirSgDevices)
{
    // Entries sysfs may hold that are not sg devices of a known shape.
    host->dirs["/sys/class/scsi_generic"].push_back("sgx");
    host->addSg(7, "garbage", "13");
    host->addSg(8, "6:0:0:0", "13 trailing");
    host->addSg(9, "7:0:0:0", "40");
    _SL_CTRL_LIST_T list = init();
    ASSERT_EQ(2, list.getCount());
    EXPECT_EQ(0x05000002u, list.getCtrlId(0));
    EXPECT_EQ(0x05000005u, list.getCtrlId(1));

    CPDList pd;
    ASSERT_EQ(0u, send(1, 4, 0x05000002, 0, pd.bytes(), CPDList::kSize));
    ASSERT_EQ(2u, pd.getCount());
    EXPECT_EQ(1, pd.getDeviceId(0));
    EXPECT_EQ(0x0D, pd.getPeripheralType(0));
    EXPECT_EQ(3, pd.getDeviceId(1));
    EXPECT_EQ(0x00, pd.getPeripheralType(1));

    EXPECT_EQ(kResultNoController, send(1, 4, 0x05000000, 0, pd.bytes(), CPDList::kSize));
    EXPECT_TRUE(host->opened.empty()) << "discovery opens no device";
}

TEST_F(SgStoreLibTest, NoScsiGenericDriverOrNoSwitchTypeGivesAnEmptyControllerList)
{
    host->dirs.erase("/sys/class/scsi_generic");
    EXPECT_EQ(0, init().getCount());
    host->dirs["/sys/class/scsi_generic"] = {};
    host->addSg(0, "0:0:0:0", "0");
    EXPECT_EQ(0, init().getCount());
}

TEST_F(SgStoreLibTest, ReadBufferGoesOutUnchangedWithTheRecordBufferAsTransferLength)
{
    init();
    auto rec = readBuffer();
    ScriptedReply r = Reply(ScsiOutcome::Good);
    r.dataIn.assign(60, 0);
    r.dataIn[12] = 1;
    r.dataIn[13] = 4;
    host->replies.push_back(r);
    ASSERT_EQ(0u, passThru(*rec));
    ASSERT_EQ(1u, host->sent.size());
    EXPECT_EQ(std::vector<uint8_t>(kReadBufferCdb, kReadBufferCdb + 10), host->sent[0].cdb);
    EXPECT_EQ(60, host->sent[0].dataLength) << "not the CDB's 0x3C0000";
    EXPECT_EQ(Direction::FromDevice, host->sent[0].direction);
    EXPECT_EQ(30, host->sent[0].timeoutSeconds);
    EXPECT_EQ(1, rec->data()[12]);
    EXPECT_EQ(4, rec->data()[13]);
    EXPECT_EQ(60u, rec->getDataLength());
    EXPECT_EQ(std::vector<std::string>{"/dev/sg1"}, host->opened);
}

TEST_F(SgStoreLibTest, WriteBufferSendsTheChunkItCarries)
{
    init();
    CPassThruRecord rec(100, 0);
    const uint8_t cdb[10] = {0x3B, 0x02, 0, 0, 0x80, 0, 0, 0, 100, 0};
    rec.setHeader(1, CPassThruRecord::kDirToDevice, cdb, 10);
    for (int i = 0; i < 100; ++i) {
        rec.data()[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_EQ(0u, passThru(rec));
    ASSERT_EQ(1u, host->sent.size());
    EXPECT_EQ(Direction::ToDevice, host->sent[0].direction);
    EXPECT_EQ(std::vector<uint8_t>(rec.data(), rec.data() + 100), host->sent[0].dataOut);
    EXPECT_EQ(100u, rec.getDataLength());
}

struct UaCase {
    const char* name;
    std::vector<uint8_t> sense;
};

class UnitAttentionTest : public SgStoreLibTest, public ::testing::WithParamInterface<UaCase>
{
};

TEST_P(UnitAttentionTest, CommandIsResentAndItsSecondAnswerCounts)
{
    init();
    auto rec = readBuffer();
    host->replies.push_back(Reply(ScsiOutcome::Sense, 2, GetParam().sense));
    ScriptedReply good = Reply(ScsiOutcome::Good);
    good.dataIn.assign(60, 0x42);
    host->replies.push_back(good);
    ASSERT_EQ(0u, passThru(*rec));
    ASSERT_EQ(2u, host->sent.size());
    EXPECT_EQ(host->sent[0].cdb, host->sent[1].cdb);
    EXPECT_EQ(0, rec->getScsiStatus());
    EXPECT_EQ(0, rec->sense()[0]) << "the attention's sense does not stay in the record";
    EXPECT_EQ(0x42, rec->data()[59]);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UnitAttentionTest,
    ::testing::Values(UaCase{"PowerOnFixed", FixedSense(6, 0x29, 0x00)},
                      UaCase{"PowerOnOccurredFixed", FixedSense(6, 0x29, 0x01)},
                      UaCase{"LunsChangedFixed", FixedSense(6, 0x3F, 0x0E)},
                      UaCase{"MicrocodeChangedFixed", FixedSense(6, 0x3F, 0x01)},
                      UaCase{"MicrocodeChangedWithoutResetFixed", FixedSense(6, 0x3F, 0x16)},
                      UaCase{"PowerOnDescriptor", DescriptorSense(6, 0x29, 0x01)},
                      UaCase{"MicrocodeChangedDescriptor", DescriptorSense(6, 0x3F, 0x16)}),
    [](const ::testing::TestParamInfo<UaCase>& p) { return std::string(p.param.name); });

TEST_F(SgStoreLibTest, AttentionThatNeverClearsIsPassedUpAfterBoundedResends)
{
    init();
    auto rec = readBuffer();
    for (int i = 0; i < 10; ++i) {
        host->replies.push_back(Reply(ScsiOutcome::Sense, 2, FixedSense(6, 0x29, 0x01)));
    }
    ASSERT_EQ(0u, passThru(*rec));
    EXPECT_EQ(size_t(1 + kUnitAttentionRetries), host->sent.size());
    EXPECT_EQ(2, rec->getScsiStatus());
    EXPECT_EQ(0x29, rec->sense()[12]);
}

struct SenseCase {
    const char* name;
    std::vector<uint8_t> sense;
    uint32_t dataLength = 60; // 0: a command without data, the record ends at its header
};

class SenseCopyTest : public SgStoreLibTest, public ::testing::WithParamInterface<SenseCase>
{
};

TEST_P(SenseCopyTest, OtherSenseIsCopiedWithTheStatusAndNotResent)
{
    init();
    std::unique_ptr<CPassThruRecord> rec;
    if (GetParam().dataLength == 0) {
        const uint8_t testUnitReady[6] = {};
        rec = std::make_unique<CPassThruRecord>(0, 1);
        rec->setHeader(1, 0, testUnitReady, 6); // no data phase
    } else {
        rec = readBuffer();
    }
    // Whatever lies past the sense field must come back as it went in.
    for (size_t i = CPassThruRecord::kHeaderSize; i < rec->size(); ++i) {
        rec->bytes()[i] = static_cast<uint8_t>(0x80 | i);
    }
    const std::vector<uint8_t> before(rec->bytes(), rec->bytes() + rec->size());
    host->replies.push_back(Reply(ScsiOutcome::Sense, 2, GetParam().sense));
    ASSERT_EQ(0u, passThru(*rec));
    EXPECT_EQ(1u, host->sent.size());
    EXPECT_EQ(2, rec->getScsiStatus());
    const size_t n = std::min<size_t>(GetParam().sense.size(), CPassThruRecord::kSenseSize);
    EXPECT_EQ(0, std::memcmp(GetParam().sense.data(), rec->sense(), n));
    for (size_t i = n; i < CPassThruRecord::kSenseSize; ++i) {
        EXPECT_EQ(0, rec->sense()[i]) << i;
    }
    EXPECT_EQ(GetParam().dataLength, rec->getDataLength());
    const size_t end = CPassThruRecord::kOffSense + CPassThruRecord::kSenseSize;
    EXPECT_EQ(std::vector<uint8_t>(before.begin() + end, before.end()),
              std::vector<uint8_t>(rec->bytes() + end, rec->bytes() + rec->size()))
        << "the sense ran past its field";
}

std::vector<uint8_t> LongSense()
{
    std::vector<uint8_t> s = DescriptorSense(5, 0x24, 0);
    s.resize(48, 0xAB);
    s[7] = 40;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SenseCopyTest,
    ::testing::Values(SenseCase{"IllegalRequestFixed", FixedSense(5, 0x20, 0x00)},
                      SenseCase{"IllegalRequestDescriptor", DescriptorSense(5, 0x20, 0x00)},
                      SenseCase{"OtherAttentionFixed", FixedSense(6, 0x2A, 0x01)},
                      SenseCase{"DescriptorLongerThanTheRecord", LongSense()},
                      SenseCase{"DescriptorLongerThanTheRecordWithoutData", LongSense(), 0}),
    [](const ::testing::TestParamInfo<SenseCase>& p) { return std::string(p.param.name); });

struct FailureCase {
    const char* name;
    ScsiOutcome::Category category;
    int osError;
    uint32_t result;
};

class FailureTest : public SgStoreLibTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(FailureTest, IsALibraryFailureNeverAGoodStatus)
{
    init();
    auto rec = readBuffer();
    ScriptedReply r = Reply(GetParam().category);
    r.outcome.osError = GetParam().osError;
    host->replies.push_back(r);
    EXPECT_EQ(GetParam().result, passThru(*rec));
    EXPECT_EQ(1u, host->sent.size());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FailureTest,
    ::testing::Values(FailureCase{"HostOrDriverError", ScsiOutcome::Transport, 0, kResultTransport},
                      FailureCase{"Timeout", ScsiOutcome::Timeout, 0, kResultTimeout},
                      FailureCase{"Interrupted", ScsiOutcome::OsError, EINTR, kResultOsError},
                      FailureCase{"NotStarted", ScsiOutcome::NotStarted, 0, kResultOsError},
                      FailureCase{"Vanished", ScsiOutcome::OsError, ENODEV, kResultDeviceGone}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

TEST_F(SgStoreLibTest, OtherStatusIsPassedUpInTheRecord)
{
    init();
    auto rec = readBuffer();
    host->replies.push_back(Reply(ScsiOutcome::Status, 0x08)); // BUSY
    EXPECT_EQ(0u, passThru(*rec));
    EXPECT_EQ(0x08, rec->getScsiStatus());
}

TEST_F(SgStoreLibTest, ResidualShortensTheRecordsDataLength)
{
    init();
    auto rec = readBuffer();
    ScriptedReply r = Reply(ScsiOutcome::Good);
    r.outcome.resid = 44;
    host->replies.push_back(r);
    ASSERT_EQ(0u, passThru(*rec));
    EXPECT_EQ(16u, rec->getDataLength());
    // A residual the kernel could not mean is held to the buffer.
    r.outcome.resid = 1000;
    host->replies.push_back(r);
    auto rec2 = readBuffer();
    ASSERT_EQ(0u, passThru(*rec2));
    EXPECT_EQ(0u, rec2->getDataLength());
}

TEST_F(SgStoreLibTest, ResendsStayWithinTheRecordsTimeout)
{
    init();
    auto rec = readBuffer();
    for (int i = 0; i < 3; ++i) {
        ScriptedReply r = Reply(ScsiOutcome::Sense, 2, FixedSense(6, 0x29, 0x00));
        r.takesMs = 20000;
        host->replies.push_back(r);
    }
    EXPECT_EQ(kResultTimeout, passThru(*rec));
    ASSERT_EQ(2u, host->sent.size());
    EXPECT_EQ(30, host->sent[0].timeoutSeconds);
    EXPECT_EQ(10, host->sent[1].timeoutSeconds);
}

TEST_F(SgStoreLibTest, VanishedDeviceIsReopenedOnlyWhenSysfsStillNamesIt)
{
    init();
    auto rec = readBuffer();
    ScriptedReply gone = Reply(ScsiOutcome::OsError);
    gone.outcome.osError = ENODEV;
    host->replies.push_back(gone);
    EXPECT_EQ(kResultDeviceGone, passThru(*rec));
    EXPECT_TRUE(host->open.empty()) << "the dead descriptor is closed";
    // The node now belongs to another device.
    host->links["/sys/class/scsi_generic/sg1/device"] = "../../../9:0:0:0";
    EXPECT_EQ(kResultDeviceGone, passThru(*rec));
    EXPECT_EQ(1u, host->opened.size());
    host->links.erase("/sys/class/scsi_generic/sg1/device");
    EXPECT_EQ(kResultDeviceGone, passThru(*rec));
}

TEST_F(SgStoreLibTest, OpenFailuresAreLibraryFailures)
{
    init();
    auto rec = readBuffer();
    host->openResults["/dev/sg1"] = -EACCES;
    EXPECT_EQ(kResultOpenFailed, passThru(*rec));
    host->openResults["/dev/sg1"] = -ENOENT;
    EXPECT_EQ(kResultDeviceGone, passThru(*rec));
    EXPECT_TRUE(host->sent.empty());
}

TEST_F(SgStoreLibTest, MalformedRecordsAndUnknownAddressesAreRefused)
{
    _SL_CTRL_LIST_T list;
    auto rec = readBuffer();
    EXPECT_EQ(kResultNotInitialised, passThru(*rec));
    EXPECT_EQ(kResultBadRecord, send(0, 0, 0x05000000, 0, list.bytes(), 100));
    EXPECT_EQ(kResultBadRecord, send(0, 0, 0x05000000, 0, nullptr, _SL_CTRL_LIST_T::kSize));
    init();
    EXPECT_EQ(kResultUnknownCommand, send(1, 3, 0x05000002, 0, nullptr, 0));
    auto onOtherHost = readBuffer(3);
    EXPECT_EQ(kResultNoDevice, passThru(*onOtherHost, 3, 0x05000005));
    EXPECT_EQ(kResultNoDevice, passThru(*rec, 1, 0x01000002));
    EXPECT_EQ(kResultBadRecord, send(6, 0, 0x05000002, 1, rec->bytes(), 63));
    EXPECT_EQ(kResultBadRecord, send(6, 0, 0x05000002, 1, rec->bytes(), 64 + 59));
    EXPECT_EQ(kResultBadRecord, passThru(*rec, 2)) << "device ID differs from the record's";
    rec->bytes()[CPassThruRecord::kOffCdbLength] = 0;
    EXPECT_EQ(kResultBadRecord, passThru(*rec));
    rec->bytes()[CPassThruRecord::kOffCdbLength] = 17;
    EXPECT_EQ(kResultBadRecord, passThru(*rec));
    EXPECT_TRUE(host->sent.empty());
}

TEST_F(SgStoreLibTest, ExitClosesDevicesAndNeedsAnotherInit)
{
    init();
    auto rec = readBuffer();
    ASSERT_EQ(0u, passThru(*rec));
    EXPECT_EQ(1u, host->open.size());
    EXPECT_EQ(0u, send(0, 9, 0, 0, nullptr, 0));
    EXPECT_TRUE(host->open.empty());
    EXPECT_EQ(kResultNotInitialised, passThru(*rec));
}

} // namespace

namespace
{

// The real host's open: only the sg driver's character nodes, never through
// a link someone placed, never another kind of file.
TEST(RealScsiGenericSystemTest, OpensNothingButScsiGenericNodes)
{
    char tmpl[] = "/tmp/sgopen_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string dir = tmpl;
    const std::string file = dir + "/sg0", link = dir + "/sg1";
    {
        std::ofstream(file) << "not a device";
    }
    ASSERT_EQ(0, symlink("/dev/null", link.c_str()));
    auto host = MakeRealScsiGenericSystem();
    EXPECT_EQ(-ENODEV, host->OpenDevice(file));
    EXPECT_EQ(-ELOOP, host->OpenDevice(link));
    EXPECT_EQ(-ENODEV, host->OpenDevice("/dev/null"));
    EXPECT_EQ(-ENOENT, host->OpenDevice(dir + "/sg9"));
    std::system(("rm -rf '" + dir + "'").c_str());
}

} // namespace
