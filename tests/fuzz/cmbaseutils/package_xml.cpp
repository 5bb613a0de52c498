// Feeds arbitrary bytes as package.xml through every query of the package
// reader, then puts what it read into both reports and checks that each one
// is still well-formed XML.

#include "InventoryXMLWriter.h"
#include "SoftwareComponentInfo.h"
#include "UpdateXMLWriter.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace
{

void quiet(void*, const char*, ...) {}

void checkWellFormed(const std::string& report)
{
    xmlDoc* doc = xmlReadMemory(report.data(), static_cast<int>(report.size()), "report.xml",
                                nullptr, XML_PARSE_NONET);
    if (doc == nullptr) {
        std::fprintf(stderr, "report is not well-formed XML:\n%s\n", report.c_str());
        std::abort();
    }
    xmlFreeDoc(doc);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/fuzz_package_xml_XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        std::abort();
    }
    // libxml2 would print a diagnostic for nearly every input.
    xmlSetGenericErrorFunc(nullptr, quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = std::fopen("package.xml", "wb");
    if (file == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::abort();
    }
    std::fclose(file);

    std::vector<CDeviceInfo> records;
    {
        CSoftwareComponentInfo reader;
        XmlXPathObjectHandle nodes = reader.ParseXmlUsingXpath();
        (void)nodes;
        const std::vector<SPCIInfo> supported = reader.GetAllSupportedDevices();
        const std::map<std::string, std::string> names = reader.getCompIDMarkNameInfo();
        for (size_t i = 0; i < supported.size() && i < 8; ++i) {
            std::string id = supported[i].strComponentID;
            CDeviceInfo d;
            d.setStatus(0);
            d.setDeviceType(supported[i].strDeviceID.empty() ? eDeviceTypeComponentID
                                                             : eDeviceTypePCI);
            d.setComponentID(id);
            d.setPCIInfo(supported[i]);
            d.setDisplay(reader.getMarketingNameForNonPCIDevice(id));
            d.setDeviceName(supported[i].strDisplayName);
            d.setVersion(reader.GetValue("/SoftwareComponent/SupportedDevices/Device[@componentID "
                                         "= \"" +
                                             id + "\"]/PayloadConfiguration/Image",
                                         "filename"));
            d.setErrorMsg(reader.GetValue("//Device", "componentID"));
            d.setEnumId(id);
            records.push_back(d);
        }
        if (!names.empty()) {
            CDeviceInfo failed;
            failed.setDeviceType(eDeviceTypeComponentID);
            failed.setStatus(1);
            failed.setErrorMsg(names.begin()->second);
            records.push_back(failed);
        }
    }

    std::vector<CDeviceInfo*> devices;
    for (CDeviceInfo& r : records) {
        devices.push_back(&r);
    }
    std::ostringstream inventory;
    std::ostringstream update;
    {
        CInventoryXMLWriter writer(inventory);
        writer.GetXML(devices, "");
    }
    {
        CUpdateXMLWriter writer(update);
        writer.GetXML(devices, "");
    }
    checkWellFormed(inventory.str());
    checkWellFormed(update.str());
    return 0;
}
