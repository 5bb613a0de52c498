// The IPMI library front, its session and its processor together, over the
// descriptors the simulated device hands out; every check on what was sent
// reads the simulated controller's request log.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "VEXIPMIInterfaceImpl.h"
#include "VEXIPMISys.h"
#include "VEXString.h"

namespace
{

// Real device calls and sleeps (the simulator answers and shortens them);
// module checks answered here, so the test never loads kernel modules.
class NoShellSys : public RealVEXIPMISys
{
public:
    int RunShell(const std::string& command) override
    {
        commands.push_back(command);
        return 0;
    }
    std::vector<std::string> commands;
};

std::atomic<int> gScenarios{0};

class SimulatedDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (getenv("LD_PRELOAD") == nullptr ||
            strstr(getenv("LD_PRELOAD"), "simipmi_preload") == nullptr) {
            GTEST_SKIP() << "needs LD_PRELOAD=libsimipmi_preload.so (ctest sets it)";
        }
        // The simulator reads its script once per process.
        if (gScenarios++ != 0) {
            GTEST_SKIP() << "one scenario per process; run through ctest";
        }
        char pattern[] = "/tmp/vexipmi_integration_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        m_PreviousCwd = cwd;
        ASSERT_EQ(chdir(m_Dir.c_str()), 0);
        SetVEXIPMISeams(sysPtr);
    }

    void TearDown() override
    {
        front.reset();
        SetVEXIPMISeams(nullptr);
        if (!m_Dir.empty()) {
            if (chdir(m_PreviousCwd.c_str()) != 0) {
                return;
            }
            std::error_code ignored;
            std::filesystem::remove_all(m_Dir, ignored);
        }
    }

    // Must run before the library first opens the device.
    void Scenario(const std::string& script)
    {
        std::ofstream(m_Dir + "/scenario.script") << script;
        setenv("SIMIPMI_SCRIPT", (m_Dir + "/scenario.script").c_str(), 1);
        setenv("SIMIPMI_LOG", (m_Dir + "/requests.log").c_str(), 1);
        setenv("SIMIPMI_STATE", (m_Dir + "/state").c_str(), 1);
        // The library's waits (20 s per receive, 1 s between open passes)
        // pass a thousand times faster under the simulator's clock.
        setenv("SIMIPMI_TIME_SCALE", "1000", 1);
    }

    void WriteFile(const std::string& name, const std::string& contents)
    {
        std::ofstream(m_Dir + "/" + name) << contents;
    }

    std::vector<std::string> RequestLog() const
    {
        std::ifstream in(m_Dir + "/requests.log");
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    std::string State(const std::string& key) const
    {
        std::ifstream in(m_Dir + "/state");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + "=", 0) == 0) {
                return line.substr(key.size() + 1);
            }
        }
        return "";
    }

    // A cleared record as the OEM layer fills it.
    std::unique_ptr<_VEXIPMICommandData> Record(std::vector<uint8_t> request,
                                                uint32_t expectedLength)
    {
        auto record = std::make_unique<_VEXIPMICommandData>();
        memset(record.get(), 0, sizeof(*record));
        record->pConfiguration = &config;
        record->RequestLength = static_cast<uint32_t>(request.size());
        memcpy(record->RequestData, request.data(), request.size());
        record->ResponseLength = expectedLength;
        return record;
    }

    static std::vector<uint8_t> Response(const _VEXIPMICommandData& record)
    {
        return std::vector<uint8_t>(record.ResponseData,
                                    record.ResponseData + std::min(record.ResponseLength, 255u));
    }

    std::shared_ptr<NoShellSys> sysPtr = std::make_shared<NoShellSys>();
    NoShellSys& sys = *sysPtr;
    _VEXIPMIConfiguration config{60, 5, 5, 50, 0, 0};
    std::unique_ptr<VEXIPMIInterfaceImpl> front = std::make_unique<VEXIPMIInterfaceImpl>();

private:
    std::string m_Dir;
    std::string m_PreviousCwd;
};

const char kRepository[] = "generation 30\nrepository 01\naccess enabled\nhandle 1234\n";

TEST_F(SimulatedDevice, RequestsAndRepliesCrossTheDeviceUnchanged)
{
    Scenario(kRepository);
    ASSERT_EQ(front->Initialize(&config), 0u);

    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    ASSERT_EQ(front->IPMIRequest(type.get()), 0u);
    EXPECT_EQ(Response(*type), (std::vector<uint8_t>{0x31, 0xAD, 0x00, 0x01, 0x00, 0x00}));

    auto open = Record({0x30, 0xA2, 0x12, 0x02, 0x2C, 0x01, 0x00, 0x00}, 9);
    ASSERT_EQ(front->IPMIRequest(open.get()), 0u);
    EXPECT_EQ(Response(*open),
              (std::vector<uint8_t>{0x31, 0xA2, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00}));

    auto generation = Record({0x30, 0xBD}, 9);
    ASSERT_EQ(front->IPMIRequest(generation.get()), 0u);
    EXPECT_EQ(generation->ResponseData[8], 0x30);

    EXPECT_TRUE(front->Release());
    front.reset();

    const std::vector<std::string> log = RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "seq=1 netfn=30 lun=0 cmd=ad op=RepositoryType req=00,00 cc=00 rsp=01,00,00");
    EXPECT_EQ(log[1].rfind("seq=2 netfn=30 lun=0 cmd=a2 op=BeginCORVELSessionExtended "
                           "req=12,02,2c,01,00,00 cc=00 rsp=34,12,00,00,00,00",
                           0),
              0u)
        << log[1];
    EXPECT_EQ(log[2].rfind("seq=3 netfn=30 lun=0 cmd=bd op=SystemGeneration req=- cc=00", 0), 0u)
        << log[2];
    EXPECT_EQ(State("opens"), "1");
}

TEST_F(SimulatedDevice, FallsBackToTheThirdDevicePath)
{
    Scenario(std::string(kRepository) + "devices /dev/ipmidev/0\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(type.get()), 0u);
    EXPECT_EQ(State("opens"), "3");
    EXPECT_EQ(State("open_failures"), "2");
    EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(SimulatedDevice, NoDeviceFailsInitialisationWithOneLine)
{
    Scenario(std::string(kRepository) + "devices none\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(front->Initialize(&config), 257u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Can't open IPMI device\n");
    EXPECT_EQ(State("opens"), "15");
    EXPECT_EQ(State("open_failures"), "15");
    EXPECT_TRUE(RequestLog().empty());
}

TEST_F(SimulatedDevice, RetryableCodeIsResentRetryCountTimes)
{
    Scenario(std::string(kRepository) + "on 30 ae : cc c0\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto access = Record({0x30, 0xAE, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(access.get()), 0u);
    EXPECT_EQ(access->ResponseData[2], 0xC0);
    const std::vector<std::string> log = RequestLog();
    ASSERT_EQ(log.size(), 5u);
    for (const std::string& line : log) {
        EXPECT_NE(line.find("cmd=ae op=AccessState req=00,00 cc=c0"), std::string::npos) << line;
    }
}

TEST_F(SimulatedDevice, FinalCodeIsReturnedAtOnce)
{
    Scenario(std::string(kRepository) + "on 30 ae : cc c1\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto access = Record({0x30, 0xAE, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(access.get()), 0u);
    EXPECT_EQ(access->ResponseData[2], 0xC1);
    EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(SimulatedDevice, SettingsFileDecidesTheResends)
{
    WriteFile("VEXIPMIConfig.xml",
              "<VEXRoot><D name=\"Default\"><C name=\"Default\"><RetryCount>2</RetryCount>"
              "</C></D></VEXRoot>");
    Scenario(std::string(kRepository) + "on 30 ae : cc c0\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    _VEXIPMIConfiguration own{60, 5, 9, 1, 0, 0};
    auto access = Record({0x30, 0xAE, 0x00, 0x00}, 6);
    access->pConfiguration = &own;
    EXPECT_EQ(front->IPMIRequest(access.get()), 0u);
    EXPECT_EQ(RequestLog().size(), 2u);
}

TEST_F(SimulatedDevice, StaleRepliesAreSkipped)
{
    Scenario(std::string(kRepository) + "on 30 ad : stale 2\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    ASSERT_EQ(front->IPMIRequest(type.get()), 0u);
    EXPECT_EQ(Response(*type), (std::vector<uint8_t>{0x31, 0xAD, 0x00, 0x01, 0x00, 0x00}));
    ASSERT_EQ(RequestLog().size(), 1u);
    EXPECT_NE(RequestLog()[0].find("stale=2"), std::string::npos);
}

TEST_F(SimulatedDevice, TooManyStaleRepliesMeanNoResponse)
{
    Scenario(std::string(kRepository) + "on 30 ad : stale 5\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(type.get()), 320u);
    // Nothing of the foreign replies reaches the record.
    EXPECT_EQ(Response(*type), std::vector<uint8_t>(6, 0x00));
}

TEST_F(SimulatedDevice, OversizedReplyIsCutAndReported)
{
    Scenario(std::string(kRepository) + "on 30 ad : length 300\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(type.get()), 320u);
    EXPECT_EQ(type->ResponseData[0], 0x31);
    EXPECT_EQ(type->ResponseData[1], 0xAD);
    EXPECT_EQ(type->ResponseData[2], 0x10);
    EXPECT_EQ(type->ResponseData[3], 0x01);
    EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(SimulatedDevice, SilentControllerTimesOutAfterEveryWait)
{
    Scenario(std::string(kRepository) + "on 30 ae : silent\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto access = Record({0x30, 0xAE, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(access.get()), 320u);
    EXPECT_EQ(access->ResponseData[2], 0x00);
    EXPECT_EQ(RequestLog().size(), 1u);

    // The next request on the same descriptor is unaffected.
    auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
    EXPECT_EQ(front->IPMIRequest(type.get()), 0u);
    EXPECT_EQ(type->ResponseData[3], 0x01);
}

TEST_F(SimulatedDevice, SendFailureMarksTheCompletionCode)
{
    Scenario(std::string(kRepository) + "on 30 bd : errno EIO\n");
    ASSERT_EQ(front->Initialize(&config), 0u);
    auto generation = Record({0x30, 0xBD}, 9);
    EXPECT_EQ(front->IPMIRequest(generation.get()), 320u);
    EXPECT_EQ(generation->ResponseData[2], 0x01);
    ASSERT_EQ(RequestLog().size(), 1u);
    EXPECT_NE(RequestLog()[0].find("errno=5"), std::string::npos) << RequestLog()[0];
}

TEST_F(SimulatedDevice, TwoThreadsUseTwoDescriptors)
{
    Scenario(kRepository);
    ASSERT_EQ(front->Initialize(&config), 0u);
    uint32_t results[2] = {1, 1};
    auto worker = [&](int i) {
        // Wrapping a record writes to its configuration: one per thread.
        _VEXIPMIConfiguration own = config;
        auto type = Record({0x30, 0xAD, 0x00, 0x00}, 6);
        type->pConfiguration = &own;
        results[i] = front->IPMIRequest(type.get());
        front->Release();
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(results[0], 0u);
    EXPECT_EQ(results[1], 0u);
    // The initialising thread's descriptor and one per worker.
    EXPECT_EQ(State("opens"), "3");
    EXPECT_EQ(State("open_failures"), "0");
    EXPECT_EQ(RequestLog().size(), 2u);
}

} // namespace
