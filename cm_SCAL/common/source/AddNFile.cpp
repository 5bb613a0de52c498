#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "ScalSeams.h"
#include "SecureCorvel.h"
#include "XmlHandles.h"

static const char kSrc[] = "cm_SCAL/common/source/AddNFile";

namespace
{

bool IsElement(const xmlNode* node, const char* name)
{
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

} // namespace

bool secureCorvel::get_comp_id(std::string& componentId)
{
    logCorvelMsg(kSrc, __LINE__, "Getting component id from package.xml");
    XmlDocHandle doc;
    std::string content;
    if (m_seams.host->ReadPackageFile("package.xml", content)) {
        doc.reset(xmlReadMemory(content.data(), static_cast<int>(content.size()), "package.xml",
                                nullptr, XML_PARSE_NONET));
    }
    if (!doc) {
        logCorvelMsg(kSrc, __LINE__, "Could not open package.xml");
        storeErrorInfo(SCAL_NO_COMPONENT_ID);
        return false;
    }
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        logCorvelMsg(kSrc, __LINE__, "Could not get root node");
        storeErrorInfo(SCAL_NO_COMPONENT_ID);
        return false;
    }
    if (!IsElement(root, "SoftwareComponent")) {
        logCorvelMsg(kSrc, __LINE__, "Root node is not SoftwareComponent");
        storeErrorInfo(SCAL_NO_COMPONENT_ID);
        return false;
    }

    std::vector<std::string> ids;
    for (xmlNode* devices = root->children; devices != nullptr; devices = devices->next) {
        if (!IsElement(devices, "SupportedDevices")) {
            continue;
        }
        for (xmlNode* device = devices->children; device != nullptr; device = device->next) {
            if (!IsElement(device, "Device")) {
                continue;
            }
            XmlCharHandle value(
                xmlGetProp(device, reinterpret_cast<const xmlChar*>("componentID")));
            if (!value) {
                // The caller turns this into its internal-error result.
                throw std::runtime_error("Device element without componentID");
            }
            const std::string id = reinterpret_cast<const char*>(value.get());
            logCorvelMsg(kSrc, __LINE__, "Found comp id:");
            logCorvelMsg(kSrc, __LINE__, id);
            ids.push_back(id);
        }
    }
    doc.reset();

    if (ids.empty()) {
        logCorvelMsg(kSrc, __LINE__, "Did not find SupportedDevices or Device or componentID");
        storeErrorInfo(SCAL_NO_COMPONENT_ID);
        return false;
    }

    logCorvelMsg(kSrc, __LINE__, "List of ComponentIds:");
    std::string lowest = ids.front();
    long lowestNumber = std::strtol(lowest.c_str(), nullptr, 10);
    for (const std::string& id : ids) {
        logCorvelMsg(kSrc, __LINE__, id);
        long number = std::strtol(id.c_str(), nullptr, 10);
        if (number < lowestNumber) {
            logCorvelMsg(kSrc, __LINE__, "This One Smaller");
            lowest = id;
            lowestNumber = number;
        }
    }
    componentId = lowest;
    logCorvelMsg(kSrc, __LINE__, "Smallest ComponentId:");
    logCorvelMsg(kSrc, __LINE__, componentId);
    return true;
}
