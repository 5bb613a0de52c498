#include "InventoryXMLWriter.h"
#include "Logger.h"
#include "PackageTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

using namespace pkgtest;

namespace
{

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SVMInventory lang=\"en\">";
const std::string kTail = "</SVMInventory>";

std::string inventoryOf(std::vector<CDeviceInfo> records)
{
    return reportOf<CInventoryXMLWriter>(std::move(records));
}

} // namespace

TEST(InventoryXMLWriter, WholeReports)
{
    const struct {
        const char* what;
        std::vector<CDeviceInfo> devices;
        std::string expected;
    } cases[] = {
        {"worked example: one switch read, one failed",
         {makeSwitch("0ABC", "Disp", "Serial Number: S1", "1.2", "Name"),
          makeFailure(eDeviceTypeComponentID, 7, "Err")},
         kHead +
             "<Device  componentID=\"0ABC\" display=\"Disp\" enum = \"Serial Number: S1\" >"
             "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\"/></Device>"
             "<SPStatus result =\"false\" ><Message id=\"7\" >Err</Message></SPStatus>" +
             kTail},
        {"no enum ID",
         {makeSwitch("0ABC", "Disp", "", "1.2", "Name")},
         kHead +
             "<Device  componentID=\"0ABC\" display=\"Disp\" >"
             "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\"/></Device>" +
             kTail},
        {"empty list", {}, kHead + kTail},
        {"PCI device doubles the blanks",
         {makePCIDevice("Disp", "Serial Number: S1")},
         kHead +
             "<Device  vendorID=\"10b5\" deviceID=\"0087\" subVendorID=\"1028\" "
             "subDeviceID=\"0001\"  display=\"Disp\" enum = \"Serial Number: S1\" >"
             "<Application componentType=\"FRMW\"  version=\"1.2\"  display=\"Name\"/></Device>" +
             kTail},
        {"failed PCI device is a bare status",
         {makeFailure(eDeviceTypePCI, -3, "Timeout")},
         kHead + "<SPStatus result =\"false\" ><Message id=\"-3\" >Timeout</Message></SPStatus>" +
             kTail},
        {"status 0 with another type is left out",
         {withType(makeSwitch("1", "a", "", "1", "n"), 3),
          withType(makeSwitch("1", "a", "", "1", "n"), 0), makeSwitch("2", "b", "", "2", "m")},
         kHead +
             "<Device  componentID=\"2\" display=\"b\" >"
             "<Application componentType=\"FRMW\" version=\"2\" display=\"m\"/></Device>" +
             kTail},
        {"empty strings give empty attributes",
         {makeSwitch("", "", "", "", "")},
         kHead +
             "<Device  componentID=\"\" display=\"\" >"
             "<Application componentType=\"FRMW\" version=\"\" display=\"\"/></Device>" +
             kTail},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, inventoryOf(c.devices)) << c.what;
    }
}

TEST(InventoryXMLWriter, MarkupInValuesIsEscapedAndFixedPiecesKept)
{
    CDeviceInfo d = makeSwitch("0ABC", "A&B <x>", "Serial Number: \"S1\"", "1.2", "Name");
    EXPECT_EQ(kHead +
                  "<Device  componentID=\"0ABC\" display=\"A&amp;B &lt;x&gt;\" "
                  "enum = \"Serial Number: &quot;S1&quot;\" >"
                  "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\"/>"
                  "</Device>" +
                  kTail,
              inventoryOf({d}));
}

TEST(InventoryXMLWriter, HostileValuesRoundTripThroughAnXmlReader)
{
    CDeviceInfo ok = makeSwitch(hostile("cid").raw, hostile("disp").raw, hostile("enum").raw,
                                hostile("ver").raw, hostile("name").raw);
    ok.setComponentType(hostile("type").raw);
    CDeviceInfo pci = makePCIDevice(hostile("pdisp").raw, "");
    SPCIInfo ids = pci.getPCIInfo();
    ids.strVendorID = hostile("vendor").raw;
    pci.setPCIInfo(ids);
    CDeviceInfo failed = makeFailure(eDeviceTypeComponentID, 9, hostile("err").raw);

    const std::string report = inventoryOf({ok, pci, failed});
    EXPECT_EQ(std::string::npos, report.find('\0'));
    expectReadsBack(
        report,
        {
            {"string(/SVMInventory/Device[1]/@componentID)", hostile("cid").readBack},
            {"string(/SVMInventory/Device[1]/@display)", hostile("disp").readBack},
            {"string(/SVMInventory/Device[1]/@enum)", hostile("enum").readBack},
            {"string(/SVMInventory/Device[1]/Application/@componentType)",
             hostile("type").readBack},
            {"string(/SVMInventory/Device[1]/Application/@version)", hostile("ver").readBack},
            {"string(/SVMInventory/Device[1]/Application/@display)", hostile("name").readBack},
            {"string(/SVMInventory/Device[2]/@vendorID)", hostile("vendor").readBack},
            {"string(/SVMInventory/Device[2]/@display)", hostile("pdisp").readBack},
            {"string(/SVMInventory/SPStatus/Message)", hostile("err").readBack},
            {"string(/SVMInventory/SPStatus/Message/@id)", "9"},
        });
}

TEST(InventoryXMLWriter, FileGetsTheReportAndStandardOutputNothing)
{
    ScopedTempWorkDir dir;
    std::vector<CDeviceInfo> records = {makeSwitch("0ABC", "Disp", "", "1.2", "Name")};
    std::vector<CDeviceInfo*> devices = {&records[0]};
    std::ostringstream out;
    {
        CInventoryXMLWriter writer(out);
        EXPECT_TRUE(writer.GetXML(devices, "inv.xml"));
    }
    EXPECT_EQ("", out.str());
    EXPECT_EQ(inventoryOf(records), readFile(dir.path() + "/inv.xml"));
    EXPECT_EQ(kHead, readFile(dir.path() + "/inv.xml").substr(0, kHead.size()));
}

TEST(InventoryXMLWriter, ExistingFileIsTruncated)
{
    ScopedTempWorkDir dir;
    dir.write("inv.xml", std::string(10000, 'x'));
    std::ostringstream out;
    {
        CInventoryXMLWriter writer(out);
        writer.GetXML({}, "inv.xml");
    }
    EXPECT_EQ(kHead + kTail, readFile(dir.path() + "/inv.xml"));
}

TEST(InventoryXMLWriter, UnopenableFileSendsTheWholeReportToStandardOutput)
{
    ScopedTempWorkDir dir;
    std::vector<CDeviceInfo> records = {makeSwitch("0ABC", "Disp", "", "1.2", "Name"),
                                        makeFailure(eDeviceTypeComponentID, 7, "Err")};
    std::vector<CDeviceInfo*> devices = {&records[0], &records[1]};
    for (const std::string name : {"missing/dir/inv.xml", "."}) {
        std::ostringstream out;
        {
            CInventoryXMLWriter writer(out);
            EXPECT_TRUE(writer.GetXML(devices, name));
        }
        EXPECT_EQ(inventoryOf(records), out.str()) << name;
    }
}

TEST(InventoryXMLWriter, DefaultsToTheProcessStandardOutput)
{
    std::vector<CDeviceInfo> records = {makeSwitch("0ABC", "Disp", "", "1.2", "Name")};
    std::vector<CDeviceInfo*> devices = {&records[0]};
    testing::internal::CaptureStdout();
    {
        CInventoryXMLWriter writer;
        writer.GetXML(devices, "");
    }
    const std::string captured = testing::internal::GetCapturedStdout();
    EXPECT_EQ(inventoryOf(records), captured);
    EXPECT_NE('\n', captured.back());
}

TEST(InventoryXMLWriter, DebugLogTracesTheOpenAttemptAndEachDevice)
{
    ScopedTempWorkDir dir;
    CLogger::ResetForTesting();
    CLogger::GetInstance()->Initialize(dir.path() + "/debug.log");
    std::vector<CDeviceInfo> records = {makeSwitch("1", "a", "", "1", "n"), makePCIDevice("p", ""),
                                        makeFailure(eDeviceTypeComponentID, 7, "Err")};
    std::vector<CDeviceInfo*> devices = {&records[0], &records[1], &records[2]};
    std::ostringstream out;
    {
        CInventoryXMLWriter writer(out);
        writer.GetXML(devices, "no/such/dir/inv.xml");
    }
    CLogger::ResetForTesting();
    const std::string log = readFile(dir.path() + "/debug.log");
    for (const char* line : {"CInventoryXMLWriter::GetXML() udpate xml file opened",
                             "CInventoryXMLWriter::GetXML() Found one Non PCI Device",
                             "CInventoryXMLWriter::GetXML() Found one PCI Device",
                             "CInventoryXMLWriter::GetXML() Update failed for one Device"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    }
    EXPECT_NE(std::string::npos, log.find("   InventoryXMLWriter:"));
    EXPECT_EQ(std::string::npos, log.find("copying the contents")) << "file never opened";
}

TEST(InventoryXMLWriter, BytesXmlCannotCarryAreDroppedOrReplaced)
{
    const std::string fffd = "\xef\xbf\xbd";
    const struct {
        const char* what;
        std::string raw;
        std::string written;
    } cases[] = {
        {"NUL padding of a fixed-width model text", std::string("PEX88096\0\0\0\0\0\0\0\0", 16),
         "PEX88096"},
        {"other control bytes",
         "a\x01"
         "b\x1f"
         "c\x7f",
         "a" + fffd + "b" + fffd + "c\x7f"},
        {"valid two, three and four byte sequences", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"lone continuation and lead bytes", "\x80x\xc3", fffd + "x" + fffd},
        {"overlong encoding", "\xc0\xaf\xe0\x80\xaf", fffd + fffd + fffd + fffd + fffd},
        {"encoded surrogate", "\xed\xa0\x80", fffd + fffd + fffd},
        {"non-characters U+FFFE and U+FFFF", "\xef\xbf\xbe\xef\xbf\xbf",
         fffd + fffd + fffd + fffd + fffd + fffd},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"whitespace an attribute would fold", "a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},
    };
    for (const auto& c : cases) {
        CDeviceInfo d = makeSwitch("0ABC", "Disp", "", "1.2", c.raw);
        EXPECT_EQ(kHead +
                      "<Device  componentID=\"0ABC\" display=\"Disp\" >"
                      "<Application componentType=\"FRMW\" version=\"1.2\" display=\"" +
                      c.written + "\"/></Device>" + kTail,
                  inventoryOf({d}))
            << c.what;
        EXPECT_TRUE(parseReport(inventoryOf({d}))) << c.what;
    }
}
