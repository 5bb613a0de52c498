// Fixture for the access-layer tests: the simulated controller and fake host
// and sleeper in force, process-wide state reset, and a scratch working
// directory for the debug log and package files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Interruption.h"
#include "RecordingProgress.h"
#include "ScalFakes.h"
#include "SecureCorvel.h"
#include "SimulatedController.h"
#include "UpdRollbackWrapper.h"
#include "VEXIPMIUtil.h"

namespace scaltest
{

// Gives tests the state a finished initialisation would have left.
class TestCorvel : public secureCorvel
{
public:
    explicit TestCorvel(ScalSeams seams) : secureCorvel(std::move(seams)) {}
    void OpenSessionForTest(uint16_t handle)
    {
        m_bSessionActive = true;
        m_sessionHandle = handle;
    }
    void SetOsTypeForTest(int osType) { m_osType = osType; }
    void SetHalDaemonForTest(bool running) { m_bHalDaemonRunning = running; }
    // As if no rule file had been installed by this object yet.
    void ForgetInstalledRulesForTest() { m_installedRules.clear(); }
};

class ScalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A controller with the simulator's defaults until a test asks for another.
        sim = std::make_shared<SimulatedController>("");
        previous_ = SetOEMCommandSeams(OEMCommandSeams{sim, Borrow(sleeper)});
        ResetProcessState();
        char pattern[] = "/tmp/scal-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(scratch_.c_str()), 0);
        host.files["/etc/redhat-release"] = "Red Hat Enterprise Linux release 9.2 (Plow)\n";
        for (const char* dir : {"/etc/udev/rules.d/", "/lib/udev/rules.d/", "/run/udev/rules.d/"}) {
            host.files[dir] = "";
        }
        // The rule files the package ships.
        host.files[UdevRuleFile1] = "# repository USB device\n";
        host.files[UdevRuleFile2] = "# repository partitions\n";
    }

    void TearDown() override
    {
        ResetProcessState();
        SetOEMCommandSeams(previous_);
        if (chdir(oldCwd_.c_str()) != 0) {
            ADD_FAILURE() << "cannot return to " << oldCwd_;
        }
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    static void ResetProcessState()
    {
        if (LogFile.is_open()) {
            LogFile.close();
        }
        LogFile.clear();
        bCorvelDebugLog = false;
        GenerationType = -1;
        interruption::ResetForTesting();
        InitCorvelPartInfo();
        ClearIPMIRecord(IPMIReqBuf);
        ClearIPMIRecord(PollReqBuf);
    }

    // The debug marker as root leaves it, in a working directory of root's.
    void PutDebugMarker()
    {
        host.files["zukdebuglog"] = "";
        host.directories.insert(".");
    }

    // Opens the debug log directly, for tests that skip the constructor.
    void OpenLog()
    {
        LogFile.open(LogFilePath, std::ios::out | std::ios::app);
        bCorvelDebugLog = true;
    }

    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(scratch_ + "/" + LogFilePath);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    // Messages only: what follows "<file>:<line>: " on each line.
    std::vector<std::string> LogMessages() const
    {
        std::vector<std::string> out;
        for (const std::string& line : LogLines()) {
            std::size_t prefixEnd = line.find("] : ");
            std::size_t afterFile =
                prefixEnd == std::string::npos ? std::string::npos : line.find(": ", prefixEnd + 4);
            out.push_back(afterFile == std::string::npos ? line : line.substr(afterFile + 2));
        }
        return out;
    }

    unsigned CountLog(const std::string& message) const
    {
        unsigned count = 0;
        for (const std::string& text : LogMessages()) {
            if (text == message) {
                ++count;
            }
        }
        return count;
    }

    bool LogHas(const std::string& message) const { return CountLog(message) != 0; }

    // Index of the first message equal to `message`, or -1.
    int LogIndex(const std::string& message) const
    {
        std::vector<std::string> messages = LogMessages();
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (messages[i] == message) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    void WriteScratchFile(const std::string& name, const std::string& content)
    {
        std::ofstream out(scratch_ + "/" + name, std::ios::out | std::ios::trunc);
        out << content;
    }

    // Shares the fixture's member without owning it.
    template <typename T> static std::shared_ptr<T> Borrow(T& member)
    {
        return std::shared_ptr<T>(std::shared_ptr<T>(), &member);
    }

    // The fixture's host, sleeper and progress, for the object under test.
    ScalSeams Seams() { return ScalSeams{Borrow(host), Borrow(sleeper), Borrow(progress)}; }

    // Runs the wrapper's construction; returns the thrown code, or -1 when it
    // did not throw (the object is then deleted, running the shut-down).
    int ConstructWrapper(std::function<void(UpdRollbackWrapper&)> whileReady = nullptr)
    {
        return ConstructWrapperWith(Seams(), std::move(whileReady));
    }
    static int ConstructWrapperWith(ScalSeams seams,
                                    std::function<void(UpdRollbackWrapper&)> whileReady = nullptr)
    {
        try {
            UpdRollbackWrapper wrapper(std::move(seams));
            if (whileReady) {
                whileReady(wrapper);
            }
            return -1;
        } catch (unsigned char code) {
            return code;
        }
    }

    // The simulated controller with this script behind the command layer;
    // `libraryStarted`: as if the library had been started already.
    std::shared_ptr<SimulatedController> UseSimulatedController(const std::string& script,
                                                                bool libraryStarted)
    {
        sim = std::make_shared<SimulatedController>(script);
        sim->started = libraryStarted;
        SetOEMCommandSeams(OEMCommandSeams{sim, Borrow(sleeper)});
        return sim;
    }

    // The controller UseSimulatedController put in place.
    std::shared_ptr<SimulatedController> sim;
    FakeHost host;
    FakeSleeper sleeper;
    RecordingProgress progress;
    std::string scratch_;

private:
    OEMCommandSeams previous_;
    std::string oldCwd_;
};

} // namespace scaltest
