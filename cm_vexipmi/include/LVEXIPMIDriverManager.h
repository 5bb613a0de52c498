#pragma once

#include "ChangeJournal.h"
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
    // `probe` is not owned; nullptr uses the process-wide OS probe. Each
    // module is noted in `journal` before it is loaded.
    explicit DriverManager(
        std::shared_ptr<IVEXIPMISys> sys = std::make_shared<RealVEXIPMISys>(),
        IVEXOSProbe* probe = nullptr,
        std::shared_ptr<IChangeJournal> journal = std::make_shared<RealChangeJournal>());
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
    std::shared_ptr<IVEXIPMISys> m_pSys;
    IVEXIPMISys& m_Sys;
    std::shared_ptr<IChangeJournal> m_journal;
    bool m_bDevintfLoaded = false;
    bool m_bMsghandlerLoaded = false;
    bool m_bSiLoaded = false;
    bool m_bConfirmed = false;
    bool m_bLoadedByUs = false;
    VEXEnvironmentInfo m_EnvironmentInfo;
};
