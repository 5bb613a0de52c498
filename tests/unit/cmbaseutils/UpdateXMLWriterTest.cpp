#include "UpdateXMLWriter.h"
#include "Logger.h"
#include "PackageTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace pkgtest;

namespace
{

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SVMExecution lang=\"en\">";
const std::string kTail = "</SVMExecution>";
const std::string kReboot = "<RebootRequired>1</RebootRequired>";

std::string updateReportOf(std::vector<CDeviceInfo> records)
{
    return reportOf<CUpdateXMLWriter>(std::move(records));
}

CDeviceInfo updated(const std::string& componentID, bool reboot)
{
    CDeviceInfo d = makeSwitch(componentID, "Disp", "Serial Number: S1", "1.2", "Name");
    d.setRebootRequired(reboot);
    return d;
}

std::string switchElement(const std::string& componentID)
{
    return "<Device  componentID=\"" + componentID +
           "\" display=\"Disp\" enum = \"Serial Number: S1\" >"
           "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\" >"
           "<SPStatus result = \"true\" ><Message id=\"0\" ></Message></SPStatus>"
           "</Application></Device>";
}

CDeviceInfo rebootFailure(eDeviceType type, const std::string& error)
{
    CDeviceInfo d = makeFailure(type, 5, error);
    d.setRebootRequired(true);
    return d;
}

} // namespace

TEST(UpdateXMLWriter, WholeReports)
{
    const std::string pciOk =
        "<Device  vendorID=\"10b5\" deviceID=\"0087\" subVendorID=\"1028\" subDeviceID=\"0001\" "
        "display=\"Disp\" enum = \"Serial Number: S1\" >"
        "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\" >"
        "<SPStatus result = \"true\" ><Message id=\"0\" ></Message></SPStatus>"
        "</Application></Device>";
    const std::string pciFailed =
        "<Device  vendorID=\"10b5\" deviceID=\"0087\" subVendorID=\"1028\" subDeviceID=\"0001\" "
        "display=\"Disp\" >"
        "<Application componentType=\"FRMW\" version=\"1.2\" display=\"Name\" >"
        "<SPStatus result = \"false\" ><Message id=\"5\" >Write failed</Message></SPStatus>"
        "</Application></Device>";
    const std::string bareFailure =
        "<SPStatus result = \"false\" ><Message id=\"5\" >Write failed</Message></SPStatus>";

    const struct {
        const char* what;
        std::vector<CDeviceInfo> devices;
        std::string expected;
    } cases[] = {
        {"worked example",
         {updated("0ABC", true)},
         kHead + switchElement("0ABC") + kReboot + kTail},
        {"no devices",
         {},
         kHead +
             "<SPStatus result = \"false\" ><Message id=\"1\" >Device not found</Message>"
             "</SPStatus>" +
             kTail},
        {"no reboot required", {updated("0ABC", false)}, kHead + switchElement("0ABC") + kTail},
        {"only the second of two needs a reboot: one element after the last device",
         {updated("000001", false), updated("000002", true)},
         kHead + switchElement("000001") + switchElement("000002") + kReboot + kTail},
        {"both need a reboot: still one element",
         {updated("000001", true), updated("000002", true)},
         kHead + switchElement("000001") + switchElement("000002") + kReboot + kTail},
        {"all failed: no reboot element despite the flags",
         {rebootFailure(eDeviceTypeComponentID, "Write failed"),
          rebootFailure(eDeviceTypePCI, "Write failed")},
         kHead + bareFailure + pciFailed + kTail},
        {"PCI success",
         {[] {
             CDeviceInfo pci = makePCIDevice("Disp", "Serial Number: S1");
             pci.setRebootRequired(true);
             return pci;
         }()},
         kHead + pciOk + kReboot + kTail},
        {"status 0 with another type is left out and sets no reboot",
         {withType(updated("000001", true), 3), updated("000002", false)},
         kHead + switchElement("000002") + kTail},
        {"failed device of an unknown type is a bare status",
         {withType(rebootFailure(eDeviceTypeComponentID, "Write failed"), 7)},
         kHead + bareFailure + kTail},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, updateReportOf(c.devices)) << c.what;
    }
}

TEST(UpdateXMLWriter, HostileValuesRoundTripThroughAnXmlReader)
{
    CDeviceInfo ok = makeSwitch(hostile("cid").raw, hostile("disp").raw, hostile("enum").raw,
                                hostile("ver").raw, hostile("name").raw);
    ok.setErrorMsg(hostile("okmsg").raw);
    CDeviceInfo pci = makeFailure(eDeviceTypePCI, -2, hostile("pcierr").raw);
    SPCIInfo ids = pci.getPCIInfo();
    ids.strSubDeviceID = hostile("subdev").raw;
    pci.setPCIInfo(ids);
    CDeviceInfo bare = makeFailure(eDeviceTypeComponentID, 4, hostile("err").raw);

    const std::string report = updateReportOf({ok, pci, bare});
    expectReadsBack(
        report,
        {
            {"string(/SVMExecution/Device[1]/@componentID)", hostile("cid").readBack},
            {"string(/SVMExecution/Device[1]/@display)", hostile("disp").readBack},
            {"string(/SVMExecution/Device[1]/@enum)", hostile("enum").readBack},
            {"string(/SVMExecution/Device[1]/Application/@version)", hostile("ver").readBack},
            {"string(/SVMExecution/Device[1]/Application/@display)", hostile("name").readBack},
            {"string(/SVMExecution/Device[1]/Application/SPStatus/Message)",
             hostile("okmsg").readBack},
            {"string(/SVMExecution/Device[2]/@subDeviceID)", hostile("subdev").readBack},
            {"string(/SVMExecution/Device[2]/Application/SPStatus/@result)", "false"},
            {"string(/SVMExecution/Device[2]/Application/SPStatus/Message)",
             hostile("pcierr").readBack},
            {"string(/SVMExecution/Device[2]/Application/SPStatus/Message/@id)", "-2"},
            {"string(/SVMExecution/SPStatus/Message)", hostile("err").readBack},
        });
}

TEST(UpdateXMLWriter, FileElseStandardOutput)
{
    ScopedTempWorkDir dir;
    std::vector<CDeviceInfo> records = {updated("0ABC", true)};
    std::vector<CDeviceInfo*> devices = {&records[0]};
    const std::string expected = kHead + switchElement("0ABC") + kReboot + kTail;

    std::ostringstream toFile;
    {
        CUpdateXMLWriter writer(toFile);
        EXPECT_TRUE(writer.GetXML(devices, "upd.xml"));
    }
    EXPECT_EQ("", toFile.str());
    EXPECT_EQ(expected, readFile(dir.path() + "/upd.xml"));

    std::ostringstream fallback;
    {
        CUpdateXMLWriter writer(fallback);
        EXPECT_TRUE(writer.GetXML(devices, "missing/dir/upd.xml"));
    }
    EXPECT_EQ(expected, fallback.str());

    testing::internal::CaptureStdout();
    {
        CUpdateXMLWriter writer;
        writer.GetXML(devices, "");
    }
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
}

TEST(UpdateXMLWriter, DebugLogTracesTheOpenAttemptAndEachDevice)
{
    ScopedTempWorkDir dir;
    CLogger::ResetForTesting();
    CLogger::GetInstance()->Initialize(dir.path() + "/debug.log");
    std::vector<CDeviceInfo> records = {updated("1", false), makePCIDevice("p", ""),
                                        makeFailure(eDeviceTypeComponentID, 7, "Err")};
    std::vector<CDeviceInfo*> devices = {&records[0], &records[1], &records[2]};
    {
        CUpdateXMLWriter writer;
        writer.GetXML(devices, "upd.xml");
    }
    CLogger::ResetForTesting();
    const std::string log = readFile(dir.path() + "/debug.log");
    for (const char* line : {"CUpdateXMLWriter::GetXML() udpate xml file opened",
                             "CUpdateXMLWriter::GetXML() Found one Non PCI Device",
                             "CUpdateXMLWriter::GetXML() Found one PCI Device",
                             "CUpdateXMLWriter::GetXML() Update failed for one Device",
                             "CUpdateXMLWriter::print() copying the contents to Update XML file"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    }
    EXPECT_NE(std::string::npos, log.find("      UpdateXMLWriter:"));
}
