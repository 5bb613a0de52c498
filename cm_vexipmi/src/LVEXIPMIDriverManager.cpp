#include "LVEXIPMIDriverManager.h"

#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/LVEXIPMIDriverManager";

namespace
{

const char kListModules[] = "lsmod ";
const char kPipe[] = " | ";
const char kFilter[] = "grep ";
const char kLoad[] = "modprobe ";
const char kUnload[] = "rmmod ";
const char kDiscardOutput[] = " > /dev/null 2>&1 ";

const char kMsgHandler[] = "ipmi_msghandler";
const char kDevIntf[] = "ipmi_devintf";
const char kSi[] = "ipmi_si";

bool IsESX(uint32_t osName)
{
    return osName == eVEXOSVMwareESX || osName == eVEXOSVMwareESXi;
}

} // namespace

DriverManager::DriverManager(std::shared_ptr<IVEXIPMISys> sys, IVEXOSProbe* probe,
                             std::shared_ptr<IChangeJournal> journal)
    : m_pSys(std::move(sys)), m_Sys(*m_pSys), m_journal(std::move(journal)),
      m_EnvironmentInfo(probe)
{
}

DriverManager::~DriverManager()
{
    DriverManager::ReleaseIPMIDriver();
}

int DriverManager::IsIPMIDriverAvailable()
{
    VEXIPMI_LOG(eVEXLogInfo, "Entering DriverManager::IsIPMIDriverAvailable()");
    if (m_bConfirmed) {
        return 0;
    }
    m_EnvironmentInfo.Initialize();
    if (IsESX(m_EnvironmentInfo.GetOSName())) {
        VEXIPMI_LOG(eVEXLogInfo,
                    "Detected the system as ESX and hence blacklisting the checks for loading the "
                    "driver on Linux Operating System");
        return 0;
    }
    const struct {
        const char* name;
        bool* loaded;
    } modules[] = {
        {kMsgHandler, &m_bMsghandlerLoaded},
        {kDevIntf, &m_bDevintfLoaded},
        {kSi, &m_bSiLoaded},
    };
    for (const auto& module : modules) {
        if (IsDriverAvailable(VEXString(module.name)) == 0) {
            *module.loaded = true;
            VEXIPMI_LOG(eVEXLogInfo, "Driver %s is loaded", module.name);
        }
    }
    if (m_bMsghandlerLoaded && m_bDevintfLoaded && m_bSiLoaded) {
        m_bConfirmed = true;
        return 0;
    }
    const int result = LoadIPMIDriver();
    if (result == 0) {
        m_bConfirmed = true;
    }
    VEXIPMI_LOG(eVEXLogInfo, "Leaving DriverManager::IsIPMIDriverAvailable()");
    return result;
}

int DriverManager::IsDriverAvailable(const VEXString& name)
{
    const std::string module = name.GetUTF8String();
    VEXIPMI_LOG(eVEXLogInfo, "Entering DriverManager::IsDriverAvailable() %s", module.c_str());
    const std::string command =
        std::string(kListModules) + kPipe + kFilter + module + kDiscardOutput;
    const int status = m_Sys.RunShell(command);
    VEXIPMI_LOG(eVEXLogInfo, "Command %s, Exit code : %d", command.c_str(), status);
    return status;
}

int DriverManager::LoadIPMIDriver()
{
    VEXIPMI_LOG(eVEXLogInfo, "Entering DriverManager::LoadIPMIDriver()");
    m_bLoadedByUs = true;
    // A module found loaded counts as a successful load.
    const int msgHandler = m_bMsghandlerLoaded ? 0 : LoadDriver(VEXString(kMsgHandler));
    const int devIntf = m_bDevintfLoaded ? 0 : LoadDriver(VEXString(kDevIntf));
    const int si = m_bSiLoaded ? 0 : LoadDriver(VEXString(kSi));
    VEXIPMI_LOG(eVEXLogInfo, "Leaving DriverManager::LoadIPMIDriver()");
    return (msgHandler != 0 && devIntf != 0 && si != 0) ? 1 : 0;
}

int DriverManager::LoadDriver(const VEXString& name)
{
    const std::string module = name.GetUTF8String();
    VEXIPMI_LOG(eVEXLogInfo, "Entering DriverManager::LoadDriver() %s ", module.c_str());
    const std::string command = std::string(kLoad) + module + kDiscardOutput;
    m_journal->Note(journalrecord::Module(module));
    const int status = m_Sys.RunShell(command);
    VEXIPMI_LOG(eVEXLogInfo, "Command : %s, exit code : %d", command.c_str(), status);
    return status;
}

int DriverManager::ReleaseIPMIDriver()
{
    VEXIPMI_LOG(eVEXLogInfo, "DriverManager::ReleaseIPMIDriver() Entering");
    if (!m_bLoadedByUs) {
        return 0;
    }
    if (m_EnvironmentInfo.GetOSName() != eVEXOSVMwareESXi) {
        const struct {
            const char* name;
            bool loaded;
        } modules[] = {
            {kSi, m_bSiLoaded},
            {kDevIntf, m_bDevintfLoaded},
            {kMsgHandler, m_bMsghandlerLoaded},
        };
        for (const auto& module : modules) {
            if (!module.loaded) {
                ReleaseDriver(VEXString(module.name));
                VEXIPMI_LOG(eVEXLogInfo, "Unloaded IPMI driver %s since it is already loaded",
                            module.name);
            }
        }
    }
    m_bLoadedByUs = false;
    m_bDevintfLoaded = false;
    m_bMsghandlerLoaded = false;
    m_bSiLoaded = false;
    m_bConfirmed = false;
    VEXIPMI_LOG(eVEXLogInfo, "DriverManager::ReleaseIPMIDriver() Leaving");
    return 0;
}

int DriverManager::ReleaseDriver(const VEXString& name)
{
    const std::string module = name.GetUTF8String();
    VEXIPMI_LOG(eVEXLogInfo, "Entering DriverManager::ReleaseDriver() %s ", module.c_str());
    const std::string command = std::string(kUnload) + module + kDiscardOutput;
    const int status = m_Sys.RunShell(command);
    // One refused (in use) stays listed: it is loaded still.
    if (status == 0) {
        m_journal->Note(journalrecord::ModuleGone(module));
    }
    VEXIPMI_LOG(eVEXLogInfo, "Releasing driver, command : %s, Exit code : %d\n", command.c_str(),
                status);
    VEXIPMI_LOG(eVEXLogInfo, "Leaving DriverManager::ReleaseDriver()");
    return status;
}
