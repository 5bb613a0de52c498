#pragma once

// A fake IT storage library holding switches behind controllers, decoding the
// records at their byte offsets, and a fixture that runs the device manager
// in a scratch directory holding package.xml and payload/.

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
#include "FakeStoreLibSystem.h"
#include "LUMOSwitchMgmt.h"
#include "LinuxImpl.h"
#include "PlatformLayer.h"

namespace mgmttest
{

using Bytes = std::vector<uint8_t>;

inline uint16_t Le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}
inline uint8_t* DataPtr(const uint8_t* record)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | record[32 + i];
    }
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(v));
}

struct FakeSwitch {
    uint16_t id = 0;
    uint8_t type = 0x0D;
    std::string serial;
    int vpdLength = -1; // page-length byte; -1 = serial length
    std::string product = "LUMO PCIe Switch";
    uint8_t revision[4] = {1, 2, 10, 0};
    uint32_t vpdResult = 0;
    uint32_t inquiryResult = 0;
    uint32_t readBufferResult = 0;
};

struct FakeController {
    uint32_t id = 0;
    uint32_t pdListResult = 0;
    int pdListCount = -1;
    std::vector<FakeSwitch> switches;
};

struct Chunk {
    uint32_t ctrlId;
    uint16_t deviceId;
    uint32_t recordSize;
    Bytes header; // the 64 header bytes as sent
    Bytes data;
};

class FakeSwitchLibrary
{
public:
    uint32_t initResult = 0;
    int initCount = -1;
    std::vector<FakeController> controllers;
    // Answer to the n-th WRITE BUFFER (0-based) of each device: library result
    // or SCSI status with sense.
    struct ChunkAnswer {
        uint32_t result = 0;
        uint8_t status = 0;
    };
    std::map<std::pair<uint16_t, size_t>, ChunkAnswer> chunkAnswers;
    // Sense bytes sent with such an answer's status in place of the fixed
    // format ILLEGAL REQUEST.
    std::map<std::pair<uint16_t, size_t>, Bytes> chunkSense;
    // Called while the n-th WRITE BUFFER (0-based) of a device is under way.
    std::function<void(uint16_t, size_t)> duringChunk;

    std::vector<Chunk> chunks;
    std::map<uint16_t, size_t> chunkCount;
    std::vector<Bytes> records;
    int pdListCommands = 0;
    int vpdInquiries = 0;

    uint32_t operator()(uint8_t* rec)
    {
        records.emplace_back(rec, rec + 40);
        uint8_t* data = DataPtr(rec);
        const uint32_t size = Le32(rec + 28);
        const uint32_t ctrl = Le32(rec + 4);
        if (rec[0] == 0 && rec[1] == 0) {
            if (initResult != 0) {
                return initResult;
            }
            EXPECT_EQ(260u, size);
            Put16(data, uint16_t(initCount >= 0 ? initCount : int(controllers.size())));
            for (size_t i = 0; i < controllers.size() && i < 64; ++i) {
                Put32(data + 4 + 4 * i, controllers[i].id);
            }
            return 0;
        }
        if (rec[0] == 0 && rec[1] == 9) {
            return 0;
        }
        FakeController* c = find(ctrl);
        if (c == nullptr) {
            ADD_FAILURE() << "command for unknown controller " << std::hex << ctrl;
            return 0xE1;
        }
        if (rec[0] == 1 && rec[1] == 4) {
            ++pdListCommands;
            EXPECT_EQ(6152u, size);
            if (c->pdListResult != 0) {
                return c->pdListResult;
            }
            const size_t n = std::min<size_t>(c->switches.size(), 256);
            Put32(data + 4, uint32_t(c->pdListCount >= 0 ? c->pdListCount : int(n)));
            for (size_t i = 0; i < n; ++i) {
                uint8_t* e = data + 8 + 24 * i;
                Put16(e, c->switches[i].id);
                e[2] = 0xEE; // neighbours of the fields read are not zero
                e[6] = c->switches[i].type;
                e[7] = 0xEE;
            }
            return 0;
        }
        if (rec[0] == 6 && rec[1] == 0) {
            return passThru(*c, Le16(rec + 8), data, size);
        }
        ADD_FAILURE() << "unexpected command " << int(rec[0]) << "/" << int(rec[1]);
        return 0xE0;
    }

    std::vector<Chunk> chunksOf(uint16_t deviceId) const
    {
        std::vector<Chunk> out;
        for (const Chunk& c : chunks) {
            if (c.deviceId == deviceId) {
                out.push_back(c);
            }
        }
        return out;
    }

private:
    FakeController* find(uint32_t id)
    {
        for (FakeController& c : controllers) {
            if (c.id == id) {
                return &c;
            }
        }
        return nullptr;
    }

    uint32_t passThru(FakeController& c, uint16_t dev, uint8_t* pt, uint32_t size)
    {
        EXPECT_EQ(dev, Le16(pt));
        const uint32_t len = Le32(pt + 60);
        const uint8_t* cdb = pt + 12;
        FakeSwitch* sw = nullptr;
        for (FakeSwitch& s : c.switches) {
            if (s.id == dev) {
                sw = &s;
            }
        }
        if (sw == nullptr) {
            ADD_FAILURE() << "pass-through to unknown device " << dev;
            return 0xE2;
        }
        uint8_t* out = pt + 64;
        if (cdb[0] == 0x3B) {
            const size_t n = chunkCount[dev]++;
            chunks.push_back(Chunk{c.id, dev, size, Bytes(pt, pt + 64), Bytes(out, out + len)});
            if (duringChunk) {
                duringChunk(dev, n);
            }
            auto it = chunkAnswers.find({dev, n});
            if (it != chunkAnswers.end()) {
                pt[10] = it->second.status;
                auto sense = chunkSense.find({dev, n});
                if (sense != chunkSense.end()) {
                    std::copy(sense->second.begin(), sense->second.end(), pt + 28);
                } else if (it->second.status != 0) {
                    pt[28] = 0x70;
                    pt[30] = 0x05;
                }
                return it->second.result;
            }
            return 0;
        }
        if (cdb[0] == 0x12 && cdb[1] == 0x01) {
            ++vpdInquiries;
            if (sw->vpdResult != 0) {
                return sw->vpdResult;
            }
            out[0] = sw->type;
            out[1] = 0x80;
            out[3] = uint8_t(sw->vpdLength >= 0 ? sw->vpdLength : int(sw->serial.size()));
            std::memcpy(out + 4, sw->serial.data(), std::min<size_t>(sw->serial.size(), len - 4));
            return 0;
        }
        if (cdb[0] == 0x12) {
            if (sw->inquiryResult != 0) {
                return sw->inquiryResult;
            }
            std::memset(out + 8, 'V', 8);
            std::memcpy(out + 16, sw->product.data(), std::min<size_t>(16, sw->product.size()));
            std::memset(out + 32, 'R', 4);
            return 0;
        }
        if (cdb[0] == 0x3C) {
            if (sw->readBufferResult != 0) {
                return sw->readBufferResult;
            }
            std::memset(out, 0xEE, 12);
            std::memcpy(out + 12, sw->revision, 4);
            return 0;
        }
        ADD_FAILURE() << "unknown CDB " << int(cdb[0]);
        return 0xE5;
    }
};

// Packages are unpacked by root with the usual umask. A test run under a
// looser one would make the package folders it builds writable by the group,
// which the program rightly refuses to use: the tests build theirs as root
// does.
inline const bool kPackageUmaskSet = [] {
    umask(022);
    return true;
}();

// Executable directory pointed at the scratch directory, everything else real.
class ScratchPlatform : public CLinuxImpl
{
public:
    explicit ScratchPlatform(std::string dir) : m_dir(std::move(dir)) {}
    std::string getCurrentProcessDirectory() override { return m_dir + "/"; }

private:
    std::string m_dir;
};

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
// directory, with the fake library installed as ./libstorelibit.so.
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
        m_platform.reset(new ScratchPlatform(dir));
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

    // A manager over the fake library and staging; `adjust` changes any
    // other seam.
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
    FakeSwitchLibrary lib;
    bool stagingAvailable = true;
    int stagingResult = 0;
    int stagingBuilt = 0;
    int stagingCalls = 0;
    std::shared_ptr<FakePendingStore> pending = std::make_shared<FakePendingStore>();

private:
    std::vector<CDeviceInfo*> m_owned;
    std::string m_previous;
    std::unique_ptr<ScratchPlatform> m_platform;
    IPlatformImpl* m_previousPlatform = nullptr;
};

} // namespace mgmttest
