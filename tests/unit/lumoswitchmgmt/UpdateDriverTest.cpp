#include <cstdio>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include <csignal>

#include "DeviceInfo.h"
#include "DeviceXMLWriter.h"
#include "FakeManifestVerifier.h"
#include "Interruption.h"
#include "MgmtFixture.h"

namespace
{

using namespace mgmttest;
using pkgtrust::EVerdict;

const char kSuccess[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Rebooting the system will perform Quillpath "
    "controller's power cycle action.";
const char kManual[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Please power cycle the system manually.";

std::string Key(size_t row)
{
    return PlatformSerialTable().at(row).key;
}
std::string Id(size_t row)
{
    return PlatformSerialTable().at(row).componentID;
}

// Two switches on one controller: device 1 is row 0 of the table, device 2 row 1.
class UpdateTest : public MgmtFixture
{
public:
    void SetUp() override
    {
        MgmtFixture::SetUp();
        lib.topology.controllers = {
            Controller(0x05000000, {Switch(1, 0x0D, Key(0)), Switch(2, 0x0D, Key(1))})};
        writeBytes("payload/a.bin", Bytes(40000, 0xA1));
        writeBytes("payload/b.bin", Bytes(1000, 0xB2));
    }

    std::vector<CDeviceInfo*> update()
    {
        auto mgmt = makeManager();
        return adopt(mgmt->Update());
    }
};

TEST_F(UpdateTest, BothDownloadedAndStagedReportSuccessAndReboot)
{
    writePackage({{Id(0), "One", "a.bin"}, {Id(1), "Two", "b.bin"}});
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    for (CDeviceInfo* d : devices) {
        EXPECT_EQ(0, d->getStatus());
        EXPECT_TRUE(d->getRebootRequired());
        EXPECT_TRUE(d->getColdPowerCycleRequired());
        EXPECT_EQ(kSuccess, d->getErrorMsg());
    }
    EXPECT_EQ(1, stagingCalls);
    EXPECT_EQ(Bytes(40000, 0xA1), [&] {
        Bytes all;
        for (const Chunk& c : lib.chunksOf(1)) {
            all.insert(all.end(), c.data.begin(), c.data.end());
        }
        return all;
    }());
    const std::string report = read("report.xml");
    EXPECT_NE(std::string::npos, report.find("<RebootRequired>1</RebootRequired></SVMExecution>"));
}

// A package entry without an image names the payload directory itself.
TEST_F(UpdateTest, EntryWithoutImageFailsThatSwitchOnly)
{
    writePackage({{Id(0), "One"}, {Id(1), "Two", "b.bin"}});
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(1, devices[0]->getStatus());
    EXPECT_EQ("ERROR: Failed to read firmware image", devices[0]->getErrorMsg());
    EXPECT_EQ(0, devices[1]->getStatus());
    EXPECT_EQ(kSuccess, devices[1]->getErrorMsg());
    EXPECT_TRUE(lib.chunksOf(1).empty());
    EXPECT_EQ(1, stagingCalls);
}

struct DeviceFailureCase {
    const char* name;
    std::function<void(UpdateTest&)> arrange;
    const char* error;
    bool nothingSent = false; // not a byte of the image reached switch 1
};

// Cases print as their name in test listings.
void PrintTo(const DeviceFailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class UpdateFailureTest : public UpdateTest, public ::testing::WithParamInterface<DeviceFailureCase>
{
};

// Each failure of switch 1 leaves switch 2 updated.
TEST_P(UpdateFailureTest, PerDeviceErrorTextAndTheOtherSwitchStillUpdated)
{
    GetParam().arrange(*this);
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(1, devices[0]->getStatus());
    EXPECT_EQ(GetParam().error, devices[0]->getErrorMsg());
    EXPECT_FALSE(devices[0]->getRebootRequired());
    if (GetParam().nothingSent) {
        EXPECT_TRUE(lib.chunksOf(1).empty());
    }
    EXPECT_EQ(0, devices[1]->getStatus());
    EXPECT_EQ(kSuccess, devices[1]->getErrorMsg());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateFailureTest,
    ::testing::Values(
        DeviceFailureCase{"MissingFile",
                          [](UpdateTest& fx) {
                              fx.writePackage({{Id(0), "", "gone.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to read firmware image"},
        DeviceFailureCase{
            "TwoEntriesForOneComponent",
            [](UpdateTest& fx) {
                fx.writePackage({{Id(0), "", "a.bin"}, {Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
            },
            "ERROR: Failed to read firmware image"},
        DeviceFailureCase{"EmptyFile",
                          [](UpdateTest& fx) {
                              auto& f = fx;
                              f.writeBytes("payload/a.bin", Bytes());
                              f.writePackage({{Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware"},
        DeviceFailureCase{"Oversized",
                          [](UpdateTest& fx) {
                              auto& f = fx;
                              f.writeBytes("payload/a.bin", Bytes((16u << 20) + 1, 1));
                              f.writePackage({{Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware"},
        DeviceFailureCase{"ChunkCheckCondition",
                          [](UpdateTest& fx) {
                              auto& f = fx;
                              f.lib.addFault(ChunkFault(1, 2, 0, 2));
                              f.writePackage({{Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware"},
        // Names in package.xml that would lead outside payload/: refused, nothing sent.
        DeviceFailureCase{"TraversalOutOfPayload",
                          [](UpdateTest& fx) {
                              fx.writeBytes("secret.bin", Bytes(100, 0x5E));
                              fx.writePackage({{Id(0), "", "../secret.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware", true},
        DeviceFailureCase{"LinkOutOfPayload",
                          [](UpdateTest& fx) {
                              fx.writeBytes("secret.bin", Bytes(100, 0x5E));
                              std::filesystem::create_symlink(fx.dir + "/secret.bin",
                                                              fx.dir + "/payload/link.bin");
                              fx.writePackage({{Id(0), "", "link.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware", true},
        DeviceFailureCase{"Fifo",
                          [](UpdateTest& fx) {
                              ASSERT_EQ(0, mkfifo((fx.dir + "/payload/fifo.bin").c_str(), 0644));
                              fx.writePackage({{Id(0), "", "fifo.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Failed to Update Firmware", true},
        // Matches the filter as a hexadecimal number, not the payload lookup as text.
        DeviceFailureCase{"LeadingZeroInPackage",
                          [](UpdateTest& fx) {
                              fx.writePackage({{"0" + Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
                          },
                          "ERROR: Invalid firmware image"}),
    [](const ::testing::TestParamInfo<DeviceFailureCase>& p) { return std::string(p.param.name); });

TEST_F(UpdateTest, FailedStagingAsksForManualPowerCycleOnlyOnDownloadedSwitches)
{
    lib.addFault(ChunkFault(1, 1, 7, 0));
    writePackage({{Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
    for (bool wrapperBuilt : {true, false}) {
        SCOPED_TRACE(wrapperBuilt);
        lib.chunks.clear();
        stagingAvailable = wrapperBuilt;
        stagingResult = 1;
        const auto devices = update();
        ASSERT_EQ(2u, devices.size());
        EXPECT_EQ(1, devices[0]->getStatus());
        EXPECT_EQ("ERROR: Failed to Update Firmware", devices[0]->getErrorMsg());
        EXPECT_EQ(0, devices[1]->getStatus());
        EXPECT_FALSE(devices[1]->getRebootRequired());
        EXPECT_TRUE(devices[1]->getColdPowerCycleRequired());
        EXPECT_EQ(kManual, devices[1]->getErrorMsg());
        EXPECT_EQ(std::string::npos, read("report.xml").find("RebootRequired"));
    }
}

// The record of what waits for the power cycle is dropped before the first
// image goes out and names, afterwards, exactly the switches that took one,
// with the version each ran and the one the package brings.
TEST_F(UpdateTest, PendingPowerCycleRecordsTheSwitchesThatTookTheirImage)
{
    write("package.xml", "<SoftwareComponent vendorVersion=\"2.0.0.0\"><SupportedDevices>"
                         "<Device componentID=\"" +
                             Id(0) +
                             "\"><PayloadConfiguration>"
                             "<Image filename=\"a.bin\"/></PayloadConfiguration></Device>"
                             "<Device componentID=\"" +
                             Id(1) +
                             "\" version=\"1.3.0.0\">"
                             "<PayloadConfiguration><Image filename=\"b.bin\"/>"
                             "</PayloadConfiguration></Device></SupportedDevices>"
                             "</SoftwareComponent>");
    const struct {
        const char* name;
        std::vector<std::pair<uint16_t, uint8_t>> rejects; // switch, SCSI status of chunk 0
        int stagingResult;
        std::vector<std::string> calls;
        std::vector<std::string> recorded; // component, before, package version, serial
    } cases[] = {
        {"both staged",
         {},
         0,
         {"forget", "record staged"},
         {Id(0) + " 1.2.10.0 2.0.0.0 " + Key(0), Id(1) + " 1.2.10.0 1.3.0.0 " + Key(1)}},
        {"one failed, staging failed",
         {{1, 2}},
         1,
         {"forget", "record manual"},
         {Id(1) + " 1.2.10.0 1.3.0.0 " + Key(1)}},
        {"none took it", {{1, 2}, {2, 2}}, 0, {"forget"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lib.clearFaults();
        for (const auto& reject : c.rejects) {
            lib.addFault(ChunkFault(reject.first, 1, 0, reject.second));
        }
        stagingResult = c.stagingResult;
        pending = std::make_shared<FakePendingStore>();
        update();
        EXPECT_EQ(c.calls, pending->calls);
        std::vector<std::string> recorded;
        for (const SPendingSwitch& p : pending->recorded) {
            recorded.push_back(p.componentID + " " + p.versionBefore + " " + p.packageVersion +
                               " " + p.serial);
        }
        EXPECT_EQ(c.recorded, recorded);
    }
}

TEST_F(UpdateTest, AllDownloadsFailedMeansNoStaging)
{
    lib.addFault(ChunkFault(1, 1, 7, 0));
    lib.addFault(ChunkFault(2, 1, 0, 2));
    writePackage({{Id(0), "", "a.bin"}, {Id(1), "", "b.bin"}});
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(0, stagingBuilt);
    for (CDeviceInfo* d : devices) {
        EXPECT_EQ(1, d->getStatus());
        EXPECT_EQ("ERROR: Failed to Update Firmware", d->getErrorMsg());
    }
}

// Without a usable package nothing is downloaded: every discovered switch is
// a failure that names the reason, and nothing is staged.
TEST_F(UpdateTest, UnusablePackageFailsEverySwitchWithTheReason)
{
    const struct {
        const char* name;
        const char* xml; // nullptr: no package.xml at all
        const char* error;
        mode_t mode = 0644;
    } cases[] = {
        {"missing", nullptr, "ERROR: package.xml not found"},
        {"unparsable", "<SoftwareComponent><SupportedDevices>",
         "ERROR: package.xml could not be parsed"},
        {"empty", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>",
         "ERROR: package.xml lists no supported device"},
        // The tool's own refusal, named in the report as well.
        {"writable by the group", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>",
         "ERROR: package.xml refused: writable by group or others", 0664},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((dir + "/package.xml").c_str());
        if (c.xml != nullptr) {
            write("package.xml", c.xml);
            chmod((dir + "/package.xml").c_str(), c.mode);
        }
        const auto devices = update();
        EXPECT_EQ(2u, devices.size());
        EXPECT_TRUE(lib.chunks.empty());
        EXPECT_EQ(0, stagingBuilt);
        for (CDeviceInfo* d : devices) {
            EXPECT_EQ(1, d->getStatus());
            EXPECT_EQ(c.error, d->getErrorMsg());
            EXPECT_FALSE(d->getRebootRequired());
        }
        const std::string report = read("report.xml");
        EXPECT_EQ(2u, [&] {
            size_t n = 0;
            const std::string failed =
                std::string("<SPStatus result = \"false\" ><Message id=\"0\" >") + c.error +
                "</Message></SPStatus>";
            for (size_t at = report.find(failed); at != std::string::npos;
                 at = report.find(failed, at + 1)) {
                ++n;
            }
            return n;
        }()) << report;
        EXPECT_EQ(std::string::npos, report.find("RebootRequired"));
    }
}

TEST_F(UpdateTest, NoSwitchMatchingThePackageLeavesAnEmptyReport)
{
    writePackage({{"ABCDEF", "", "a.bin"}});
    const auto devices = update();
    EXPECT_TRUE(devices.empty());
    EXPECT_TRUE(lib.chunks.empty());
    EXPECT_NE(std::string::npos, read("report.xml").find("Device not found"));
}

TEST_F(UpdateTest, FilterComparesComponentIDsAsHexadecimalNumbers)
{
    writePackage({{"0x" + Id(1), ""}});
    auto mgmt = makeManager();
    std::vector<CDeviceInfo*> devices;
    mgmt->discoverLUMOSwitch(devices);
    ASSERT_EQ(2u, devices.size());
    CDeviceInfo* second = devices[1];
    EXPECT_TRUE(mgmt->FilterSupportedDeviceInfo(devices));
    adopt(devices);
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ(second, devices[0]);
}

TEST_F(UpdateTest, PayloadPathIsTheExecutableDirectoryAndTheImageName)
{
    writePackage({{Id(0), "", "a.bin"}, {Id(0), "", "c.bin"}});
    auto mgmt = makeManager();
    std::string path;
    EXPECT_TRUE(mgmt->getPayloadFiles(Id(0), path));
    // Both entries are appended; the first Image in the document names both.
    EXPECT_EQ(dir + "/payload/a.bin/a.bin", path);
    EXPECT_FALSE(mgmt->getPayloadFiles(Id(1), path));
    EXPECT_EQ(dir + "/payload", path);
}

// The program's own handlers for the termination signals, for as long as
// the object lives.
class DeferredSignals
{
public:
    DeferredSignals()
    {
        for (size_t i = 0; i < 3; ++i) {
            sigaction(kSignals[i], nullptr, &m_saved[i]);
        }
        EXPECT_TRUE(interruption::InstallDeferredHandlers());
    }
    ~DeferredSignals()
    {
        for (size_t i = 0; i < 3; ++i) {
            sigaction(kSignals[i], &m_saved[i], nullptr);
        }
    }
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

private:
    static constexpr int kSignals[3] = {SIGTERM, SIGHUP, SIGINT};
    struct sigaction m_saved[3] = {};
};

// A termination signal during a download: the chunk under way completes, no
// further chunk or switch is written, nothing is staged, and every switch
// that got its whole image says the power cycle is to be done by hand.
TEST_F(UpdateTest, SignalDuringADownloadStopsBeforeTheNextChunk)
{
    writePackage({{Id(0), "One", "a.bin"}, {Id(1), "Two", "b.bin"}});
    const struct {
        const char* name;
        uint16_t device;
        uint32_t chunk; // 1-based
        size_t chunksOf1, chunksOf2;
        int status1, status2;
    } cases[] = {
        {"first chunk of switch 1", 1, 1, 1, 0, 1, 1},
        {"last chunk of switch 1", 1, 2, 2, 0, 0, 1},
        {"only chunk of switch 2", 2, 1, 2, 1, 0, 0},
    };
    DeferredSignals handlers;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        interruption::ResetForTesting();
        lib.chunks.clear();
        lib.clearFaults();
        stagingBuilt = 0;
        lib.addFault(SignalFault(c.device, c.chunk, SIGTERM));
        const auto devices = update();
        interruption::ResetForTesting();
        ASSERT_EQ(2u, devices.size());
        EXPECT_EQ(c.chunksOf1, lib.chunksOf(1).size());
        EXPECT_EQ(c.chunksOf2, lib.chunksOf(2).size());
        EXPECT_EQ(0, stagingBuilt);
        const int expected[2] = {c.status1, c.status2};
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(expected[i], devices[i]->getStatus()) << i;
            EXPECT_FALSE(devices[i]->getRebootRequired()) << i;
            EXPECT_EQ(expected[i] == 0 ? kManual : "ERROR: Failed to Update Firmware",
                      devices[i]->getErrorMsg())
                << i;
        }
        const std::string report = read("report.xml");
        EXPECT_NE(std::string::npos, report.find("</SVMExecution>")) << "the report is whole";
        EXPECT_EQ(std::string::npos, report.find("RebootRequired"));
    }
}

class ThrowingWriter : public IDeviceXMLWriter
{
public:
    explicit ThrowingWriter(bool standard) : m_standard(standard) {}
    bool GetXML(const std::vector<CDeviceInfo*>&, std::string) override
    {
        if (m_standard) {
            throw std::runtime_error("disk full");
        }
        throw 42;
    }

private:
    bool m_standard;
};

TEST_F(UpdateTest, WriterExceptionEndsTheProcessWithStatusOneAfterItsLogLine)
{
    for (bool standard : {true, false}) {
        StoreLibLogCapture log;
        std::vector<int> exits;
        std::ostringstream err;
        auto mgmt = makeManager([&](LUMOSwitchMgmt::Seams& s) {
            s.exit = [&exits](int status) { exits.push_back(status); };
            s.errors = &err;
        });
        ThrowingWriter writer(standard);
        mgmt->generateXML(&writer, {}, "");
        EXPECT_EQ(std::vector<int>{1}, exits);
        EXPECT_EQ(standard ? "lumoswitch: disk full\n"
                           : "lumoswitch: the report could not be written\n",
                  err.str());
        EXPECT_TRUE(log.has(standard ? "generateXML(): Exception Is: disk full"
                                     : "generateXML(): pDeviceXmlWriter->GetXML() created an "
                                       "unkown exception"));
    }
    auto mgmt = makeManager();
    EXPECT_EQ(0, mgmt->generateXML(nullptr, {}, ""));
}

// ------------------------------------------- files checked against package.jcat

// The same switches on a host that trusts one signer, with a package that
// carries a manifest; the reader is a fake.
class PackageCheckTest : public UpdateTest
{
public:
    void SetUp() override
    {
        UpdateTest::SetUp();
        writePackage({{Id(0), "One", "a.bin"}, {Id(1), "Two", "b.bin"}});
        write("package.jcat", "manifest");
        std::filesystem::create_directories(dir + "/etc/trust");
        write("etc/trust/maker.pem", kFakeCertificate);
        log = std::make_shared<ManifestReaderLog>();
        m_previous = pkgtrust::SetSeams(
            FakeTrustSeams(dir + "/etc/trust", log, [this](const std::string& id) {
                const auto it = refused.find(id);
                return it == refused.end() ? pkgtrust::SVerdict{EVerdict::Verified, ""}
                                           : it->second;
            }));
    }
    void TearDown() override
    {
        pkgtrust::SetSeams(m_previous);
        UpdateTest::TearDown();
    }

    Bytes received(uint16_t device)
    {
        Bytes all;
        for (const Chunk& c : lib.chunksOf(device)) {
            all.insert(all.end(), c.data.begin(), c.data.end());
        }
        return all;
    }

    std::shared_ptr<ManifestReaderLog> log;
    std::map<std::string, pkgtrust::SVerdict> refused;

private:
    pkgtrust::SSeams m_previous;
};

TEST_F(PackageCheckTest, ARefusedImageFailsItsSwitchAloneAndNothingIsSentToIt)
{
    refused["payload/a.bin"] = {EVerdict::ChecksumMismatch, "sha256"};
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(1, devices[0]->getStatus());
    EXPECT_EQ("ERROR: payload/a.bin refused: checksum mismatch against package.jcat",
              devices[0]->getErrorMsg());
    EXPECT_FALSE(devices[0]->getRebootRequired());
    EXPECT_TRUE(lib.chunksOf(1).empty());
    EXPECT_EQ(0, devices[1]->getStatus());
    EXPECT_EQ(Bytes(1000, 0xB2), received(2));
    EXPECT_EQ(1, stagingCalls);
}

TEST_F(PackageCheckTest, TheBytesCheckedAreTheBytesSent)
{
    update();
    std::map<std::string, std::string> checked;
    for (const auto& check : log->checks) {
        EXPECT_TRUE(std::get<2>(check)) << std::get<0>(check) << ": signature not asked for";
        checked[std::get<0>(check)] = std::get<1>(check);
    }
    ASSERT_EQ(1u, checked.count("payload/a.bin"));
    const Bytes a = received(1);
    EXPECT_EQ(std::string(a.begin(), a.end()), checked["payload/a.bin"]);
    EXPECT_EQ(read("package.xml"), checked["package.xml"]);
}

TEST_F(PackageCheckTest, ARefusedDescriptorFailsEverySwitchWithTheReason)
{
    refused["package.xml"] = {EVerdict::NoSignature, ""};
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    for (CDeviceInfo* d : devices) {
        EXPECT_EQ(1, d->getStatus());
        EXPECT_EQ("ERROR: package.xml refused: no signature in package.jcat", d->getErrorMsg());
    }
    EXPECT_TRUE(lib.chunks.empty());
    EXPECT_EQ(0, stagingBuilt);
}

TEST_F(PackageCheckTest, ARefusedLibraryIsNamedWhereTheReportFindsNoSwitch)
{
    // The real loader checks the library through its descriptor; here the
    // refusal is recorded as it would be and the library does not load.
    refused["libstorelibit.so"] = {EVerdict::SignerNotTrusted, "failed to verify data for CN=X"};
    EXPECT_NE("", pkgtrust::Check("libstorelibit.so", "ELF", 3));
    sys->libraries.clear();
    EXPECT_TRUE(update().empty());
    EXPECT_NE(std::string::npos,
              read("report.xml")
                  .find("<Message id=\"1\" >ERROR: libstorelibit.so refused: signer not trusted "
                        "(failed to verify data for CN=X)</Message>"));
}

} // namespace
