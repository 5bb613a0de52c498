#include <cctype>
#include <functional>
#include <ostream>

#include "DeviceInfo.h"
#include "MgmtFixture.h"

namespace
{

using namespace mgmttest;

// Rows of the built-in table, so the tests hold whatever product list is built in.
std::string Key(size_t row)
{
    return PlatformSerialTable().at(row).key;
}
std::string Id(size_t row)
{
    return PlatformSerialTable().at(row).componentID;
}

class DiscoveryTest : public MgmtFixture
{
};

TEST_F(DiscoveryTest, FindsIdentifiesAndNamesTheSwitches)
{
    storelibsim::Controller c1 =
        Controller(0x05000000, {Switch(8, 0x0D, "  " + Key(0) + "\t"), Switch(9, 0x1F, Key(1)),
                                Switch(10, 0x00, Key(2)), // a disk: never asked for its serial
                                Switch(11, 0x0D, "NOTASWITCH")});
    // 15 characters, NUL-padded to 16
    c1.devices[1].product = std::string("Pad16          \0", 16);
    c1.devices[1].revision[0] = 200;
    const storelibsim::Controller c2 =
        Controller(0x05000001, {Switch(3, 0x1F, "~~" + Key(27) + "yy")});
    lib.topology.controllers = {c1, c2};
    writePackage({{Id(0), "Board switch one"}});

    std::vector<CDeviceInfo*> devices;
    auto mgmt = makeManager();
    mgmt->discoverLUMOSwitch(devices);
    adopt(devices);

    ASSERT_EQ(3u, devices.size()); // map order: key 0, key 1, then "~~..."
    EXPECT_EQ(Id(0), devices[0]->getComponentID());
    EXPECT_EQ("Serial Number: " + Key(0), devices[0]->getEnumId());
    EXPECT_EQ("1.2.10.0", devices[0]->getVersion());
    EXPECT_EQ("LUMO PCIe Switch", devices[0]->getDeviceName());
    EXPECT_EQ("Board switch one", devices[0]->getDisplay());
    EXPECT_EQ("FRMW", devices[0]->getComponentType());
    EXPECT_EQ(eDeviceTypeComponentID, devices[0]->getDeviceType());
    EXPECT_EQ(0, devices[0]->getStatus());

    EXPECT_EQ(Id(1), devices[1]->getComponentID());
    EXPECT_EQ("200.2.10.0", devices[1]->getVersion());
    // No marketing name: the model text, all 16 bytes of it.
    EXPECT_EQ(std::string("Pad16          \0", 16), devices[1]->getDisplay());

    EXPECT_EQ(Id(27), devices[2]->getComponentID());
    uint32_t ctrl = 0;
    uint16_t dev = 0;
    ASSERT_TRUE(switchaddr::Read(devices[2]->getDeviceHandle(), ctrl, dev));
    EXPECT_EQ(0x05000001u, ctrl);
    EXPECT_EQ(3, dev);
    const uint8_t* raw = static_cast<const uint8_t*>(devices[2]->getDeviceHandle());
    EXPECT_EQ((Bytes{0x01, 0x00, 0x00, 0x05, 0x03, 0x00, 0x00, 0x00}), Bytes(raw, raw + 8));

    EXPECT_EQ(4, lib.vpdInquiries);
}

TEST_F(DiscoveryTest, DuplicateSerialKeepsTheSwitchListedLast)
{
    lib.topology.controllers = {
        Controller(0x05000002, {Switch(4, 0x0D, Key(8)), Switch(5, 0x0D, " " + Key(8) + " ")})};
    std::vector<CDeviceInfo*> devices;
    auto mgmt = makeManager();
    mgmt->discoverLUMOSwitch(devices);
    adopt(devices);
    ASSERT_EQ(1u, devices.size());
    uint32_t ctrl = 0;
    uint16_t dev = 0;
    ASSERT_TRUE(switchaddr::Read(devices[0]->getDeviceHandle(), ctrl, dev));
    EXPECT_EQ(5, dev);
}

TEST_F(DiscoveryTest, VpdLengthBeyondTheBufferUsesOnlyTheBytesReceived)
{
    // 24 bytes fit behind the 4-byte header; the key lies beyond them.
    storelibsim::Controller c =
        Controller(0x05000000, {Switch(1, 0x0D, std::string(24, 'A') + Key(0)),
                                Switch(2, 0x0D, std::string(15, 'B') + Key(1))});
    c.devices[0].vpdLength = 40;
    c.devices[1].vpdLength = 255;
    lib.topology.controllers = {c};
    lib.InitialiseBeforehand();
    auto mgmt = makeManager();
    EXPECT_EQ(std::string(24, 'A'), mgmt->getVPDpageInformation(0x05000000, 1));
    EXPECT_EQ(std::string(15, 'B') + Key(1), mgmt->getVPDpageInformation(0x05000000, 2));
}

TEST_F(DiscoveryTest, CountsBeyondTheListsAreClampedToTheirCapacity)
{
    // 70 controllers claimed, 64 fit the list; 300 devices claimed, 256 fit.
    lib.topology.initCount = 70;
    for (uint32_t i = 0; i < 64; ++i) {
        lib.topology.controllers.push_back(Controller(0x05000000 + i));
    }
    lib.topology.controllers[0].pdListCount = 300;
    for (uint16_t d = 0; d < 256; ++d) {
        lib.topology.controllers[0].devices.push_back(Switch(d, 0x1F, ""));
    }
    std::vector<CDeviceInfo*> devices;
    auto mgmt = makeManager();
    mgmt->discoverLUMOSwitch(devices);
    adopt(devices);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(64, lib.pdListCommands);
    EXPECT_EQ(256, lib.vpdInquiries);
}

TEST_F(DiscoveryTest, FailedQueriesDegradeToFewerDevicesOrEmptyFields)
{
    storelibsim::Controller c =
        Controller(0x05000000, {Switch(1, 0x0D, Key(4)), Switch(2, 0x0D, Key(5))});
    c.faults = {ResultFault(1, kOpReadBuffer, 0x10), ResultFault(1, kOpInquiry, 0x11, 0),
                ResultFault(2, kOpInquiry, 0x12, 1)};
    storelibsim::Controller broken = Controller(0x05000003);
    broken.pdListResult = 0x4;
    lib.topology.controllers = {c, broken};
    std::vector<CDeviceInfo*> devices;
    auto mgmt = makeManager();
    mgmt->discoverLUMOSwitch(devices);
    adopt(devices);
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ(Id(4), devices[0]->getComponentID());
    EXPECT_EQ("", devices[0]->getVersion());
    EXPECT_EQ("", devices[0]->getDeviceName());
}

struct InitCase {
    const char* name;
    bool libraryPresent;
    uint32_t initResult;
    const char* logLine;
};

// Cases print as their name in test listings.
void PrintTo(const InitCase& c, std::ostream* os)
{
    *os << c.name;
}

class DiscoveryInitTest : public MgmtFixture, public ::testing::WithParamInterface<InitCase>
{
};

TEST_P(DiscoveryInitTest, NoLibraryOrFailedInitGivesAnEmptyInventoryFrame)
{
    const InitCase& c = GetParam();
    if (!c.libraryPresent) {
        sys->libraries.clear();
    }
    lib.topology.initResult = c.initResult;
    StoreLibLogCapture log;
    {
        auto mgmt = makeManager();
        EXPECT_TRUE(adopt(mgmt->GetInventory()).empty());
    }
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><SVMInventory lang=\"en\"></SVMInventory>",
              read("report.xml"));
    EXPECT_TRUE(log.has(c.logLine));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DiscoveryInitTest,
    ::testing::Values(
        InitCase{"NoLibrary", false, 0, "getCtrlInventory(): storelibIt init error"},
        InitCase{"InitUnavailable", true, 0x8002, "getCtrlInventory(): storelibIt init error"},
        InitCase{"InitOtherError", true, 0x8003, "getCtrlInventory(): storelibIt another error"}),
    [](const ::testing::TestParamInfo<InitCase>& p) { return std::string(p.param.name); });

struct ComponentCase {
    const char* name;
    std::function<std::string()> serial;
    std::function<std::string()> componentID;
};

// Cases print as their name in test listings.
void PrintTo(const ComponentCase& c, std::ostream* os)
{
    *os << c.name;
}

class ComponentIDTest : public MgmtFixture, public ::testing::WithParamInterface<ComponentCase>
{
};

TEST_P(ComponentIDTest, FirstTableKeyFoundInTheSerialDecides)
{
    auto mgmt = makeManager();
    EXPECT_EQ(GetParam().componentID(), mgmt->getComponentID(GetParam().serial()));
}

std::string Lower(std::string s)
{
    for (char& ch : s) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Serials, ComponentIDTest,
    ::testing::Values(
        ComponentCase{"ExactKey", [] { return Key(0); }, [] { return Id(0); }},
        ComponentCase{"KeyInsideSerial", [] { return "abc" + Key(37) + "-rev2"; },
                      [] { return Id(37); }},
        ComponentCase{"CaseSensitive", [] { return Lower(Key(0)); }, [] { return "000000"; }},
        ComponentCase{"PartOfKey", [] { return Key(0).substr(0, 6); }, [] { return "000000"; }},
        ComponentCase{"Empty", [] { return std::string(); }, [] { return "000000"; }},
        ComponentCase{"TestRow", [] { return "xcodeCoveragePlatformx"; }, [] { return "111111"; }},
        // The table walk overrides the test row.
        ComponentCase{"TableOverridesTestRow", [] { return "codeCoveragePlatform " + Key(40); },
                      [] { return Id(40); }},
        // Two keys: the one earlier in the table wins.
        ComponentCase{"EarlierRowWins", [] { return Key(58) + "+" + Key(3); },
                      [] { return Id(3); }}),
    [](const ::testing::TestParamInfo<ComponentCase>& p) { return std::string(p.param.name); });

} // namespace
