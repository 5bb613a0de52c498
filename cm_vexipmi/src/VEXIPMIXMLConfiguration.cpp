#include "VEXIPMIXMLConfiguration.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "PackageFiles.h"
#include "PlatformLayer.h"
#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMIXMLConfiguration";

namespace
{

const char kDefaultName[] = "Default";

bool IsElement(const xmlNode* node)
{
    return node != nullptr && node->type == XML_ELEMENT_NODE;
}

// Entity references are not followed anywhere below: a hostile file could
// nest them into gigabytes of text.
bool AttributeTextEquals(const xmlAttr* attribute, const char* expected)
{
    std::string text;
    for (const xmlNode* child = attribute->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE && child->content != nullptr) {
            text += reinterpret_cast<const char*>(child->content);
        }
    }
    return text == expected;
}

bool HasDefaultName(const xmlNode* node)
{
    for (const xmlAttr* attribute = node->properties; attribute != nullptr;
         attribute = attribute->next) {
        if (attribute->name != nullptr &&
            strcmp(reinterpret_cast<const char*>(attribute->name), "name") == 0) {
            return AttributeTextEquals(attribute, kDefaultName);
        }
    }
    return false;
}

xmlNode* FirstDefaultChild(xmlNode* parent)
{
    for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (IsElement(child) && HasDefaultName(child)) {
            return child;
        }
    }
    return nullptr;
}

// Base-10 conversion of an element's text content the way strtol reads it:
// leading white space, an optional sign, digits up to the first non-digit.
// Values beyond 32 bits stop at the nearest limit.
class DecimalReader
{
public:
    // False once the number has ended.
    bool Feed(const char* text)
    {
        for (const char* p = text; *p != '\0'; ++p) {
            const char c = *p;
            switch (m_State) {
            case State::Blanks:
                if (c == ' ' || (c >= '\t' && c <= '\r')) {
                    continue;
                }
                m_State = State::Sign;
                [[fallthrough]];
            case State::Sign:
                m_State = State::Digits;
                if (c == '-' || c == '+') {
                    m_bNegative = (c == '-');
                    continue;
                }
                [[fallthrough]];
            case State::Digits:
                if (c < '0' || c > '9') {
                    m_State = State::Done;
                    return false;
                }
                m_Magnitude = m_Magnitude * 10 + (c - '0');
                if (m_Magnitude > static_cast<int64_t>(INT32_MAX) + 1) {
                    m_Magnitude = static_cast<int64_t>(INT32_MAX) + 1;
                }
                continue;
            case State::Done:
                return false;
            }
        }
        return true;
    }

    int32_t Value() const
    {
        const int64_t value = m_bNegative ? -m_Magnitude : m_Magnitude;
        if (value > INT32_MAX) {
            return INT32_MAX;
        }
        return static_cast<int32_t>(value);
    }

private:
    enum class State { Blanks, Sign, Digits, Done };
    State m_State = State::Blanks;
    bool m_bNegative = false;
    int64_t m_Magnitude = 0;
};

// Feeds the text of `node`'s descendants, in document order, until the
// number ends. Depth is bounded by the parser's own nesting limit.
bool FeedText(const xmlNode* node, DecimalReader& reader)
{
    for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
            child->content != nullptr) {
            if (!reader.Feed(reinterpret_cast<const char*>(child->content))) {
                return false;
            }
        } else if (child->type == XML_ELEMENT_NODE) {
            if (!FeedText(child, reader)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

VEXIPMIXMLConfig::VEXIPMIXMLConfig(const VEXString& fileName) : m_FileName(fileName) {}

VEXIPMIXMLConfig::~VEXIPMIXMLConfig() = default;

bool VEXIPMIXMLConfig::Initialize()
{
    VEXScopedLock guard(m_Lock);
    return Initialize(guard);
}

bool VEXIPMIXMLConfig::Initialize(const VEXScopedLock&)
{
    if (m_bParsed) {
        return true;
    }
    const std::string name = m_FileName.GetUTF8String();
    if (CPlatformLayer::IsFileExits(name)) {
        VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIXMLConfig::Initialize() File exist");
        // The settings decide how long the tool keeps retrying as root: a
        // file another user could plant or change (a link, not root's,
        // writable by others, or in such a folder) is not read.
        std::string why;
        if (!pkgfiles::CheckTrusted(name, why)) {
            pkgfiles::ReportRefusal(name, why);
        }
        std::string contents;
        xmlDoc* doc = nullptr;
        if (why.empty() && pkgfiles::ReadTrusted(name, contents, why, kMaxFileSize) &&
            !contents.empty()) {
            doc = xmlReadMemory(contents.data(), static_cast<int>(contents.size()), name.c_str(),
                                nullptr, XML_PARSE_NONET);
        }
        if (doc == nullptr) {
            VEXIPMI_LOG(eVEXLogError, "Parse unsuccessful");
        } else {
            m_Doc.reset(doc);
            m_DefaultNode = nullptr;
            m_bParsed = true;
        }
    } else {
        VEXIPMI_LOG(eVEXLogError, "VEXIPMIXMLConfig::Initialize() - File Not Found");
    }
    VEXIPMI_LOG(eVEXLogError, "VEXIPMIXMLConfig::Initialize() Leaving");
    return m_bParsed;
}

_xmlNode* VEXIPMIXMLConfig::FindDefaultNode()
{
    xmlNode* root = xmlDocGetRootElement(m_Doc.get());
    if (root == nullptr) {
        VEXIPMI_LOG(eVEXLogError, "VEXRoot is NULL");
        return nullptr;
    }
    xmlNode* device = FirstDefaultChild(root);
    if (device == nullptr) {
        VEXIPMI_LOG(eVEXLogInfo, "No default device configuration node found");
        return nullptr;
    }
    return FirstDefaultChild(device);
}

bool VEXIPMIXMLConfig::GetConfigInt(const VEXString& key, int32_t& value)
{
    VEXScopedLock guard(m_Lock);
    if (!m_bParsed && !Initialize(guard)) {
        VEXIPMI_LOG(eVEXLogError, "IPMI configuration not initialized");
        return false;
    }
    if (m_DefaultNode == nullptr) {
        m_DefaultNode = FindDefaultNode();
    }
    if (m_DefaultNode == nullptr) {
        VEXIPMI_LOG(eVEXLogError, "No default IPMI config found");
        return false;
    }
    const std::string wanted = key.GetUTF8String();
    for (xmlNode* child = m_DefaultNode->children; child != nullptr; child = child->next) {
        if (IsElement(child) && child->name != nullptr &&
            wanted == reinterpret_cast<const char*>(child->name)) {
            DecimalReader reader;
            FeedText(child, reader);
            value = reader.Value();
            return true;
        }
    }
    return false;
}

void VEXIPMIXMLConfig::SetConfigurationFileName(const VEXString& name)
{
    VEXScopedLock guard(m_Lock);
    if (name != m_FileName) {
        ReleaseLocked();
    }
    m_FileName = name;
}

void VEXIPMIXMLConfig::Release()
{
    VEXScopedLock guard(m_Lock);
    ReleaseLocked();
}

void VEXIPMIXMLConfig::ReleaseLocked()
{
    m_DefaultNode = nullptr;
    m_Doc.reset();
    m_bParsed = false;
}
