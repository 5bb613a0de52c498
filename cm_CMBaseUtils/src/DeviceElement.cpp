#include "DeviceElement.h"

#include <string>

#include "XMLText.h"

namespace
{

void AppendIdentity(std::ostream& out, const CDeviceInfo& device)
{
    if (device.getDeviceType() != eDeviceTypePCI) {
        out << "<Device  componentID=\"" << XMLEscapeValue(device.getComponentID()) << "\" ";
        return;
    }
    const SPCIInfo pci = device.getPCIInfo();
    out << "<Device  vendorID=\"" << XMLEscapeValue(pci.strVendorID) << "\" "
        << "deviceID=\"" << XMLEscapeValue(pci.strDeviceID) << "\" "
        << "subVendorID=\"" << XMLEscapeValue(pci.strSubVendorID) << "\" "
        << "subDeviceID=\"" << XMLEscapeValue(pci.strSubDeviceID) << "\" ";
}

} // namespace

void AppendDeviceElement(std::ostream& out, const CDeviceInfo& device, EDeviceReport report,
                         bool success)
{
    const bool inventory = report == EDeviceReport::Inventory;
    const char* gap = inventory && device.getDeviceType() == eDeviceTypePCI ? " " : "";
    const std::string enumId = device.getEnumId();
    AppendIdentity(out, device);
    out << gap << "display=\"" << XMLEscapeValue(device.getDisplay()) << "\" ";
    if (!enumId.empty()) {
        out << "enum = \"" << XMLEscapeValue(enumId) << "\" ";
    }
    out << ">"
        << "<Application componentType=\"" << XMLEscapeValue(device.getComponentType()) << "\" "
        << gap << "version=\"" << XMLEscapeValue(device.getVersion()) << "\" " << gap
        << "display=\"" << XMLEscapeValue(device.getDeviceName()) << "\"";
    if (inventory) {
        out << "/></Device>";
        return;
    }
    out << " >" << (success ? "<SPStatus result = \"true\" >" : "<SPStatus result = \"false\" >")
        << "<Message id=\"" << device.getMessageID() << "\" >"
        << XMLEscapeValue(device.getErrorMsg()) << "</Message></SPStatus></Application></Device>";
}
