#include "SoftwareComponentInfo.h"

#include "Logger.h"
#include "PackageFiles.h"
#include "PackageTrust.h"
#include "PlatformLayer.h"
#include "StringUtils.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kSrc[] = "cm_CMBaseUtils/src/SoftwareComponentInfo";

const std::string strPackageXMLFileName = "package.xml";

namespace
{

const char kDeviceQuery[] = "//SoftwareComponent/SupportedDevices/Device";
// The most of a descriptor read into memory to be checked before it is parsed.
constexpr size_t kMaxPackageBytes = size_t(16) << 20;

const xmlChar* xc(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

std::string fromXml(const xmlChar* text)
{
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

bool isElementNamed(const xmlNode* node, const char* name)
{
    return node != nullptr && node->type == XML_ELEMENT_NODE &&
           xmlStrcasecmp(node->name, xc(name)) == 0;
}

// Text of a node: the content of its first child when that is a text or
// CDATA node. Empty when there is none.
std::string textOf(const xmlNode* node)
{
    if (node == nullptr || node->type == XML_NAMESPACE_DECL) {
        return std::string();
    }
    const xmlNode* first = node->children;
    if (first == nullptr ||
        (first->type != XML_TEXT_NODE && first->type != XML_CDATA_SECTION_NODE)) {
        return std::string();
    }
    return fromXml(first->content);
}

// Value of an attribute of an element; empty when missing.
std::string attributeOf(xmlNode* node, const char* name)
{
    if (node == nullptr || node->type != XML_ELEMENT_NODE) {
        return std::string();
    }
    XmlCharHandle value(xmlGetProp(node, xc(name)));
    return fromXml(value.get());
}

std::string padHexField(const std::string& value)
{
    return value.size() >= 4 ? value : std::string(4 - value.size(), '0') + value;
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CStringUtils::toLowerCase(a) == CStringUtils::toLowerCase(b);
}

// Parses the descriptor on its own parser options rather than the
// process-wide parser defaults, so a setting made elsewhere in the process
// (entity substitution, DTD loading) cannot change how a package is read.
// The descriptor is read through one checked descriptor of the package's own
// file; `why` says why a file was not read at all (missing, or not to be
// trusted), and stays empty when libxml2 had the file. When the package's
// files are checked against package.jcat, the bytes checked are the bytes
// parsed, and a descriptor that fails is not parsed at all (`why` says why).
xmlDoc* parsePackage(const std::string& path, std::string& why)
{
    const int fd = pkgfiles::OpenTrusted(path, O_RDONLY | O_NONBLOCK, why);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        why = "the file is not a regular file";
    }
    if (!why.empty()) {
        if (fd >= 0) {
            close(fd);
        }
        if (why != pkgfiles::kWhyMissing) {
            pkgfiles::ReportRefusal(path, why);
        }
        return nullptr;
    }
    const int options = XML_PARSE_NOBLANKS | XML_PARSE_NONET;
    if (pkgtrust::Mode() == pkgtrust::EMode::Off) {
        xmlDoc* document = xmlReadFd(fd, path.c_str(), nullptr, options);
        close(fd);
        return document;
    }
    std::string content;
    why = pkgtrust::CheckDescriptor(strPackageXMLFileName, fd, &content, kMaxPackageBytes);
    close(fd);
    if (!why.empty()) {
        pkgtrust::ReportRefusal(path, why);
        return nullptr;
    }
    return xmlReadMemory(content.data(), static_cast<int>(content.size()), path.c_str(), nullptr,
                         options);
}

// The descriptor counts as present when it can be opened for reading, as it
// always did, but in the executable's folder.
bool packagePresent(const std::string& path)
{
    return CPlatformLayer::IsFileExistsAbs(path);
}

} // namespace

CSoftwareComponentInfo::CSoftwareComponentInfo()
{
    // libxml2 stays initialised for the rest of the process; see the destructor.
    xmlInitParser();
    if (DebugLoggingWanted()) {
        CLogger::GetInstance()->Initialize(strBaseUtilsLogFileName);
    }
    CLogger::GetInstance()->log(
        kSrc, __LINE__,
        "CSoftwareComponentInfo::CSoftwareComponentInfo() Entering Constructor Method");
    ParseXMl();
}

// No xmlCleanupParser here: it tears down libxml2's global state, and other
// parts of the process (the IPMI configuration reader) go on parsing after a
// reader is gone. The held document is freed by its handle.
CSoftwareComponentInfo::~CSoftwareComponentInfo() = default;

void CSoftwareComponentInfo::replaceDocument(xmlDoc* document)
{
    m_pDocument.reset(document);
}

void CSoftwareComponentInfo::readPackage()
{
    std::string why;
    replaceDocument(parsePackage(m_strPackageFilePath, why));
    m_strRefusal.clear();
    if (m_pDocument) {
        m_ePackageState = EPackageState::Parsed;
    } else if (why.empty()) {
        m_ePackageState = EPackageState::Unparsable;
    } else if (why == pkgfiles::kWhyMissing) {
        m_ePackageState = EPackageState::Missing;
    } else {
        m_ePackageState = EPackageState::Refused;
        m_strRefusal = why;
    }
}

void CSoftwareComponentInfo::ParseXMl()
{
    xmlKeepBlanksDefault(0);
    replaceDocument(nullptr);
    m_ePackageState = EPackageState::Missing;
    m_strRefusal.clear();
    m_strPackageFilePath = pkgfiles::Directory() + strPackageXMLFileName;
    if (!packagePresent(m_strPackageFilePath)) {
        return;
    }
    readPackage();
    CLogger* logger = CLogger::GetInstance();
    if (!m_pDocument) {
        logger->log(kSrc, __LINE__,
                    "CSoftwareComponentInfo::Init() Document " + m_strPackageFilePath +
                        " not parsed successfully ");
    }
    logger->log(kSrc, __LINE__, "CSoftwareComponentInfo::Init() Exiting");
}

XmlXPathObjectHandle CSoftwareComponentInfo::GetNodeSet(xmlDoc* document,
                                                        const std::string& expression)
{
    CLogger* logger = CLogger::GetInstance();
    if (document == nullptr) {
        // No document selects nothing, as libxml2's evaluation on none would.
        logger->log(kSrc, __LINE__, "CSoftwareComponentInfo::GetNodeSet() Empty nodeset");
        return nullptr;
    }
    XmlXPathContextHandle context(xmlXPathNewContext(document));
    if (!context) {
        logger->log(kSrc, __LINE__,
                    "CSoftwareComponentInfo::GetNodeSet() Error in xmlXPathNewContext");
        return nullptr;
    }
    XmlXPathObjectHandle result(xmlXPathEvalExpression(xc(expression.c_str()), context.get()));
    context.reset();
    if (!result) {
        logger->log(kSrc, __LINE__,
                    "CSoftwareComponentInfo::GetNodeSet() Error in xmlXPathEvalExpression");
        return nullptr;
    }
    if (result->type != XPATH_NODESET || xmlXPathNodeSetIsEmpty(result->nodesetval)) {
        logger->log(kSrc, __LINE__, "CSoftwareComponentInfo::GetNodeSet() Empty nodeset");
        return nullptr;
    }
    return result;
}

XmlXPathObjectHandle CSoftwareComponentInfo::ParseXmlUsingXpath()
{
    if (!packagePresent(m_strPackageFilePath)) {
        replaceDocument(nullptr);
        m_ePackageState = EPackageState::Missing;
        m_strRefusal.clear();
        return nullptr;
    }
    readPackage();
    return GetNodeSet(m_pDocument.get(), kDeviceQuery);
}

std::string CSoftwareComponentInfo::GetValue(const std::string& expression,
                                             const std::string& attribute)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "Entering GetStringFromPackageXML function");
    XmlXPathObjectHandle nodes;
    if (m_pDocument) {
        nodes = GetNodeSet(m_pDocument.get(), expression);
    }
    if (nodes) {
        const xmlNodeSet* set = nodes->nodesetval;
        for (int i = 0; i < set->nodeNr; ++i) {
            xmlNode* node = set->nodeTab[i];
            if (node == nullptr || node->type == XML_NAMESPACE_DECL) {
                continue;
            }
            if (!attribute.empty()) {
                std::string value = attributeOf(node, attribute.c_str());
                if (!value.empty()) {
                    return value;
                }
            }
            std::string text = textOf(node);
            if (!text.empty()) {
                logger->log(kSrc, __LINE__, text);
                logger->log(kSrc, __LINE__, "Exiting GetStringFromPackageXML function");
                return text;
            }
        }
    }
    logger->log(kSrc, __LINE__, "Exiting GetStringFromPackageXML function");
    return std::string();
}

std::vector<SPCIInfo> CSoftwareComponentInfo::GetAllSupportedDevices()
{
    CLogger* logger = CLogger::GetInstance();
    std::vector<SPCIInfo> devices;
    readPackage();
    XmlXPathObjectHandle nodes = GetNodeSet(m_pDocument.get(), kDeviceQuery);
    if (!nodes) {
        logger->log(kSrc, __LINE__,
                    "CSoftwareComponentInfo::GetSupportedDevices() Error during calculating xpath "
                    "expression");
        return devices;
    }

    std::vector<xmlNode*> children;
    std::vector<std::string> displayAfter;
    const xmlNodeSet* set = nodes->nodesetval;
    for (int i = 0; i < set->nodeNr; ++i) {
        xmlNode* device = set->nodeTab[i];
        if (device == nullptr || device->type != XML_ELEMENT_NODE) {
            continue;
        }
        const std::string componentID = attributeOf(device, "componentID");

        children.clear();
        for (xmlNode* child = device->children; child != nullptr; child = child->next) {
            children.push_back(child);
        }
        // displayAfter[k]: the first Display with text among the siblings
        // after child k, found in one backward pass so that a Device with
        // many PCIInfo entries costs linear time.
        displayAfter.assign(children.size(), std::string());
        std::string nextDisplay;
        for (size_t k = children.size(); k-- > 0;) {
            displayAfter[k] = nextDisplay;
            if (isElementNamed(children[k], "Display")) {
                std::string text = textOf(children[k]);
                if (!text.empty()) {
                    nextDisplay = text;
                }
            }
        }

        bool hadPCIInfo = false;
        for (size_t k = 0; k < children.size(); ++k) {
            xmlNode* child = children[k];
            if (!isElementNamed(child, "PCIInfo")) {
                continue;
            }
            hadPCIInfo = true;
            // Each entry starts from a clean record: a value missing from
            // this PCIInfo must not be taken from the device listed before it.
            SPCIInfo record;
            record.strComponentID = componentID;
            const struct {
                const char* attribute;
                std::string SPCIInfo::*field;
            } ids[] = {
                {"deviceID", &SPCIInfo::strDeviceID},
                {"subDeviceID", &SPCIInfo::strSubDeviceID},
                {"vendorID", &SPCIInfo::strVendorID},
                {"subVendorID", &SPCIInfo::strSubVendorID},
            };
            for (const auto& id : ids) {
                std::string value = attributeOf(child, id.attribute);
                if (!value.empty()) {
                    record.*id.field = padHexField(value);
                }
            }
            if (!displayAfter[k].empty()) {
                record.strDisplayName = displayAfter[k];
                logger->log(kSrc, __LINE__,
                            "CSoftwareComponentInfo::GetSupportedDevices() Got the marketing "
                            "name/Display name for a PCI Device as " +
                                record.strDisplayName);
            }
            devices.push_back(record);
        }
        if (!hadPCIInfo && !componentID.empty()) {
            logger->log(kSrc, __LINE__,
                        "CSoftwareComponentInfo::GetSupportedDevices() No PCI Info present.Pushing "
                        "ComponentID " +
                            componentID);
            SPCIInfo record;
            record.strComponentID = componentID;
            devices.push_back(record);
        }
    }
    logger->log(kSrc, __LINE__, "CSoftwareComponentInfo::GetSupportedDevices() Exiting");
    return devices;
}

std::map<std::string, std::string> CSoftwareComponentInfo::getCompIDMarkNameInfo()
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "Entering CSoftwareComponentInfo::GetCompIDMarkNameInfo()");
    std::map<std::string, std::string> names;
    XmlXPathObjectHandle nodes = ParseXmlUsingXpath();
    if (nodes) {
        const xmlNodeSet* set = nodes->nodesetval;
        for (int i = 0; i < set->nodeNr; ++i) {
            xmlNode* device = set->nodeTab[i];
            if (device == nullptr || device->type != XML_ELEMENT_NODE) {
                continue;
            }
            const std::string componentID = attributeOf(device, "componentID");
            for (xmlNode* child = device->children; child != nullptr; child = child->next) {
                if (!isElementNamed(child, "Display")) {
                    continue;
                }
                logger->log(kSrc, __LINE__,
                            "GetCompIDMarkNameInfo() Found a Display element under Device element");
                std::string name = textOf(child);
                if (name.empty()) {
                    continue;
                }
                names[componentID] = name;
                logger->log(kSrc, __LINE__,
                            "GetCompIDMarkNameInfo() Got the marketing name/Display name for a "
                            "Non-PCI Device with Component ID  " +
                                componentID + " as " + name);
                break;
            }
        }
    }
    logger->log(kSrc, __LINE__, "Leaving CSoftwareComponentInfo::GetCompIDMarkNameInfo()");
    return names;
}

std::string CSoftwareComponentInfo::getMarketingNameForNonPCIDevice(const std::string& componentID)
{
    std::string result;
    const std::map<std::string, std::string> names = getCompIDMarkNameInfo();
    for (const auto& entry : names) {
        if (equalsIgnoringAsciiCase(entry.first, componentID)) {
            result = entry.second;
            CLogger::GetInstance()->log(kSrc, __LINE__,
                                        "getMarketingNameForNonPCIDevice() Found a match with "
                                        "Non-PCI Devices from package.xml");
        }
    }
    return result;
}
