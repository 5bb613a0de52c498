#include "DeviceInfo.h"
#include "StringUtils.h"

#include <gtest/gtest.h>

#include <limits>

TEST(DeviceInfo, FreshRecordHasDocumentedDefaults)
{
    CDeviceInfo d;
    EXPECT_EQ(-1, d.getStatus());
    EXPECT_EQ(eDependencyTypeDefault, d.getDependencyType());
    EXPECT_EQ(1, static_cast<int>(d.getDependencyType()));
    EXPECT_EQ(0, static_cast<int>(d.getDeviceType()));
    EXPECT_EQ(0, static_cast<int>(d.getParentDeviceType()));
    EXPECT_EQ(0, d.getMessageID());
    EXPECT_EQ(0, d.getUpdateStatus());
    EXPECT_EQ("", d.getComponentID());
    EXPECT_EQ("", d.getDisplay());
    EXPECT_EQ("", d.getErrorMsg());
    EXPECT_EQ("", d.getEnumId());
    EXPECT_EQ("", d.getPCIInfo().strVendorID);
    EXPECT_FALSE(d.getRebootRequired());
    EXPECT_FALSE(d.getColdPowerCycleRequired());
    EXPECT_EQ(nullptr, d.getDeviceHandle());
    EXPECT_EQ(0u, d.getDeviceUdpateID());
    EXPECT_EQ(0, d.get_DeviceBus());
    EXPECT_EQ(0, d.get_DeviceBusFunction());
    EXPECT_EQ(0, d.getBDFInfo().bus);
    EXPECT_TRUE(d.getDepenendencyPlatforms().empty());
    EXPECT_TRUE(d.getApplicationInfo().empty());
    EXPECT_EQ("", d.getSystemInfo()->strSystemID);
}

TEST(DeviceInfo, CopyIsDeepForTextsAndShallowForHandles)
{
    int handle = 0;
    KTRCSystemInfo sys;
    sys.strSystemID = "0A1B";
    CDeviceInfo a;
    a.setComponentID("104770");
    a.setDeviceHandle(&handle);
    a.setSystemInfo(&sys);
    a.setApplicationInfo(reinterpret_cast<CDeviceApplicationInfo*>(&handle));

    CDeviceInfo b(a);
    a.setComponentID("999999");
    a.getSystemInfo()->strSystemID = "changed";

    EXPECT_EQ("104770", b.getComponentID());
    EXPECT_EQ("0A1B", b.getSystemInfo()->strSystemID);
    EXPECT_EQ(&handle, b.getDeviceHandle());
    ASSERT_EQ(1u, b.getApplicationInfo().size());
}

TEST(DeviceInfo, NumericPciIdentityBecomesFourDigitHex)
{
    CDeviceInfo d;
    d.setPCIInfo(0x10b5, 0x87, 0x1028, 0x12345);
    SPCIInfo p = d.getPCIInfo();
    EXPECT_EQ("10b5", p.strVendorID);
    EXPECT_EQ("0087", p.strDeviceID);
    EXPECT_EQ("1028", p.strSubVendorID);
    EXPECT_EQ("12345", p.strSubDeviceID);

    d.setBDFInfo(3, 0x1f, 7, 0xabcd);
    EXPECT_EQ(3, d.getBDFInfo().bus);
    EXPECT_EQ(0x1f, d.getBDFInfo().device);
    EXPECT_EQ(7, d.getBDFInfo().function);
    EXPECT_EQ(0xabcd, d.getBDFInfo().segment);
}

TEST(DeviceInfo, FilePathNormalisesBackslashesInPlace)
{
    CDeviceInfo d;
    d.setFilePath("FOLDER01\\sub\\image.bin");
    EXPECT_EQ(strDownloadSiteBaseAddress + "FOLDER01/sub/image.bin", d.getFilePath());
    CDeviceInfo e;
    e.setFilePath("FOLDER01/sub/image.bin");
    // The stored field itself was rewritten, so the records now compare equal.
    EXPECT_TRUE(d == e);
}

static CDeviceInfo sampleRecord()
{
    CDeviceInfo d;
    d.setComponentType("FRMW");
    d.setComponentID("104770");
    d.setVersion("1.2.3.4");
    d.setDisplay("Switch");
    d.setDetail("detail");
    d.setFilePath("p/f.bin");
    SPCIInfo p;
    p.strComponentID = "104770";
    p.strDeviceID = "0087";
    p.strSubDeviceID = "0001";
    p.strVendorID = "10b5";
    p.strSubVendorID = "1028";
    p.strDisplayName = "shown";
    d.setPCIInfo(p);
    return d;
}

TEST(DeviceInfo, EqualityTable)
{
    struct Case {
        const char* what;
        void (*change)(CDeviceInfo&);
        bool equal;
        bool equalMIC;
    };
    const Case cases[] = {
        {"identical", [](CDeviceInfo&) {}, true, true},
        {"component type", [](CDeviceInfo& d) { d.setComponentType("APP"); }, false, false},
        {"component id", [](CDeviceInfo& d) { d.setComponentID("1"); }, false, false},
        {"dependency type",
         [](CDeviceInfo& d) { d.setDependencyType(static_cast<eDependencyType>(2)); }, false, true},
        {"version", [](CDeviceInfo& d) { d.setVersion("9"); }, false, false},
        {"empty version", [](CDeviceInfo& d) { d.setVersion(""); }, false, true},
        {"display", [](CDeviceInfo& d) { d.setDisplay("x"); }, false, true},
        {"detail", [](CDeviceInfo& d) { d.setDetail("x"); }, false, true},
        {"file path", [](CDeviceInfo& d) { d.setFilePath("x"); }, false, true},
        {"pci display name only",
         [](CDeviceInfo& d) {
             SPCIInfo p = d.getPCIInfo();
             p.strDisplayName = "other";
             d.setPCIInfo(p);
         },
         true, true},
        {"pci component id",
         [](CDeviceInfo& d) {
             SPCIInfo p = d.getPCIInfo();
             p.strComponentID = "1";
             d.setPCIInfo(p);
         },
         false, false},
        {"pci sub-vendor",
         [](CDeviceInfo& d) {
             SPCIInfo p = d.getPCIInfo();
             p.strSubVendorID = "0000";
             d.setPCIInfo(p);
         },
         false, false},
        {"pci device",
         [](CDeviceInfo& d) {
             SPCIInfo p = d.getPCIInfo();
             p.strDeviceID = "0000";
             d.setPCIInfo(p);
         },
         false, false},
    };
    for (const Case& c : cases) {
        CDeviceInfo a = sampleRecord();
        CDeviceInfo b = sampleRecord();
        c.change(b);
        EXPECT_EQ(c.equal, a == b) << c.what;
        EXPECT_EQ(c.equal, a.checkForEquality(&b)) << c.what;
        EXPECT_EQ(c.equalMIC, a.checkForEqualityMIC(&b)) << c.what;
        EXPECT_EQ(c.equalMIC, b.checkForEqualityMIC(&a)) << c.what;
    }
    CDeviceInfo a = sampleRecord();
    EXPECT_FALSE(a.checkForEquality(nullptr));
    EXPECT_FALSE(a.checkForEqualityMIC(nullptr));
}

TEST(StringUtils, TrimStripsSurroundingWhitespaceOnly)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},    {" \t\n a b \r\n\v\f", "a b"}, {"ab", "ab"}, {" \t\n\r ", ""}, {"x ", "x"},
        {" x", "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, CStringUtils::trim_string(c.in)) << '"' << c.in << '"';
    }
    // Bytes above 0x7f are not whitespace to the C locale and must not trip isspace.
    EXPECT_EQ("\xc3\xa9", CStringUtils::trim_string(" \xc3\xa9 "));
}

TEST(StringUtils, ToLowerCaseTouchesAsciiLettersOnly)
{
    EXPECT_EQ("0abc-def\xc3\x89", CStringUtils::toLowerCase("0ABC-Def\xc3\x89"));
}

TEST(StringUtils, Hex2DecTable)
{
    const struct {
        const char* in;
        uint64_t out;
    } cases[] = {
        {"1f", 31},
        {"1F", 31},
        {"", 0},
        {"0x1f", 31},
        {"0X10b5", 0x10b5},
        {"10b5zz", 0x10b5},
        {"zz", 0},
        {"0x", 0},
        {"0xg", 0},
        {" 1f", 0},
        {"ffffffffffffffff", std::numeric_limits<uint64_t>::max()},
        {"10000000000000000", std::numeric_limits<uint64_t>::max()},
        {"000000000000000000001", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, CStringUtils::Hex2Dec(c.in)) << '"' << c.in << '"';
    }
}
