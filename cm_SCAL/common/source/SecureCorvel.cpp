#include "SecureCorvel.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "Interruption.h"
#include "Logger.h"
#include "ScalFormat.h"
#include "ScalSeams.h"
#include "SignalHandler.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/SecureCorvel";

bool bCorvelDebugLog = false;
CSafeLogStream LogFile;
const std::string LogFilePath = "SCAL_DBG.log";
int GenerationType = -1;
const std::string dynDriveName = "SECUPD";
const std::string corvelRecoveryBypassCompId = "28897";

const std::string RHatPartDir = "/tmp/";
const std::string CorvelUsbDevNodes = "/dev/seccorupd-";
const std::string ESXi_RESCAN_COMMAND = "esxcli storage filesystem rescan";
const std::string ESXi_LIST_MOUNTED_DEVICES = "ls /vmfs/volumes/ | grep ";
const std::string RedHatRel = "/etc/redhat-release";
const std::string SuseRel = "/etc/SuSE-release";
const std::string ESXRel = "/etc/vmware-release";
const std::string WNXRel = "/VERSION";
const std::string HBQRel = "/VER_INFO";
const std::string NewHBQRel = "/wnx-version";
const std::string ESXiKernel = "VMkernel";
const std::string RHatUdevLibDir = "/etc/udev/rules.d/";
const std::string AltUdevLibDir1 = "/lib/udev/rules.d/";
const std::string AltUdevLibDir2 = "/run/udev/rules.d/";
const std::string UdevRuleFile1 = "98-secupdusb.rules";
const std::string UdevRuleFile2 = "00-secupd-vantor.rules";
const std::string HalDaemonScript = "/etc/init.d/haldaemon";
const std::string HalDaemonName = "haldaemon";

CorvelPartitionInfo corvelPartInfo[kCorvelPartCount];

namespace
{

const uint16_t kSessionTimeout = 1200;
const int kSessionAttempts = 36;
const unsigned kSessionRetryPauseSeconds = 2;
const int kFirstGenerationWithoutCorvel = 6;

struct NamedPartition {
    uint16_t index;
    const char* name;
    uint16_t sizeMB;
    const char* generation;
};

const NamedPartition kNamedPartitions[] = {
    {1, "UEFI", 25, "11G"},
    {2, "Service_Diags", 15, "11G"},
    {3, "ELI", 100, "11G"},
    {4, "Online_Diags", 35, "11G"},
    {5, "WinPE", 200, "11G"},
    {21, "DriverStore", 150, "11G"},
    {22, "FirmwareImages", 160, "11G"},
    {23, "QuillpathLog", 2, "11G"},
};

struct PartitionTableInit {
    PartitionTableInit() { InitCorvelPartInfo(); }
} gPartitionTableInit;

} // namespace

void InitCorvelPartInfo()
{
    for (unsigned i = 0; i < kCorvelPartCount; ++i) {
        CorvelPartitionInfo& entry = corvelPartInfo[i];
        char label[8];
        std::snprintf(label, sizeof(label), "COR%03u", i);
        entry.index = static_cast<uint16_t>(i);
        entry.name = "Reserved";
        entry.sizeMB = 0;
        entry.sizeBytes = 0;
        entry.label = label;
        entry.generation = "N/A";
        entry.slotBits = 0;
        entry.attached = false;
    }
    corvelPartInfo[0].label = dynDriveName;
    for (const NamedPartition& named : kNamedPartitions) {
        CorvelPartitionInfo& entry = corvelPartInfo[named.index];
        entry.name = named.name;
        entry.sizeMB = named.sizeMB;
        entry.sizeBytes = static_cast<uint64_t>(named.sizeMB) * 1024u * 1024u;
        entry.generation = named.generation;
    }
}

void secureCorvel::logCorvelMsg(const char* sourceFile, unsigned line, std::string message)
{
    if (!bCorvelDebugLog) {
        return;
    }
    char stamp[64] = {0};
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof(stamp), "[%Y-%m-%dT%H:%M:%S] ", &local);
    }
    const char* base = sourceFile != nullptr ? sourceFile : "";
    const char* slash = std::strrchr(base, '/');
    if (slash != nullptr) {
        base = slash + 1;
    }
    LogFile << stamp << ": " << base << ":" << line << ": " << message << "\n";
    LogFile.flush();
}

uint16_t secureCorvel::swapBytes(uint16_t value)
{
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}

void secureCorvel::clearSessionState()
{
    m_sessionHandle = 0;
    m_bSessionActive = false;
    m_staticPartMap = 0;
    m_dynPartMap = 0;
}

secureCorvel::secureCorvel(ScalSeams seams) : m_seams(std::move(seams))
{
    try {
        if (!bCorvelDebugLog &&
            DebugLoggingWanted([this](const std::string& path, struct stat& info) {
                return m_seams.host->LStat(path, info);
            })) {
            LogFile.clear();
            LogFile.open(LogFilePath, std::ios::out | std::ios::app);
            bCorvelDebugLog = true;
            logCorvelMsg(kSrc, __LINE__, "Debug message logging started.");
        }

        // Asked before anything is installed so the destructor can put the
        // daemon back the way it found it.
        m_bHalDaemonRunning = IsHalDaemonRunning();

        CSignalHandler signalHandler(m_seams.host);
        signalHandler.setupSignalHandlers();

        if (!secureCorvelInitIPMI()) {
            logCorvelMsg(kSrc, __LINE__, "SCAL Library initialization failed");
            return;
        }
        // Before anything else on the controller: a session a killed run
        // left open would refuse this run's own.
        endSessionsLeftOpen();

        storeErrorInfo(SCAL_SUCCESS);
        getLinuxOSVer();
        if (m_osType == OS_UNKNOWN) {
            logCorvelMsg(kSrc, __LINE__, "Unsupported OS");
        }

        int arbitratorStatus = 1;
        if (m_osType == ESX || m_osType == ESX4 || m_osType == ESX4_1) {
            arbitratorStatus = m_seams.host->RunShell(
                "ps aux | grep -v grep | grep -q vmware-usbarbitrator > /dev/null");
        } else if (m_osType == ESXi) {
            arbitratorStatus =
                m_seams.host->RunShell("ps | grep -i -q vmware-usbarbitrator  > /dev/null");
        }
        if (arbitratorStatus == 0) {
            logCorvelMsg(kSrc, __LINE__, "usbarbitrator serice is running.. please stop it");
            storeErrorInfo(SCAL_USB_ARBITRATOR_RUNNING);
            m_bIPMIReady = false;
            return;
        }

        if (!udevhalInstall()) {
            logCorvelMsg(kSrc, __LINE__, "Udev and Hal Installation failed");
        }
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        m_bIPMIReady = false;
    }
}

bool secureCorvel::secureCorvelInitIPMI()
{
    m_bIPMIReady = false;
    unsigned rc = InitVEXIPMILibrary();
    if (rc == 0) {
        m_bIPMIReady = true;
        m_corvelType = GetCorvelType();
        return true;
    }
    logCorvelMsg(kSrc, __LINE__, "Loading or Intialization of VEX IPMI Library Failed");
    storeErrorInfo(SCAL_IPMI_INIT_FAILED);
    return false;
}

bool secureCorvel::secureCorvelInit()
{
    try {
        m_bIPMIReady = false;
        getLinuxOSVer();
        if (m_osType == OS_UNKNOWN) {
            logCorvelMsg(kSrc, __LINE__, "Unsupported OS");
            return false;
        }

        GenerationType = GetSystemGeneration();
        if (GenerationType >= kFirstGenerationWithoutCorvel) {
            m_bIPMIReady = true;
            logCorvelMsg(kSrc, __LINE__,
                         "INFO - This is >17G server. SecureCorvel IPMI calls are not supported.");
            logCorvelMsg(kSrc, __LINE__, "Exiting secureCorvelInit()");
            return true;
        }

        m_corvelType = GetCorvelType();
        if (m_corvelType == 0) {
            return false;
        }

        if (!IsCorvelEnabled()) {
            logCorvelMsg(kSrc, __LINE__, "Corvel is disabled.");
            storeErrorInfo(SCAL_CORVEL_DISABLED);
            return false;
        }

        for (int attempt = 0;; ++attempt) {
            if (attempt >= kSessionAttempts) {
                m_seams.progress->Finished();
                logCorvelMsg(kSrc, __LINE__, "Begin Corvel Session Failed.");
                return false;
            }
            if (interruption::StopRequested()) {
                logCorvelMsg(kSrc, __LINE__, "Begin Corvel Session stopped by a signal.");
                return false;
            }
            if (attempt > 0) {
                m_seams.progress->Waiting("session open", unsigned(attempt) + 1, kSessionAttempts);
            }
            if (BeginCorvelSessionExtended(kSessionTimeout)) {
                break;
            }
            logCorvelMsg(kSrc, __LINE__,
                         "BeginCORVELSessionExt Session failed trying with BeginCorvelSession");
            if (BeginCorvelSession(kSessionTimeout)) {
                break;
            }
            m_seams.sleeper->SleepSeconds(kSessionRetryPauseSeconds);
        }
        m_seams.progress->Finished();

        logCorvelMsg(kSrc, __LINE__,
                     "Corvel Session Handle(" + scal::HexNoPad(m_sessionHandle & 0xFF) + ", " +
                         scal::HexNoPad(m_sessionHandle >> 8) + ")");

        // The session is open: the destructor ends it.
        if (interruption::StopRequested()) {
            logCorvelMsg(kSrc, __LINE__, "secureCorvelInit stopped by a signal.");
            return false;
        }
        getPartInfo(getPartIndexInfo());
        DetachAll();

        uint16_t dynamicSlots = getDynPartIndexInfo();
        if (dynamicSlots != 0) {
            logCorvelMsg(kSrc, __LINE__, "secureCorvelInit some dynamic paritions exists.");
            deleteDynPartWithName(dynamicSlots, dynDriveName);
        } else {
            logCorvelMsg(kSrc, __LINE__, "secureCorvelInit dynamic parition doesn't exists.");
        }

        m_bIPMIReady = true;
        return true;
    } catch (unsigned char code) {
        storeErrorInfo(code);
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
    }
    m_bIPMIReady = false;
    return false;
}

secureCorvel::~secureCorvel()
{
    // The teardown runs whole, signal or not.
    interruption::Shield shield;
    try {
        if (m_sessionHandle != 0 && !EndCorvelSession()) {
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
        }
        clearSessionState();

        if (ReleaseVEXIPMILibrary() != 0) {
            logCorvelMsg(kSrc, __LINE__, "Release of VEXIPMI Library failed");
        }

        bool uninstalled = udevhalUninstall();
        logCorvelMsg(kSrc, __LINE__, "Udev and Hal udevhalUninstall ");
        if (!uninstalled) {
            logCorvelMsg(kSrc, __LINE__, "Udev and Hal Uninstallation failed");
        }

        m_seams.host->UnloadUSB();
        logCorvelMsg(kSrc, __LINE__,
                     "secureCorvel::~secureCorvel() after delete m_pNotificationThread ");

        if (bCorvelDebugLog) {
            LogFile.close();
            bCorvelDebugLog = false;
        }
    } catch (const std::bad_alloc&) {
        logCorvelMsg(kSrc, __LINE__,
                     "secureCorvel::~secureCorvel() caught bad allocation excepton occured ");
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "secureCorvel::~secureCorvel() caught excepton occured ");
    }
}

int secureCorvel::GetSystemGeneration()
{
    logCorvelMsg(kSrc, __LINE__, "Entering GetSystemGeneration");
    if (GenerationType != -1) {
        logCorvelMsg(kSrc, __LINE__, "GetSystemGeneration : Returning Cached Value:1");
        return GenerationType;
    }

    // Sent as prepared, without clearing: only the NetFn, command and lengths
    // matter to this request.
    PutRequest(IPMIReqBuf, oemrequest::SystemGeneration());
    ProcessIPMIReuestResponseUsingVEXIPMI(&IPMIReqBuf);

    const OEMAnswer answer = AnswerOf(IPMIReqBuf);
    const auto completion = oemanswer::ReadCompletion(answer);
    if (!completion || completion->code != 0) {
        logCorvelMsg(kSrc, __LINE__, "Get System Generation Failed");
        return 0;
    }
    const auto read = oemanswer::ReadSystemGeneration(answer);
    if (!read) {
        logCorvelMsg(kSrc, __LINE__, oemanswer::ShortAnswer(IPMIReqBuf));
        logCorvelMsg(kSrc, __LINE__, "Get System Generation Failed");
        return 0;
    }
    logCorvelMsg(kSrc, __LINE__, "Get System Generation Succesfull");

    const uint8_t generation = read->generation;
    if (generation <= 0x0E) {
        logCorvelMsg(kSrc, __LINE__, "It is a pre 12G system");
        return 0;
    }
    if (generation >= 0x60 && generation <= 0x62) {
        logCorvelMsg(kSrc, __LINE__, "It is a 17G system");
        return 6;
    }
    if (generation >= 0x50 && generation <= 0x52) {
        logCorvelMsg(kSrc, __LINE__, "It is a 16G system");
        return 5;
    }
    if (generation >= 0x40 && generation <= 0x42) {
        logCorvelMsg(kSrc, __LINE__, "It is a 15G system");
        return 4;
    }
    if (generation >= 0x30 && generation <= 0x32) {
        logCorvelMsg(kSrc, __LINE__, "It is a 14G system");
        return 3;
    }
    if (generation > 0x15) {
        logCorvelMsg(kSrc, __LINE__, "13G or 13G Plus System");
        return 2;
    }
    return 1;
}

bool secureCorvel::byPassRecoveryState()
{
    std::string componentId;
    if (!get_comp_id(componentId)) {
        logCorvelMsg(kSrc, __LINE__, "byPassRecoveryState: Could not get Component ID");
        return false;
    }
    logCorvelMsg(kSrc, __LINE__, "byPassRecoveryState: Component ID is " + componentId);
    if (componentId == corvelRecoveryBypassCompId) {
        logCorvelMsg(kSrc, __LINE__,
                     "byPassRecoveryState: Component ID Matched for recovery state bypass.");
        return true;
    }
    logCorvelMsg(kSrc, __LINE__,
                 "byPassRecoveryState: Component ID Didn't match for recovery state bypass.");
    return false;
}
