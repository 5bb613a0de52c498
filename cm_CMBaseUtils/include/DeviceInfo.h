#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How a device is identified: by its PCI identity or by component ID alone
// (every switch board device is of the latter kind).
enum eDeviceType : int32_t {
    eDeviceTypeUnknown = 0,
    eDeviceTypePCI = 1,
    eDeviceTypeComponentID = 2,
};

// How a package dependency is expressed; the package descriptor may name
// other values than the default.
enum eDependencyType : int32_t {
    eDependencyTypeDefault = 1,
};

// A device as the package descriptor names it: by component ID, by PCI
// identity (hexadecimal text), or both, with its display name.
struct SPCIInfo {
    std::string strComponentID;
    std::string strDeviceID;
    std::string strSubDeviceID;
    std::string strVendorID;
    std::string strSubVendorID;
    std::string strDisplayName;
};

// PCI bus address.
struct _BDFInfo {
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
    uint16_t segment = 0;
};

// An operating system a package names as a dependency.
struct SOSInfo {
    std::string strVendor;
    std::string strName;
    std::string strMajorVersion;
    std::string strMinorVersion;
    std::string strSPMajorVersion;
    std::string strSPMinorVersion;
    std::string strArchitecture;
    std::string strKernelVersion;
    std::string strType;
};

// The server a record was gathered on.
struct KTRCSystemInfo {
    std::string strSystemID;
    std::string strSystemName;
    std::string strServiceTag;
    std::string strBIOSVersion;
};

// Dependency bookkeeping of the package reader; nothing in this program fills it.
class CContextList
{
public:
    std::vector<std::string> m_vecContexts;
};

// Application data a package attaches to a device; only ever held by pointer.
class CDeviceApplicationInfo;

// One device as it travels from discovery through the package filter and the
// updater into the reports. Records are handed around by raw pointer and the
// handle and application pointers are never owned.
class CDeviceInfo
{
public:
    CDeviceInfo();
    CDeviceInfo(const CDeviceInfo& other);
    CDeviceInfo& operator=(const CDeviceInfo& other) = default;
    ~CDeviceInfo() = default;

    void setReleaseID(const std::string& value) { m_strReleaseID = value; }
    std::string getReleaseID() const { return m_strReleaseID; }

    void setComponentID(const std::string& value) { m_strComponentID = value; }
    std::string getComponentID() const { return m_strComponentID; }

    void setParentComponentID(const std::string& value) { m_strParentComponentID = value; }
    std::string getParentComponentID() const { return m_strParentComponentID; }

    void setParentDeviceType(eDeviceType value) { m_eParentDeviceType = value; }
    eDeviceType getParentDeviceType() const { return m_eParentDeviceType; }

    void setComponentType(const std::string& value) { m_strComponentType = value; }
    std::string getComponentType() const { return m_strComponentType; }

    void setDeviceName(const std::string& value) { m_strDeviceName = value; }
    std::string getDeviceName() const { return m_strDeviceName; }

    void setVersion(const std::string& value) { m_strVersion = value; }
    std::string getVersion() const { return m_strVersion; }

    void setPCIInfo(const SPCIInfo& value) { m_sPCIInfo = value; }
    // Stores the identity as four-digit lower-case hexadecimal text, the form
    // the package descriptor uses.
    void setPCIInfo(uint32_t vendor, uint32_t device, uint32_t subvendor, uint32_t subdevice);
    SPCIInfo getPCIInfo() const { return m_sPCIInfo; }

    void setDeviceType(eDeviceType value) { m_eDeviceType = value; }
    eDeviceType getDeviceType() const { return m_eDeviceType; }

    void setDependencyType(eDependencyType value) { m_eDependencyType = value; }
    eDependencyType getDependencyType() const { return m_eDependencyType; }

    void setDependencyContext(const std::string& value) { m_strDependencyContext = value; }
    std::string getDependencyContext() const { return m_strDependencyContext; }

    void setDependencyPlatforms(const std::vector<std::string>& value)
    {
        m_vecDependencyPlatforms = value;
    }
    std::vector<std::string> getDepenendencyPlatforms() const { return m_vecDependencyPlatforms; }

    void setParentPCIInfo(const std::vector<SPCIInfo>& value) { m_vecParentPCIInfo = value; }
    std::vector<SPCIInfo> getParentPCIInfo() const { return m_vecParentPCIInfo; }

    void setDependencyOS(const std::vector<SOSInfo>& value) { m_vecDependencyOS = value; }
    std::vector<SOSInfo> getDependencyOS() const { return m_vecDependencyOS; }

    // Appends one entry; the pointer is not owned.
    void setApplicationInfo(CDeviceApplicationInfo* value)
    {
        m_vecApplicationInfo.push_back(value);
    }
    std::vector<CDeviceApplicationInfo*> getApplicationInfo() const { return m_vecApplicationInfo; }

    void setMessageID(int32_t value) { m_nMessageID = value; }
    int32_t getMessageID() const { return m_nMessageID; }

    void setStatus(int32_t value) { m_nStatus = value; }
    int32_t getStatus() const { return m_nStatus; }

    void setErrorMsg(const std::string& value) { m_strErrorMsg = value; }
    std::string getErrorMsg() const { return m_strErrorMsg; }

    void setUpdateStatus(int32_t value) { m_nUpdateStatus = value; }
    int32_t getUpdateStatus() const { return m_nUpdateStatus; }

    void setDisplay(const std::string& value) { m_strDisplay = value; }
    std::string getDisplay() const { return m_strDisplay; }

    void setDetail(const std::string& value) { m_strDetail = value; }
    std::string getDetail() const { return m_strDetail; }

    void setFilePath(const std::string& value) { m_strFilePath = value; }
    // Normalises the stored path to forward slashes (in place) and returns it
    // behind the download-site base address.
    std::string getFilePath();

    void setCurrentVersion(const std::string& value) { m_strCurrentVersion = value; }
    std::string getCurrentVersion() const { return m_strCurrentVersion; }

    void setEnumId(const std::string& value) { m_strEnumId = value; }
    std::string getEnumId() const { return m_strEnumId; }

    void setRebootRequired(bool value) { m_bRebootRequired = value; }
    bool getRebootRequired() const { return m_bRebootRequired; }

    void setColdPowerCycleRequired(bool value) { m_bColdPowerCycleRequired = value; }
    bool getColdPowerCycleRequired() const { return m_bColdPowerCycleRequired; }

    void setBDFInfo(const _BDFInfo& value) { m_sBDFInfo = value; }
    void setBDFInfo(uint8_t bus, uint8_t device, uint8_t function, uint16_t segment);
    _BDFInfo getBDFInfo() const { return m_sBDFInfo; }

    void setDeviceIdentifier(const std::string& value) { m_strDeviceIdentifier = value; }
    std::string getDeviceIdentifier() const { return m_strDeviceIdentifier; }

    void setDeviceUdpateID(uint32_t value) { m_nDeviceUpdateID = value; }
    uint32_t getDeviceUdpateID() const { return m_nDeviceUpdateID; }

    void setDeviceSpecificID(uint16_t value) { m_nDeviceSpecificID = value; }
    uint16_t getDeviceSpecificID() const { return m_nDeviceSpecificID; }

    void setBus(int32_t value) { m_nBus = value; }
    int32_t getBus() const { return m_nBus; }

    void setDeviceBus(int32_t value) { m_nDeviceBus = value; }
    int32_t get_DeviceBus() const { return m_nDeviceBus; }

    void setDeviceBusFunction(int32_t value) { m_nDeviceBusFunction = value; }
    int32_t get_DeviceBusFunction() const { return m_nDeviceBusFunction; }

    // Not owned: for switches, the switch address record discovery made.
    void setDeviceHandle(void* value) { m_pDeviceHandle = value; }
    void* getDeviceHandle() const { return m_pDeviceHandle; }

    void setFQDDInfo(const std::string& value) { m_strFQDDInfo = value; }
    std::string getFQDDInfo() const { return m_strFQDDInfo; }

    // Copies the four texts; a null pointer leaves the record unchanged.
    void setSystemInfo(const KTRCSystemInfo* value);
    KTRCSystemInfo* getSystemInfo() { return &m_sSystemInfo; }
    const KTRCSystemInfo* getSystemInfo() const { return &m_sSystemInfo; }

    // Same component type, component ID, dependency type, version, display,
    // detail, file path and PCI identity (all but the display name).
    bool operator==(const CDeviceInfo& other) const;
    bool checkForEquality(const CDeviceInfo* other) const;
    // Same PCI identity and component IDs; an empty version on either side
    // matches any version.
    bool checkForEqualityMIC(const CDeviceInfo* other) const;

private:
    std::string m_strReleaseID;
    std::string m_strComponentID;
    std::string m_strParentComponentID;
    eDeviceType m_eParentDeviceType;
    std::string m_strComponentType;
    std::string m_strDeviceName;
    std::string m_strVersion;
    SPCIInfo m_sPCIInfo;
    eDeviceType m_eDeviceType;
    eDependencyType m_eDependencyType;
    std::string m_strDependencyContext;
    std::vector<std::string> m_vecDependencyPlatforms;
    std::vector<SPCIInfo> m_vecParentPCIInfo;
    std::vector<SOSInfo> m_vecDependencyOS;
    std::vector<CDeviceApplicationInfo*> m_vecApplicationInfo;
    int32_t m_nMessageID;
    int32_t m_nStatus;
    std::string m_strErrorMsg;
    int32_t m_nUpdateStatus;
    std::string m_strDisplay;
    std::string m_strDetail;
    std::string m_strFilePath;
    std::string m_strCurrentVersion;
    std::string m_strEnumId;
    bool m_bRebootRequired;
    bool m_bColdPowerCycleRequired;
    _BDFInfo m_sBDFInfo;
    std::string m_strDeviceIdentifier;
    uint32_t m_nDeviceUpdateID;
    uint16_t m_nDeviceSpecificID;
    int32_t m_nBus;
    int32_t m_nDeviceBus;
    int32_t m_nDeviceBusFunction;
    void* m_pDeviceHandle;
    std::string m_strFQDDInfo;
    KTRCSystemInfo m_sSystemInfo;
};

// Base address of the vendor's download site that getFilePath puts in front
// of a record's relative path.
extern const std::string strDownloadSiteBaseAddress;
