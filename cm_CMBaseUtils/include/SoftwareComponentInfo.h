#pragma once

#include "DeviceInfo.h"
#include "XmlHandles.h"

#include <map>
#include <string>
#include <vector>

// Reads the package descriptor "package.xml" in the working directory: the
// devices the package supports, their display names and per-device values
// such as the firmware image file name. A missing or unparsable descriptor
// gives empty results; libxml2's own diagnostics go to standard error.
//
// The object holds at most one parsed document. GetAllSupportedDevices and
// ParseXmlUsingXpath parse the file again and replace it, which invalidates
// any node-set obtained from the previous document.
class CSoftwareComponentInfo
{
public:
    CSoftwareComponentInfo();
    ~CSoftwareComponentInfo();

    CSoftwareComponentInfo(const CSoftwareComponentInfo&) = delete;
    CSoftwareComponentInfo& operator=(const CSoftwareComponentInfo&) = delete;

    // (Re)reads the descriptor path and parses the file when it exists.
    void ParseXMl();

    // What the last read found: no descriptor, one that may not be trusted or
    // failed its check against package.jcat and was not parsed (refusal()
    // says why), one libxml2 could not parse, or a parsed document.
    enum class EPackageState { Missing, Refused, Unparsable, Parsed };
    EPackageState packageState() const { return m_ePackageState; }
    // Why a refused descriptor was not read ("the file is not owned by root",
    // "checksum mismatch against package.jcat").
    const std::string& refusal() const { return m_strRefusal; }

    // All Device elements of a freshly parsed descriptor; null when the file
    // is missing, unparsable or lists no device.
    XmlXPathObjectHandle ParseXmlUsingXpath();

    // Nodes `expression` selects in `document`; null when it selects nothing
    // (never an empty node-set) or cannot be evaluated.
    XmlXPathObjectHandle GetNodeSet(xmlDoc* document, const std::string& expression);

    // In the held document, the first node `expression` selects that has a
    // non-empty `attribute`, else text content: that value; empty otherwise.
    std::string GetValue(const std::string& expression, const std::string& attribute);

    // One record per PCIInfo of each Device (IDs zero-padded to four
    // characters), one component-ID-only record per Device without PCIInfo.
    std::vector<SPCIInfo> GetAllSupportedDevices();

    // Component ID to display name; the last Device of an ID wins.
    std::map<std::string, std::string> getCompIDMarkNameInfo();

    // Display name for a component ID compared ignoring ASCII case; empty when
    // the package names none.
    std::string getMarketingNameForNonPCIDevice(const std::string& componentID);

private:
    void replaceDocument(xmlDoc* document);
    // Parses the descriptor path into the held document and notes the state.
    void readPackage();

    std::string m_strPackageFilePath;
    EPackageState m_ePackageState = EPackageState::Missing;
    std::string m_strRefusal;
    XmlDocHandle m_pDocument;
    std::map<unsigned int, CContextList> m_mapContextList;
};

// File name of the package descriptor, relative to the working directory.
extern const std::string strPackageXMLFileName;
