#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FakeIPMISys.h"
#include "IPMITestSupport.h"
#include "Logger.h"
#include "VEXEnvironmentInfo.h"
#include "VEXIPMIInterfaceImpl.h"
#include "VEXIPMISession.h"
#include "VEXIPMISessionHandler.h"
#include "VEXLogger.h"

namespace
{

class LinuxProbe : public IVEXOSProbe
{
public:
    bool ReadFirstLine(const std::string&, std::string&) override { return false; }
    bool KernelName(std::string& sysname) override
    {
        sysname = "Linux";
        return true;
    }
};

// The library front, its sessions and processors over the fake device, in a
// scratch working directory.
class IPMILibraryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetVEXIPMISeams(sysPtr);
        VEXLXOperatingSystemVersion::SetOSProbe(&probe);
        VEXIPMISession::GetXMLConfig().Release();
    }
    void TearDown() override
    {
        front.reset();
        VEXIPMISessionHandler::DestroyInstance();
        VEXIPMISession::GetXMLConfig().Release();
        VEXLogger::ResetForTesting();
        VEXLXOperatingSystemVersion::SetOSProbe(nullptr);
        SetVEXIPMISeams(nullptr);
    }

    static std::unique_ptr<_VEXIPMICommandData> Record(_VEXIPMIConfiguration* configuration)
    {
        auto record = std::make_unique<_VEXIPMICommandData>();
        memset(record.get(), 0, sizeof(*record));
        record->pConfiguration = configuration;
        record->RequestLength = 4;
        const uint8_t request[] = {0x30, 0xAD, 0x00, 0x00};
        memcpy(record->RequestData, request, sizeof(request));
        record->ResponseLength = 6;
        memset(record->ResponseData, 0xEE, sizeof(record->ResponseData));
        return record;
    }

    // Runs one request that never gets an answer and returns how many waits
    // and which pauses it took: the retry settings in force.
    std::pair<unsigned, std::vector<uint64_t>> SilentRequest(_VEXIPMIConfiguration* configuration)
    {
        sys.waits = 0;
        sys.sleeps.clear();
        sys.script.push_back(FakeIPMISys::Step{0, {}});
        auto record = Record(configuration);
        EXPECT_EQ(front->IPMIRequest(record.get()), 320u);
        EXPECT_EQ(record->ResponseData[2], 0x00); // cleared, never answered
        return {sys.waits, sys.sleeps};
    }

    ScopedTempCwd cwd;
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    LinuxProbe probe;
    std::unique_ptr<VEXIPMIInterfaceImpl> front = std::make_unique<VEXIPMIInterfaceImpl>();
    _VEXIPMIConfiguration callerConfig{60, 5, 5, 50, 0, 0};
};

TEST_F(IPMILibraryTest, RequestRoundTripThroughFrontSessionAndProcessor)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    sys.script.push_back(FakeIPMISys::Answer(0x00, {0x02, 0x00}));
    auto record = Record(&callerConfig);

    EXPECT_EQ(front->IPMIRequest(record.get()), 0u);
    EXPECT_EQ(record->ResponseLength, 5u);
    const uint8_t expected[] = {0x31, 0xA2, 0x00, 0x02, 0x00};
    EXPECT_EQ(0, memcmp(record->ResponseData, expected, sizeof(expected)));
    // Bytes past the reply were cleared before the request.
    EXPECT_EQ(record->ResponseData[5], 0x00);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].netfn, 0x30);
    EXPECT_EQ(sys.sent[0].cmd, 0xAD);
    EXPECT_EQ(sys.sent[0].data, (std::vector<uint8_t>{0x00, 0x00}));
}

TEST_F(IPMILibraryTest, NoDeviceGivesTheFrontsFailureAndOneLine)
{
    sys.devices.clear();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(front->Initialize(&callerConfig), 257u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Can't open IPMI device\n");
    EXPECT_EQ(sys.opens.size(), 15u);
    EXPECT_EQ(sys.sleeps, std::vector<uint64_t>(5, 1000));

    // A request on the uninitialised session tries the device again and
    // fails the same way instead of touching a missing processor.
    auto record = Record(&callerConfig);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(front->IPMIRequest(record.get()), 257u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Can't open IPMI device\n");
    EXPECT_TRUE(sys.sent.empty());
}

TEST_F(IPMILibraryTest, UnusableDriversStopBeforeAnySession)
{
    for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
        sys.shellStatus[std::string("lsmod  | grep ") + module + " > /dev/null 2>&1 "] = 256;
        sys.shellStatus[std::string("modprobe ") + module + " > /dev/null 2>&1 "] = 256;
    }
    EXPECT_EQ(front->Initialize(&callerConfig), 1u);
    EXPECT_TRUE(sys.opens.empty());
    EXPECT_EQ(VEXIPMISessionHandler::GetInstance()->SessionCount(), 0u);
}

TEST_F(IPMILibraryTest, ModulesLoadedForInitialisationAreUnloadedAtItsEnd)
{
    sys.shellStatus["lsmod  | grep ipmi_si > /dev/null 2>&1 "] = 256;
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    const std::vector<std::string> tail(sys.commands.end() - 2, sys.commands.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"modprobe ipmi_si > /dev/null 2>&1 ",
                                              "rmmod ipmi_si > /dev/null 2>&1 "}));
}

TEST_F(IPMILibraryTest, NullRecordIsRefused)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    EXPECT_EQ(front->IPMIRequest(nullptr), 257u);
    EXPECT_TRUE(sys.sent.empty());
}

TEST_F(IPMILibraryTest, WithoutFileCallerSettingsApply)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    auto defaults = SilentRequest(&callerConfig);
    EXPECT_EQ(defaults.first, 5u);
    EXPECT_EQ(defaults.second, std::vector<uint64_t>(5, 50));

    _VEXIPMIConfiguration own{60, 5, 2, 10, 0, 0};
    auto custom = SilentRequest(&own);
    EXPECT_EQ(custom.first, 2u);
    EXPECT_EQ(custom.second, std::vector<uint64_t>(2, 10));

    // No configuration on the record: the session's (the front's) applies.
    _VEXIPMIConfiguration initial{60, 5, 3, 7, 0, 0};
    front = std::make_unique<VEXIPMIInterfaceImpl>();
    ASSERT_EQ(front->Initialize(&initial), 0u);
    auto session = SilentRequest(nullptr);
    EXPECT_EQ(session.first, 3u);
    EXPECT_EQ(session.second, std::vector<uint64_t>(3, 7));
}

TEST_F(IPMILibraryTest, FileOverridesCallerSettings)
{
    cwd.write("VEXIPMIConfig.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    _VEXIPMIConfiguration own{60, 5, 9, 10, 0, 0};
    auto used = SilentRequest(&own);
    EXPECT_EQ(used.first, 3u);
    EXPECT_EQ(used.second, std::vector<uint64_t>(3, 50));
}

TEST_F(IPMILibraryTest, FileWithoutUsableDefaultsKeepsDefaults)
{
    cwd.write("VEXIPMIConfig.xml",
              "<r><d name=\"Default\"><c name=\"default\"><RetryCount>3</RetryCount></c></d></r>");
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    _VEXIPMIConfiguration own{60, 5, 9, 10, 0, 0};
    auto used = SilentRequest(&own);
    EXPECT_EQ(used.first, 5u);
    EXPECT_EQ(used.second, std::vector<uint64_t>(5, 50));
}

TEST_F(IPMILibraryTest, NegativeFileValueKeepsTheSetting)
{
    cwd.write("VEXIPMIConfig.xml",
              IPMIConfigXml("<RetryCount>-1</RetryCount><RetryInterval>x</RetryInterval>"));
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    auto used = SilentRequest(nullptr);
    EXPECT_EQ(used.first, 5u);
    // A key whose text is no number reads as 0.
    EXPECT_EQ(used.second, std::vector<uint64_t>(5, 0));
}

TEST_F(IPMILibraryTest, RecordBorrowsSessionSettingsForOneRequestOnly)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    auto bare = Record(nullptr);
    ASSERT_EQ(front->IPMIRequest(bare.get()), 0u);
    EXPECT_EQ(bare->pConfiguration, nullptr);

    // The caller keeps its record across a restart of the library; it must
    // not point into the destroyed session.
    front.reset();
    front = std::make_unique<VEXIPMIInterfaceImpl>();
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    auto used = SilentRequest(bare->pConfiguration);
    EXPECT_EQ(used.first, 5u);

    cwd.write("VEXIPMIConfig.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
    front.reset();
    VEXIPMISession::GetXMLConfig().Release();
    front = std::make_unique<VEXIPMIInterfaceImpl>();
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    _VEXIPMIConfiguration own{60, 5, 9, 10, 0, 0};
    auto mine = Record(&own);
    ASSERT_EQ(front->IPMIRequest(mine.get()), 0u);
    EXPECT_EQ(mine->pConfiguration, &own);
    EXPECT_EQ(own.RetryCount, 9u);
}

TEST_F(IPMILibraryTest, InitializeWithFileName)
{
    cwd.write("other.xml", IPMIConfigXml("<RetryCount>2</RetryCount>"));
    ASSERT_EQ(front->Initialize(VEXString("other.xml")), 0u);
    auto used = SilentRequest(&callerConfig);
    EXPECT_EQ(used.first, 2u);
    VEXIPMISession::SetConfigurationFileName(VEXString("VEXIPMIConfig.xml"));
}

TEST_F(IPMILibraryTest, TwoThreadsGetTwoSessionsWithTwoDescriptors)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    uint32_t results[2] = {1, 1};
    VEXIPMISession* sessions[2] = {nullptr, nullptr};
    auto worker = [&](int i) {
        // Wrapping a record writes to its configuration: one per thread.
        _VEXIPMIConfiguration own = callerConfig;
        auto record = Record(&own);
        results[i] = front->IPMIRequest(record.get());
        sessions[i] = VEXIPMISessionHandler::GetInstance()->GetSession();
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();

    EXPECT_EQ(results[0], 0u);
    EXPECT_EQ(results[1], 0u);
    EXPECT_NE(sessions[0], sessions[1]);
    // The initialising thread's session plus one per worker.
    EXPECT_EQ(VEXIPMISessionHandler::GetInstance()->SessionCount(), 3u);
    std::set<int> fds;
    for (const auto& sent : sys.sent) {
        fds.insert(sent.fd);
    }
    EXPECT_EQ(fds.size(), 2u);
    EXPECT_EQ(sys.opens.size(), 3u);
}

TEST_F(IPMILibraryTest, ReleaseClosesOnlyTheCallersSession)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    std::thread other([&] {
        // No session on this thread: nothing changes.
        EXPECT_TRUE(front->Release());
    });
    other.join();
    EXPECT_TRUE(sys.closes.empty());
    EXPECT_EQ(VEXIPMISessionHandler::GetInstance()->SessionCount(), 1u);

    EXPECT_TRUE(front->Release());
    EXPECT_EQ(sys.closes.size(), 1u);
    EXPECT_EQ(VEXIPMISessionHandler::GetInstance()->SessionCount(), 0u);
    EXPECT_TRUE(front->Release());
    EXPECT_EQ(sys.closes.size(), 1u);
}

TEST_F(IPMILibraryTest, DestroyingTheFrontClosesEveryDevice)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    std::thread other([&] {
        auto record = Record(&callerConfig);
        EXPECT_EQ(front->IPMIRequest(record.get()), 0u);
    });
    other.join();
    front.reset();
    EXPECT_EQ(sys.closes.size(), 2u);
}

TEST_F(IPMILibraryTest, SessionReleaseThenReuse)
{
    VEXIPMISession session;
    ASSERT_TRUE(session.Initialize(&callerConfig));
    ASSERT_TRUE(session.Release());
    EXPECT_FALSE(session.IsInitialized());
    _VEXIPMICommandData raw{};
    raw.RequestLength = 2;
    raw.RequestData[0] = 0x06;
    raw.RequestData[1] = 0x01;
    CVEXIPMICommandData data(&raw);
    EXPECT_EQ(session.ProcessCommand(&data), 0u);
    EXPECT_EQ(sys.opens.size(), 2u);
}

TEST_F(IPMILibraryTest, DebugMarkerTurnsOnTheInternalLogOnly)
{
    cwd.write("zukdebuglog", "");
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    front.reset();
    EXPECT_TRUE(cwd.exists("vexipmi.log"));
    EXPECT_EQ(cwd.read("vexipmi.log"), "");
    const std::string internal = cwd.read("vexipmi_internal.log");
    EXPECT_NE(internal.find("Started Logging for VEXIPMI Library"), std::string::npos);
    EXPECT_NE(internal.find("VEXIPMIXMLConfig::Initialize() - File Not Found"), std::string::npos);
    EXPECT_NE(internal.find("VEXIPMIInterfaceImpl::~VEXIPMIInterfaceImpl() Leaving"),
              std::string::npos);
}

// Function and message of the internal-log lines of the session, its
// processor's creation and the settings file, in order.
std::vector<std::string> SessionAndSettingsLines(const std::string& log)
{
    static const std::regex line(
        R"(^VEXIPMILibrary \S+\s*: \S+ \S+ (\S+)\s*\(\) (\S+)\s*:\s*\d+ (.*)$)");
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
        if (std::regex_match(text, m, line) &&
            (m[2] == "VEXIPMISession" || m[2] == "VEXIPMIXMLConfiguration" ||
             m[2] == "VEXIPMICommandProcessorCreator")) {
            out.push_back(m[1].str() + ": " + m[3].str());
        }
    }
    return out;
}

// Without a settings file the session reads each of its four keys, and each
// read tries the file once more; the logs show every attempt under the
// name of the call that made it.
TEST_F(IPMILibraryTest, WithoutSettingsFileEveryReadOfItIsLogged)
{
    cwd.write("zukdebuglog", "");
    CLogger::ResetForTesting();
    CLogger::GetInstance()->Initialize(cwd.path() + "/program.log");
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    sys.script.push_back(FakeIPMISys::Answer(0x00, {0x00, 0x00}));
    auto record = Record(&callerConfig);
    EXPECT_EQ(front->IPMIRequest(record.get()), 0u);
    EXPECT_TRUE(front->Release());
    front.reset();
    const std::string program = cwd.read("program.log");
    CLogger::ResetForTesting();

    const std::vector<std::string> reread = {
        "Initialize: VEXIPMIXMLConfig::Initialize() - File Not Found",
        "Initialize: VEXIPMIXMLConfig::Initialize() Leaving",
        "GetConfigInt: IPMI configuration not initialized"};
    std::vector<std::string> expected = {
        "Initialize: VEXIPMIXMLConfig::Initialize() - File Not Found",
        "Initialize: VEXIPMIXMLConfig::Initialize() Leaving"};
    for (int key = 0; key < 4; ++key) {
        expected.insert(expected.end(), reread.begin(), reread.end());
    }
    expected.insert(expected.end(),
                    {"Initialize: Config couldn't be initialized from configuration file",
                     "ProcessCommand: VEXIPMISession::ProcessCommand() Entering",
                     "ProcessCommand: VEXIPMISession::ProcessCommand() Leaving"});
    EXPECT_EQ(SessionAndSettingsLines(cwd.read("vexipmi_internal.log")), expected);

    const std::string missing = "CLinuxImpl::IsFileExistsAbs() File name " + cwd.path() +
                                "/VEXIPMIConfig.xml doesnt exist\n";
    size_t count = 0;
    for (size_t at = program.find(missing); at != std::string::npos;
         at = program.find(missing, at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 5u) << program;
}

TEST_F(IPMILibraryTest, NoMarkerNoLogs)
{
    ASSERT_EQ(front->Initialize(&callerConfig), 0u);
    front.reset();
    EXPECT_FALSE(cwd.exists("vexipmi.log"));
    EXPECT_FALSE(cwd.exists("vexipmi_internal.log"));
}

} // namespace
