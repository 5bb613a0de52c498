#pragma once

// Helpers shared by the package reader and report writer tests.

#include "DeviceInfo.h"
#include "DeviceXMLWriter.h"
#include "ExecutableDirPlatform.h"
#include "LinuxImpl.h"
#include "PlatformLayer.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace pkgtest
{

// Packages are unpacked by root with the usual umask. A test run under a
// looser one would make the package folders it builds writable by the group,
// which the program rightly refuses to use: the tests build theirs as root
// does.
inline const bool kPackageUmaskSet = [] {
    umask(022);
    return true;
}();

using ::ExecutableDirPlatform;

// Moves the process into a fresh temporary directory for the lifetime of the
// object and returns to the previous working directory afterwards. The
// directory is also the executable's folder, as where a package is unpacked.
class ScopedTempWorkDir
{
public:
    ScopedTempWorkDir()
    {
        char previous[PATH_MAX] = {0};
        if (getcwd(previous, sizeof(previous)) != nullptr) {
            m_previous = previous;
        }
        char pattern[] = "/tmp/lumo_cmbaseutils_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_path = made;
        if (chdir(m_path.c_str()) != 0) {
            ADD_FAILURE() << "chdir " << m_path << " failed";
        }
        m_platform.reset(new ExecutableDirPlatform(m_path));
        m_previousPlatform = CPlatformLayer::SetPlatformSeams(m_platform.get());
    }
    ~ScopedTempWorkDir()
    {
        if (m_platform) {
            CPlatformLayer::SetPlatformSeams(m_previousPlatform);
        }
        if (!m_previous.empty() && chdir(m_previous.c_str()) != 0) {
            ADD_FAILURE() << "could not return to " << m_previous;
        }
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    ScopedTempWorkDir(const ScopedTempWorkDir&) = delete;
    ScopedTempWorkDir& operator=(const ScopedTempWorkDir&) = delete;

    const std::string& path() const { return m_path; }

    void write(const std::string& name, const std::string& content) const
    {
        std::ofstream out(m_path + "/" + name, std::ios::binary | std::ios::trunc);
        out << content;
    }

private:
    std::string m_previous;
    std::string m_path;
    std::unique_ptr<ExecutableDirPlatform> m_platform;
    IPlatformImpl* m_previousPlatform = nullptr;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string fixture(const std::string& name)
{
    return readFile(std::string(LUMO_TEST_DATA_DIR) + "/" + name);
}

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocDeleter>;

// Parses a report as any XML reader would; null when it is not well-formed.
inline Doc parseReport(const std::string& text)
{
    return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "report.xml", nullptr,
                             XML_PARSE_NONET));
}

// The string value of an XPath expression evaluated on a parsed report.
inline std::string xpathString(xmlDoc* doc, const std::string& expression)
{
    std::string result;
    xmlXPathContext* context = xmlXPathNewContext(doc);
    if (context == nullptr) {
        return result;
    }
    xmlXPathObject* value =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context);
    if (value != nullptr) {
        xmlChar* text = xmlXPathCastToString(value);
        if (text != nullptr) {
            result = reinterpret_cast<const char*>(text);
            xmlFree(text);
        }
        xmlXPathFreeObject(value);
    }
    xmlXPathFreeContext(context);
    return result;
}

inline double xpathNumber(xmlDoc* doc, const std::string& expression)
{
    return std::strtod(xpathString(doc, "count(" + expression + ")").c_str(), nullptr);
}

// The report a writer prints to standard output for `records`. The writer is
// deleted through the interface, as the device manager does.
template <class Writer> std::string reportOf(std::vector<CDeviceInfo> records)
{
    std::vector<CDeviceInfo*> devices;
    for (CDeviceInfo& r : records) {
        devices.push_back(&r);
    }
    std::ostringstream out;
    {
        std::unique_ptr<IDeviceXMLWriter> writer(new Writer(out));
        EXPECT_TRUE(writer->GetXML(devices, ""));
    }
    return out.str();
}

// A value an XML reader should get back from a report.
struct ReadBack {
    const char* xpath;
    std::string expected;
};

// The report stays on one line, parses, and gives every value back.
inline void expectReadsBack(const std::string& report, const std::vector<ReadBack>& checks)
{
    EXPECT_EQ(std::string::npos, report.find('\n'));
    Doc doc = parseReport(report);
    ASSERT_TRUE(doc) << report;
    for (const ReadBack& c : checks) {
        EXPECT_EQ(c.expected, xpathString(doc.get(), c.xpath)) << c.xpath;
    }
}

// A discovered switch as discovery reports it.
inline CDeviceInfo makeSwitch(const std::string& componentID, const std::string& display,
                              const std::string& enumId, const std::string& version,
                              const std::string& name)
{
    CDeviceInfo d;
    d.setDeviceType(eDeviceTypeComponentID);
    d.setStatus(0);
    d.setComponentID(componentID);
    d.setDisplay(display);
    d.setEnumId(enumId);
    d.setComponentType("FRMW");
    d.setVersion(version);
    d.setDeviceName(name);
    return d;
}

inline CDeviceInfo makePCIDevice(const std::string& display, const std::string& enumId)
{
    CDeviceInfo d;
    d.setDeviceType(eDeviceTypePCI);
    d.setStatus(0);
    SPCIInfo pci;
    pci.strVendorID = "10b5";
    pci.strDeviceID = "0087";
    pci.strSubVendorID = "1028";
    pci.strSubDeviceID = "0001";
    d.setPCIInfo(pci);
    d.setDisplay(display);
    d.setEnumId(enumId);
    d.setComponentType("FRMW");
    d.setVersion("1.2");
    d.setDeviceName("Name");
    return d;
}

inline CDeviceInfo makeFailure(eDeviceType type, int messageID, const std::string& error)
{
    CDeviceInfo d = type == eDeviceTypePCI ? makePCIDevice("Disp", "")
                                           : makeSwitch("0ABC", "Disp", "", "1.2", "Name");
    d.setDeviceType(type);
    d.setStatus(1);
    d.setMessageID(messageID);
    d.setErrorMsg(error);
    return d;
}

inline CDeviceInfo withType(CDeviceInfo d, int type)
{
    d.setDeviceType(static_cast<eDeviceType>(type));
    return d;
}

// Values no XML reader could take unescaped, and the value a reader must get
// back from the report for each.
struct HostileValue {
    std::string raw;
    std::string readBack;
};

inline HostileValue hostile(const std::string& tag)
{
    // Markup characters, whitespace an attribute would fold, a NUL-padded
    // fixed-width text, a stray control byte and bytes that are not UTF-8.
    HostileValue v;
    v.raw = tag + " a&b <c> \"d\" 'e' &amp; ]]> \t|\n|\r| \xc3\xa9 \x01 \xff\xfe end";
    v.raw += std::string(3, '\0');
    v.readBack = tag + " a&b <c> \"d\" 'e' &amp; ]]> \t|\n|\r| \xc3\xa9 \xef\xbf\xbd "
                       "\xef\xbf\xbd\xef\xbf\xbd end";
    return v;
}

} // namespace pkgtest
