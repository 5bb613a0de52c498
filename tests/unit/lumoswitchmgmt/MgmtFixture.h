#pragma once

// A fixture that runs the device manager in a scratch directory holding
// package.xml and payload/, with the simulated storage library as
// ./libstorelibit.so.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "ExecutableDirPlatform.h"
#include "FakeStoreLibSystem.h"
#include "LUMOSwitchMgmt.h"
#include "LinuxImpl.h"
#include "PlatformLayer.h"
#include "SimulatedSwitchLibrary.h"

namespace mgmttest
{

// Packages are unpacked by root with the usual umask. A test run under a
// looser one would make the package folders it builds writable by the group,
// which the program rightly refuses to use: the tests build theirs as root
// does.
inline const bool kPackageUmaskSet = [] {
    umask(022);
    return true;
}();

class StagingFake : public IPowerCycleStaging
{
public:
    StagingFake(int result, int* calls) : m_result(result), m_calls(calls) {}
    int regPowerCycle() override
    {
        ++*m_calls;
        return m_result;
    }

private:
    int m_result;
    int* m_calls;
};

// Notes what the manager tells the pending-power-cycle record, in order.
class FakePendingStore : public IPendingPowerCycleStore
{
public:
    void Forget() override { calls.push_back("forget"); }
    void Record(const std::vector<SPendingSwitch>& switches, bool staged) override
    {
        calls.push_back(staged ? "record staged" : "record manual");
        recorded = switches;
    }
    std::vector<std::string> calls;
    std::vector<SPendingSwitch> recorded;
};

// Runs each test in a scratch working directory that is also the executable's
// directory, with the simulated library installed as ./libstorelibit.so.
class MgmtFixture : public ::testing::Test
{
public:
    void SetUp() override
    {
        char previous[PATH_MAX] = {0};
        ASSERT_NE(nullptr, getcwd(previous, sizeof(previous)));
        m_previous = previous;
        char pattern[] = "/tmp/lumo_mgmt_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        ASSERT_EQ(0, chdir(dir.c_str()));
        std::filesystem::create_directory(dir + "/payload");
        lib.outDir = dir + "/switches";
        std::filesystem::create_directory(lib.outDir);
        m_platform.reset(new ExecutableDirPlatform(dir));
        m_previousPlatform = CPlatformLayer::SetPlatformSeams(m_platform.get());
        sys = std::make_shared<FakeStoreLibSystem>();
        sys->AddLibrary("./libstorelibit.so", "ProcessLibCommandIT", ZUKStoreLibTalker::VARIANT_IT,
                        [this](uint8_t* rec) { return lib(rec); });
    }

    void TearDown() override
    {
        for (CDeviceInfo* d : m_owned) {
            std::free(d->getDeviceHandle());
            delete d;
        }
        CPlatformLayer::SetPlatformSeams(m_previousPlatform);
        if (!m_previous.empty()) {
            EXPECT_EQ(0, chdir(m_previous.c_str()));
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Records a pass hands out are never freed by the program; the test frees
    // them when it ends.
    const std::vector<CDeviceInfo*>& adopt(const std::vector<CDeviceInfo*>& devices)
    {
        m_owned.insert(m_owned.end(), devices.begin(), devices.end());
        return devices;
    }

    // A manager over the simulated library and a fake staging; `adjust`
    // changes any other seam.
    std::unique_ptr<LUMOSwitchMgmt>
    makeManager(const std::function<void(LUMOSwitchMgmt::Seams&)>& adjust = nullptr)
    {
        LUMOSwitchMgmt::Seams seams;
        seams.storeLib = sys;
        seams.pendingPowerCycle = pending;
        seams.stagingFactory = [this](IProgressSink&) -> std::unique_ptr<IPowerCycleStaging> {
            ++stagingBuilt;
            if (!stagingAvailable) {
                return nullptr;
            }
            return std::make_unique<StagingFake>(stagingResult, &stagingCalls);
        };
        if (adjust) {
            adjust(seams);
        }
        return std::make_unique<LUMOSwitchMgmt>(dir + "/report.xml", std::move(seams));
    }

    void write(const std::string& name, const std::string& content) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << content;
    }
    void writeBytes(const std::string& name, const Bytes& content) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // package.xml listing the given (component ID, display, image file) entries.
    void writePackage(const std::vector<std::vector<std::string>>& entries)
    {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SoftwareComponent>"
                          "<SupportedDevices>\n";
        for (const auto& e : entries) {
            xml += "<Device componentID=\"" + e[0] + "\">";
            if (!e[1].empty()) {
                xml += "<Display>" + e[1] + "</Display>";
            }
            if (e.size() > 2) {
                xml += "<PayloadConfiguration><Image filename=\"" + e[2] +
                       "\"/></PayloadConfiguration>";
            }
            xml += "</Device>\n";
        }
        xml += "</SupportedDevices></SoftwareComponent>\n";
        write("package.xml", xml);
    }

    std::string dir;
    std::shared_ptr<FakeStoreLibSystem> sys;
    SimulatedSwitchLibrary lib;
    bool stagingAvailable = true;
    int stagingResult = 0;
    int stagingBuilt = 0;
    int stagingCalls = 0;
    std::shared_ptr<FakePendingStore> pending = std::make_shared<FakePendingStore>();

private:
    std::vector<CDeviceInfo*> m_owned;
    std::string m_previous;
    std::unique_ptr<ExecutableDirPlatform> m_platform;
    IPlatformImpl* m_previousPlatform = nullptr;
};

} // namespace mgmttest
