#pragma once

#include "VEXEnvironmentInfo.h"
#include "VEXIPMISys.h"
#include "VEXString.h"

class IVEXIPMIDriverManager
{
public:
    // 0 when the IPMI kernel drivers are usable.
    virtual int IsIPMIDriverAvailable() = 0;
    // Unloads what this object loaded; 0.
    virtual int ReleaseIPMIDriver() = 0;
    virtual ~IVEXIPMIDriverManager() = default;
};

// Makes sure the kernel modules ipmi_msghandler, ipmi_devintf and ipmi_si are
// loaded, and unloads on destruction the ones it loaded itself. Skipped on
// ESX and ESXi.
class DriverManager : public IVEXIPMIDriverManager
{
public:
    // Neither is owned; nullptr uses the process-wide seam and OS probe.
    explicit DriverManager(IVEXIPMISys* sys = nullptr, IVEXOSProbe* probe = nullptr);
    ~DriverManager() override;
    DriverManager(const DriverManager&) = delete;
    DriverManager& operator=(const DriverManager&) = delete;

    int IsIPMIDriverAvailable() override;
    int ReleaseIPMIDriver() override;
    // 1 only when no module was present and every load failed, else 0.
    int LoadIPMIDriver();
    // Raw shell statuses of modprobe, lsmod | grep, rmmod.
    int LoadDriver(const VEXString& name);
    int IsDriverAvailable(const VEXString& name);
    int ReleaseDriver(const VEXString& name);

private:
    IVEXIPMISys& m_Sys;
    bool m_bDevintfLoaded = false;
    bool m_bMsghandlerLoaded = false;
    bool m_bSiLoaded = false;
    bool m_bConfirmed = false;
    bool m_bLoadedByUs = false;
    VEXEnvironmentInfo m_EnvironmentInfo;
};
