#include "DeviceInfo.h"

#include "Logger.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

static const char kSrc[] = "cm_CMBaseUtils/src/DeviceInfo";

const std::string strDownloadSiteBaseAddress = "https://downloads.lumo.example/";

CDeviceInfo::CDeviceInfo()
    : m_eParentDeviceType(eDeviceTypeUnknown), m_eDeviceType(eDeviceTypeUnknown),
      m_eDependencyType(eDependencyTypeDefault), m_nMessageID(0), m_nStatus(-1), m_nUpdateStatus(0),
      m_bRebootRequired(false), m_bColdPowerCycleRequired(false), m_nDeviceUpdateID(0),
      m_nDeviceSpecificID(0), m_nBus(0), m_nDeviceBus(0), m_nDeviceBusFunction(0),
      m_pDeviceHandle(nullptr)
{
}

CDeviceInfo::CDeviceInfo(const CDeviceInfo& other) = default;

static std::string hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned int>(value));
    return text;
}

void CDeviceInfo::setPCIInfo(uint32_t vendor, uint32_t device, uint32_t subvendor,
                             uint32_t subdevice)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "CDeviceInfo::setPCIInfo() Vendor id  " + std::to_string(vendor));
    logger->log(kSrc, __LINE__, "CDeviceInfo::setPCIInfo() Device id  " + std::to_string(device));
    logger->log(kSrc, __LINE__,
                "CDeviceInfo::setPCIInfo() SubVendor id  " + std::to_string(subvendor));
    logger->log(kSrc, __LINE__,
                "CDeviceInfo::setPCIInfo() SubDevice id  " + std::to_string(subdevice));
    m_sPCIInfo.strVendorID = hex4(vendor);
    m_sPCIInfo.strDeviceID = hex4(device);
    m_sPCIInfo.strSubVendorID = hex4(subvendor);
    m_sPCIInfo.strSubDeviceID = hex4(subdevice);
}

void CDeviceInfo::setBDFInfo(uint8_t bus, uint8_t device, uint8_t function, uint16_t segment)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "CDeviceInfo::setBDFInfo() Bus  " + std::to_string(bus));
    logger->log(kSrc, __LINE__, "CDeviceInfo::setBDFInfo() Device  " + std::to_string(device));
    logger->log(kSrc, __LINE__, "CDeviceInfo::setBDFInfo() Function  " + std::to_string(function));
    logger->log(kSrc, __LINE__, "CDeviceInfo::setBDFInfo() Segment  " + std::to_string(segment));
    m_sBDFInfo.bus = bus;
    m_sBDFInfo.device = device;
    m_sBDFInfo.function = function;
    m_sBDFInfo.segment = segment;
}

std::string CDeviceInfo::getFilePath()
{
    std::replace(m_strFilePath.begin(), m_strFilePath.end(), '\\', '/');
    return strDownloadSiteBaseAddress + m_strFilePath;
}

void CDeviceInfo::setSystemInfo(const KTRCSystemInfo* value)
{
    if (value != nullptr) {
        m_sSystemInfo = *value;
    }
}

static bool samePCIIdentity(const SPCIInfo& a, const SPCIInfo& b)
{
    return a.strComponentID == b.strComponentID && a.strDeviceID == b.strDeviceID &&
           a.strSubDeviceID == b.strSubDeviceID && a.strVendorID == b.strVendorID &&
           a.strSubVendorID == b.strSubVendorID;
}

bool CDeviceInfo::operator==(const CDeviceInfo& other) const
{
    return m_strComponentType == other.m_strComponentType &&
           m_strComponentID == other.m_strComponentID &&
           m_eDependencyType == other.m_eDependencyType && m_strVersion == other.m_strVersion &&
           m_strDisplay == other.m_strDisplay && m_strDetail == other.m_strDetail &&
           m_strFilePath == other.m_strFilePath && samePCIIdentity(m_sPCIInfo, other.m_sPCIInfo);
}

bool CDeviceInfo::checkForEquality(const CDeviceInfo* other) const
{
    return other != nullptr && *this == *other;
}

bool CDeviceInfo::checkForEqualityMIC(const CDeviceInfo* other) const
{
    if (other == nullptr) {
        return false;
    }
    const SPCIInfo& a = m_sPCIInfo;
    const SPCIInfo& b = other->m_sPCIInfo;
    if (a.strDeviceID != b.strDeviceID || a.strSubDeviceID != b.strSubDeviceID ||
        a.strVendorID != b.strVendorID || a.strSubVendorID != b.strSubVendorID) {
        return false;
    }
    if (m_strComponentType != other->m_strComponentType ||
        m_strComponentID != other->m_strComponentID || a.strComponentID != b.strComponentID) {
        return false;
    }
    // A record that does not know its version matches any version.
    return m_strVersion.empty() || other->m_strVersion.empty() ||
           m_strVersion == other->m_strVersion;
}
