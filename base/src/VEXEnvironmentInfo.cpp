#include "VEXEnvironmentInfo.h"

#include <cstdio>
#include <fstream>
#include <strings.h>
#include <sys/utsname.h>

namespace
{

class HostOSProbe : public IVEXOSProbe
{
public:
    bool ReadFirstLine(const std::string& path, std::string& line) override
    {
        std::ifstream in(path);
        if (!in) {
            return false;
        }
        line.clear();
        std::getline(in, line);
        return !in.bad();
    }
    bool KernelName(std::string& sysname) override { return VEXKernelName(sysname); }
};

HostOSProbe gHostProbe;
IVEXOSProbe* gProbe = &gHostProbe;

const char kVMwareRelease[] = "/etc/vmware-release";

} // namespace

bool VEXKernelName(std::string& sysname)
{
    struct utsname names = {};
    if (uname(&names) != 0) {
        return false;
    }
    sysname = names.sysname;
    return true;
}

void VEXLXOperatingSystemVersion::SetOSProbe(IVEXOSProbe* probe)
{
    gProbe = probe != nullptr ? probe : &gHostProbe;
}

IVEXOSProbe& VEXLXOperatingSystemVersion::GetOSProbe()
{
    return *gProbe;
}

VEXLXOperatingSystemVersion::VEXLXOperatingSystemVersion(IVEXOSProbe* probe) : m_Probe(probe) {}

bool VEXLXOperatingSystemVersion::Initialize()
{
    IVEXOSProbe& probe = m_Probe != nullptr ? *m_Probe : GetOSProbe();
    std::string line;
    if (probe.ReadFirstLine(kVMwareRelease, line) && line.find("VMware ESX") != std::string::npos) {
        m_OSName = eVEXOSVMwareESX;
    }
    std::string sysname;
    if (probe.KernelName(sysname) && strcasecmp(sysname.c_str(), "VMkernel") == 0) {
        m_OSName = eVEXOSVMwareESXi;
    }
    return true;
}

VEXString VEXLXOperatingSystemVersion::GetVersion() const
{
    char numbers[64];
    std::snprintf(numbers, sizeof(numbers), "%u.%u.%u.%u-", m_MajorVersion, m_MinorVersion,
                  m_ThirdVersion, m_FourthVersion);
    return VEXString(numbers) + m_VersionSuffix;
}

VEXString VEXLXOperatingSystemVersion::GetVendorVersion()
{
    m_VendorVersion = VEXString("6.5");
    return m_VendorVersion;
}

void VEXLXOperatingSystemVersion::SetVersionNumbers(uint32_t major, uint32_t minor, uint32_t third,
                                                    uint32_t fourth)
{
    m_MajorVersion = major;
    m_MinorVersion = minor;
    m_ThirdVersion = third;
    m_FourthVersion = fourth;
}

bool VEXEnvironmentInfo::Initialize()
{
    if (m_OSVersion) {
        return true;
    }
    auto version = std::make_unique<VEXLXOperatingSystemVersion>(m_Probe);
    version->Initialize();
    m_OSVersion = std::move(version);
    return true;
}

uint32_t VEXEnvironmentInfo::GetOSName() const
{
    return m_OSVersion ? m_OSVersion->GetOSName() : 0;
}

uint32_t VEXEnvironmentInfo::GetOSArch() const
{
    return m_OSVersion ? m_OSVersion->GetOSArch() : 0;
}

uint32_t VEXEnvironmentInfo::GetOSType() const
{
    return m_OSVersion ? m_OSVersion->GetOSType() : 0;
}

uint32_t VEXEnvironmentInfo::GetOSVendorName() const
{
    return m_OSVersion ? m_OSVersion->GetOSVendorName() : 0;
}
