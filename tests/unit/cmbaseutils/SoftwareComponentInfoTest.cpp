#include "SoftwareComponentInfo.h"
#include "Logger.h"
#include "PackageTestSupport.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace pkgtest;

namespace
{

SPCIInfo rec(const std::string& componentID, const std::string& deviceID = "",
             const std::string& subDeviceID = "", const std::string& vendorID = "",
             const std::string& subVendorID = "", const std::string& display = "")
{
    SPCIInfo r;
    r.strComponentID = componentID;
    r.strDeviceID = deviceID;
    r.strSubDeviceID = subDeviceID;
    r.strVendorID = vendorID;
    r.strSubVendorID = subVendorID;
    r.strDisplayName = display;
    return r;
}

std::string describe(const std::vector<SPCIInfo>& records)
{
    std::string text;
    for (const SPCIInfo& r : records) {
        text += "{" + r.strComponentID + "|" + r.strDeviceID + "|" + r.strSubDeviceID + "|" +
                r.strVendorID + "|" + r.strSubVendorID + "|" + r.strDisplayName + "}\n";
    }
    return text;
}

// A working directory holding the given package descriptor (none when the
// fixture name is empty).
class PackageDir : public ScopedTempWorkDir
{
public:
    explicit PackageDir(const std::string& fixtureName)
    {
        if (!fixtureName.empty()) {
            write("package.xml", fixture(fixtureName));
        }
    }
};

} // namespace

TEST(SoftwareComponentInfo, SwitchPackageGivesComponentIDRecordNameAndImage)
{
    PackageDir dir("package_switch.xml");
    CSoftwareComponentInfo reader;
    EXPECT_EQ(describe({rec("0ABC")}), describe(reader.GetAllSupportedDevices()));
    std::string lower = "0abc";
    EXPECT_EQ("Switch A", reader.getMarketingNameForNonPCIDevice(lower));
    EXPECT_EQ("lumo_sw_1.4.8.bin",
              reader.GetValue("/SoftwareComponent/SupportedDevices/Device[@componentID = \"0ABC\"]"
                              "/PayloadConfiguration/Image",
                              "filename"));
}

TEST(SoftwareComponentInfo, PciRecordsArePaddedNamedAndNeverInheritEarlierValues)
{
    PackageDir dir("pci_devices.xml");
    CSoftwareComponentInfo reader;
    const std::vector<SPCIInfo> expected = {
        rec("100", "0009", "0087", "10B5", "12345", "Padded"),
        rec("200", "a001", "0001", "1000", "1028", "First"),
        rec("200", "a002", "0002", "1000", "1028", "Second"),
        // Lacks three IDs and a Display: empty, not the previous device's values.
        rec("300", "b001"),
        rec("400"),
    };
    EXPECT_EQ(describe(expected), describe(reader.GetAllSupportedDevices()));
    // A second pass gives the same list.
    EXPECT_EQ(describe(expected), describe(reader.GetAllSupportedDevices()));
}

TEST(SoftwareComponentInfo, DisplayNamesOfNonPciDevices)
{
    PackageDir dir("display_names.xml");
    CSoftwareComponentInfo reader;
    const std::map<std::string, std::string> expected = {
        {"0ABC", "upper case key"},     {"0abc", "lower case key"}, {"777", "new name"},
        {"999", "A & B <caf\xc3\xa9>"}, {"100", "Padded"},
    };
    std::map<std::string, std::string> names = reader.getCompIDMarkNameInfo();
    EXPECT_EQ(4u, names.size());
    for (const auto& entry : names) {
        EXPECT_EQ(expected.at(entry.first), entry.second) << entry.first;
    }

    const struct {
        std::string id;
        std::string name;
    } lookups[] = {
        // Both spellings match either key; the key that sorts last wins.
        {"0ABC", "lower case key"},
        {"0Abc", "lower case key"},
        {"777", "new name"},
        {"888", ""},
        {"77", ""},
        {"", ""},
    };
    for (const auto& l : lookups) {
        std::string id = l.id;
        EXPECT_EQ(l.name, reader.getMarketingNameForNonPCIDevice(id)) << l.id;
    }
}

TEST(SoftwareComponentInfo, GetValueTakesAttributeElseTextOfTheFirstNodeThatHasOne)
{
    PackageDir dir("image_values.xml");
    CSoftwareComponentInfo reader;
    const auto image = [](const std::string& id) {
        return "/SoftwareComponent/SupportedDevices/Device[@componentID = \"" + id +
               "\"]/PayloadConfiguration/Image";
    };
    const struct {
        std::string expression;
        std::string attribute;
        std::string value;
    } cases[] = {
        {image("104770"), "filename", "first.bin"},
        {image("104771"), "filename", "from-text.bin"},
        {image("104772"), "filename", "third.bin"},
        {image("104773"), "filename", ""},
        {image("999999"), "filename", ""},
        {image("104770"), "", ""},
        {"/SoftwareComponent/SupportedDevices/Device", "componentID", "104770"},
        {"//Device/@componentID", "", "104770"},
        {"//namespace::*", "x", ""},
        {"count(//Device)", "x", ""},
        {"/SoftwareComponent[", "filename", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, reader.GetValue(c.expression, c.attribute)) << c.expression;
    }
}

TEST(SoftwareComponentInfo, MissingDescriptorGivesEmptyResultsSilently)
{
    PackageDir dir("");
    testing::internal::CaptureStdout();
    {
        CSoftwareComponentInfo reader;
        std::string id = "0ABC";
        EXPECT_TRUE(reader.GetAllSupportedDevices().empty());
        EXPECT_TRUE(reader.getCompIDMarkNameInfo().empty());
        EXPECT_EQ("", reader.getMarketingNameForNonPCIDevice(id));
        EXPECT_EQ("", reader.GetValue("//Device", "componentID"));
        EXPECT_FALSE(reader.ParseXmlUsingXpath());
    }
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(SoftwareComponentInfo, BadDescriptorsGiveEmptyResultsAndLibxmlDiagnostics)
{
    const struct {
        const char* what;
        std::string content;
        bool wellFormed;
    } cases[] = {
        {"truncated", fixture("truncated.xml"), false},
        {"mismatched tags", fixture("mismatched.xml"), false},
        {"empty file", "", false},
        {"binary", std::string("\x00\xff\xfe<\x01", 5), false},
        {"other document element",
         "<Other><SupportedDevices><Device componentID=\"1\"/></SupportedDevices></Other>", true},
        {"no devices", "<SoftwareComponent><SupportedDevices/></SoftwareComponent>", true},
    };
    for (const auto& c : cases) {
        ScopedTempWorkDir dir;
        dir.write("package.xml", c.content);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            CSoftwareComponentInfo reader;
            std::string id = "1";
            EXPECT_TRUE(reader.GetAllSupportedDevices().empty()) << c.what;
            EXPECT_TRUE(reader.getCompIDMarkNameInfo().empty()) << c.what;
            EXPECT_EQ("", reader.getMarketingNameForNonPCIDevice(id)) << c.what;
            EXPECT_EQ("",
                      reader.GetValue("/SoftwareComponent/SupportedDevices/Device", "componentID"))
                << c.what;
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << c.what;
        EXPECT_EQ(c.wellFormed, err.empty()) << c.what << ": " << err;
    }
}

TEST(SoftwareComponentInfo, MarkerFileOpensBaseutilsLogUnlessALogIsOpen)
{
    {
        PackageDir dir("package_switch.xml");
        CLogger::ResetForTesting();
        CSoftwareComponentInfo reader;
        EXPECT_FALSE(CLogger::GetInstance()->IsInitialized());
        EXPECT_NE(0, access("baseutils.log", F_OK));
    }
    {
        PackageDir dir("");
        dir.write("zukdebuglog", "");
        CLogger::ResetForTesting();
        {
            CSoftwareComponentInfo reader;
            std::string id = "0abc";
            reader.getMarketingNameForNonPCIDevice(id);
        }
        CLogger::ResetForTesting();
        const std::string log = readFile(dir.path() + "/baseutils.log");
        EXPECT_NE(std::string::npos,
                  log.find("     SoftwareComponentInfo:")); // base name right-aligned in 25
        EXPECT_NE(std::string::npos,
                  log.find("CSoftwareComponentInfo::CSoftwareComponentInfo() Entering Constructor "
                           "Method"));
        EXPECT_NE(std::string::npos,
                  log.find("Leaving CSoftwareComponentInfo::GetCompIDMarkNameInfo()"));
    }
    {
        PackageDir dir("package_switch.xml");
        dir.write("zukdebuglog", "");
        CLogger::ResetForTesting();
        CLogger::GetInstance()->Initialize(dir.path() + "/debug_inv.log");
        {
            CSoftwareComponentInfo reader;
            std::string id = "0ABC";
            reader.getMarketingNameForNonPCIDevice(id);
        }
        CLogger::ResetForTesting();
        EXPECT_NE(0, access("baseutils.log", F_OK));
        const std::string log = readFile(dir.path() + "/debug_inv.log");
        EXPECT_NE(std::string::npos,
                  log.find("GetCompIDMarkNameInfo() Got the marketing name/Display name for a "
                           "Non-PCI Device with Component ID  0ABC as Switch A"));
        EXPECT_NE(std::string::npos, log.find("getMarketingNameForNonPCIDevice() Found a match "
                                              "with Non-PCI Devices from package.xml"));
    }
}

// Messages of the debug log's lines, in order.
std::vector<std::string> logMessages(const std::string& log)
{
    static const std::regex line(R"(^\[[^\]]*\] : +\S+: +\d+: (.*)$)");
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
        out.push_back(std::regex_match(text, m, line) ? m[1].str() : text);
    }
    return out;
}

// Without a document the device query selects nothing, and the log says so
// before the list is given up; a lookup without a document asks no query.
TEST(SoftwareComponentInfo, NoDocumentSelectsAnEmptyNodeSetBeforeTheListIsGivenUp)
{
    for (const char* content : {"", "<SoftwareComponent><SupportedDevices>"}) {
        SCOPED_TRACE(*content ? "unparsable" : "missing");
        PackageDir dir("");
        if (*content) {
            dir.write("package.xml", content);
        }
        CLogger::ResetForTesting();
        CLogger::GetInstance()->Initialize(dir.path() + "/debug_update.log");
        testing::internal::CaptureStderr();
        {
            CSoftwareComponentInfo reader;
            EXPECT_EQ("", reader.GetValue("//SoftwareComponent", "vendorVersion"));
            EXPECT_TRUE(reader.GetAllSupportedDevices().empty());
        }
        testing::internal::GetCapturedStderr();
        CLogger::ResetForTesting();
        const std::vector<std::string> log =
            logMessages(readFile(dir.path() + "/debug_update.log"));
        const std::vector<std::string> lookup = {"Entering GetStringFromPackageXML function",
                                                 "Exiting GetStringFromPackageXML function"};
        const std::vector<std::string> list = {
            "CSoftwareComponentInfo::GetNodeSet() Empty nodeset",
            "CSoftwareComponentInfo::GetSupportedDevices() Error during calculating xpath "
            "expression"};
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(lookup, std::vector<std::string>(log.end() - 4, log.end() - 2));
        EXPECT_EQ(list, std::vector<std::string>(log.end() - 2, log.end()));
    }
}

TEST(SoftwareComponentInfo, LibxmlStaysUsableAfterReadersAreGone)
{
    PackageDir dir("package_switch.xml");
    for (int i = 0; i < 3; ++i) {
        CSoftwareComponentInfo reader;
        EXPECT_EQ(1u, reader.GetAllSupportedDevices().size());
    }
    // Another part of the process parses after the readers are destroyed.
    const std::string other = "<Config><Retries value=\"3\"/></Config>";
    Doc doc = parseReport(other);
    ASSERT_TRUE(doc);
    EXPECT_EQ("3", xpathString(doc.get(), "string(/Config/Retries/@value)"));
}

TEST(SoftwareComponentInfo, ManyPciEntriesUnderOneDeviceAllTakeTheTrailingDisplay)
{
    std::string xml = "<SoftwareComponent><SupportedDevices><Device componentID=\"5\">";
    for (int i = 0; i < 5000; ++i) {
        xml += "<PCIInfo deviceID=\"" + std::to_string(i) + "\"/>";
    }
    xml += "<Display>Tail</Display></Device></SupportedDevices></SoftwareComponent>";
    ScopedTempWorkDir dir;
    dir.write("package.xml", xml);
    CSoftwareComponentInfo reader;
    const std::vector<SPCIInfo> records = reader.GetAllSupportedDevices();
    ASSERT_EQ(5000u, records.size());
    EXPECT_EQ("0000", records.front().strDeviceID);
    EXPECT_EQ("4999", records.back().strDeviceID);
    for (const SPCIInfo& r : records) {
        ASSERT_EQ("Tail", r.strDisplayName);
    }
}
