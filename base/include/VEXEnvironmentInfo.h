#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "VEXString.h"

// OS name codes this library sets; 0 means neither was detected.
enum VEXOSNameCode : uint32_t {
    eVEXOSUnknown = 0,
    eVEXOSVMwareESX = 18,
    eVEXOSVMwareESXi = 19,
};

// uname(2)'s system name ("Linux", "VMkernel"); false when the call fails.
// The one place the program asks the kernel its name; the seams that need it
// pass through to this.
bool VEXKernelName(std::string& sysname);

// What the operating-system probe asks of the host.
class IVEXOSProbe
{
public:
    virtual ~IVEXOSProbe() = default;
    // First line of the file without its newline; false when the file is
    // missing or unreadable.
    virtual bool ReadFirstLine(const std::string& path, std::string& line) = 0;
    // uname(2) system name; false when the call fails.
    virtual bool KernelName(std::string& sysname) = 0;
};

class VEXOperatingSystemVersion
{
public:
    VEXOperatingSystemVersion() = default;
    virtual ~VEXOperatingSystemVersion() = default;
    virtual VEXString GetVersion() const { return m_Version; }
    virtual bool Initialize() { return true; }

    uint32_t GetOSName() const { return m_OSName; }
    uint32_t GetOSArch() const { return m_OSArch; }
    uint32_t GetOSType() const { return m_OSType; }
    uint32_t GetOSVendorName() const { return m_OSVendorName; }

protected:
    uint32_t m_OSName = 0;
    uint32_t m_OSArch = 0;
    uint32_t m_OSType = 0;
    uint32_t m_OSVendorName = 0;
    VEXString m_Version;
};

class VEXLXOperatingSystemVersion : public VEXOperatingSystemVersion
{
public:
    // `probe` is not owned; nullptr uses the process-wide probe.
    explicit VEXLXOperatingSystemVersion(IVEXOSProbe* probe = nullptr);

    // "major.minor.third.fourth-suffix" ("0.0.0.0-" unless set).
    VEXString GetVersion() const override;
    // ESX from "/etc/vmware-release", ESXi from a "VMkernel" kernel name (any
    // case; wins over the release file). Always true.
    bool Initialize() override;

    // Stores and returns "6.5".
    VEXString GetVendorVersion();
    void SetVersionNumbers(uint32_t major, uint32_t minor, uint32_t third, uint32_t fourth);
    void SetVersionSuffix(const VEXString& suffix) { m_VersionSuffix = suffix; }

    // Process-wide probe; nullptr restores the real host. Not owned.
    static void SetOSProbe(IVEXOSProbe* probe);
    static IVEXOSProbe& GetOSProbe();

private:
    IVEXOSProbe* m_Probe;
    uint32_t m_MajorVersion = 0;
    uint32_t m_MinorVersion = 0;
    uint32_t m_ThirdVersion = 0;
    uint32_t m_FourthVersion = 0;
    VEXString m_VersionSuffix;
    VEXString m_VendorVersion;
};

class VEXEnvironmentInfo
{
public:
    // `probe` is not owned; nullptr uses the process-wide probe.
    explicit VEXEnvironmentInfo(IVEXOSProbe* probe = nullptr) : m_Probe(probe) {}
    virtual ~VEXEnvironmentInfo() = default;
    VEXEnvironmentInfo(const VEXEnvironmentInfo&) = delete;
    VEXEnvironmentInfo& operator=(const VEXEnvironmentInfo&) = delete;

    // Probes once; later calls do nothing. Returns true.
    bool Initialize();
    // The codes read 0 before Initialize.
    uint32_t GetOSName() const;
    uint32_t GetOSArch() const;
    uint32_t GetOSType() const;
    uint32_t GetOSVendorName() const;
    // Null before Initialize.
    const VEXOperatingSystemVersion* GetOSVersion() const { return m_OSVersion.get(); }

private:
    IVEXOSProbe* m_Probe;
    std::unique_ptr<VEXOperatingSystemVersion> m_OSVersion;
};
