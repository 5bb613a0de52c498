// Access layer (SCAL) to the management controller's embedded repository
// (Corvel): start-up and shut-down around one repository session, platform and
// repository identification, partition clean-up, the power-cycle state flag
// and the device rules for the repository's USB device.
//
// Inside an operation a failure is an exception carrying the one-byte error
// code; it is caught at the operation's boundary, stored (getSCALError) and
// turned into a false or zero result. No such exception leaves an operation.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "OEMRequests.h"
#include "SafeLogStream.h"
#include "ScalSeams.h"
#include "VEXIPMICommandData.h"

// Operating-system codes held in m_osType; -1 = not detected yet.
enum OsType {
    OS_UNKNOWN = -1,
    REDHAT = 0,
    SUSE = 1,
    XENSERVER = 4,
    ELI = 5,
    ESX = 6,
    ESX4 = 8,
    ELI_NEW = 9,
    ESX4_1 = 11,
    CENTOS = 12,
    ESXi = 14,
};

// Error codes of the access layer (getSCALError).
enum eSCALError : uint8_t {
    SCAL_SUCCESS = 0,
    SCAL_NO_ACTIVE_SESSION = 2,
    SCAL_INVALID_PARTITION_ID = 3,
    SCAL_BEGIN_SESSION_FAILED = 5,
    SCAL_NO_CORVEL = 20,
    SCAL_DETACH_FAILED = 23,
    SCAL_SESSION_ALREADY_ACTIVE = 29,
    SCAL_END_SESSION_FAILED = 30,
    SCAL_INTERNAL_ERROR = 31,
    SCAL_DELETE_DYN_PARTITION_FAILED = 44,
    SCAL_ACCESS_STATE_FAILED = 45,
    SCAL_IPMI_INIT_FAILED = 46,
    SCAL_SET_STATE_FLAG_FAILED = 49,
    SCAL_NO_COMPONENT_ID = 53,
    SCAL_CORVEL_DISABLED = 55,
    SCAL_USB_ARBITRATOR_RUNNING = 56,
    SCAL_BEGIN_SESSION_FAILED_12G = 63,
};

// One entry of the static partition table.
struct CorvelPartitionInfo {
    uint16_t index = 0;
    std::string name;
    uint16_t sizeMB = 0;
    uint64_t sizeBytes = 0;
    std::string label;
    std::string generation;
    // Slot bit as reported, stored so that writing it low byte first gives
    // the wire order; 0 until reported.
    uint16_t slotBits = 0;
    bool attached = false;
};

const unsigned kCorvelPartCount = 257;
extern CorvelPartitionInfo corvelPartInfo[kCorvelPartCount];
// Rebuilds the table as at program start.
void InitCorvelPartInfo();

// Process-wide state.
extern bool bCorvelDebugLog;
extern CSafeLogStream LogFile;
extern const std::string LogFilePath;  // "SCAL_DBG.log"
extern int GenerationType;             // -1 until first determined
extern const std::string dynDriveName; // "SECUPD"
extern const std::string corvelRecoveryBypassCompId;

// Paths and commands.
extern const std::string RHatPartDir;
extern const std::string CorvelUsbDevNodes;
extern const std::string ESXi_RESCAN_COMMAND;
extern const std::string ESXi_LIST_MOUNTED_DEVICES;
extern const std::string RedHatRel;
extern const std::string SuseRel;
extern const std::string ESXRel;
extern const std::string WNXRel;
extern const std::string HBQRel;
extern const std::string NewHBQRel;
extern const std::string ESXiKernel;
extern const std::string RHatUdevLibDir;
extern const std::string AltUdevLibDir1;
extern const std::string AltUdevLibDir2;
extern const std::string UdevRuleFile1;
extern const std::string UdevRuleFile2;
extern const std::string HalDaemonScript;
// The daemon's name in the crash journal.
extern const std::string HalDaemonName;

// The command that makes udev read its rules again; empty when the host has
// no tool for it.
std::string UdevReloadCommand(IScalHost& host);
// Every rule file the access layer may create, by full path.
std::vector<std::string> RuleFilePaths();
// Starts the HAL daemon (SUSE); false when its script could not be run.
bool StartHalDaemon(IScalHost& host);

// How long a busy dynamic-partition mount is retried (once a second) before
// the unmount gives up, and how many stacked mounts are taken off at most.
const unsigned kMaxBusyUnmountRetries = 60;
const unsigned kMaxStackedUnmounts = 64;

class secureCorvel
{
public:
    // First stage; never throws. Failure is left in getSCALError() and
    // IsIPMIReady().
    explicit secureCorvel(ScalSeams seams = ScalSeams());
    // Shut-down; never throws.
    virtual ~secureCorvel();
    secureCorvel(const secureCorvel&) = delete;
    secureCorvel& operator=(const secureCorvel&) = delete;

    // Second stage: true when ready for session-bound requests or, on a 17G
    // or later server, for the state flag.
    bool secureCorvelInit();
    bool secureCorvelInitIPMI();

    static void logCorvelMsg(const char* sourceFile, unsigned line, std::string message);

    uint8_t getSCALError() const { return m_errorCode; }
    void storeErrorInfo(uint8_t code) { m_errorCode = code; }
    static uint16_t swapBytes(uint16_t value);

    // Platform and repository identification.
    bool getLinuxOSVer();
    int GetSystemGeneration();
    int GetCorvelType();
    bool IsCorvelEnabled();
    bool byPassRecoveryState();
    bool get_comp_id(std::string& componentId);

    // Sessions and partitions.
    bool BeginCorvelSession(uint16_t timeout);
    bool BeginCorvelSessionExtended(uint16_t timeout);
    bool EndCorvelSession();
    uint16_t getPartIndexInfo();
    uint16_t getDynPartIndexInfo();
    bool getPartInfo(uint16_t staticBitmap);
    uint16_t getPartIndex(const std::string& name);
    bool DetachAll();
    bool DetachPartition(uint16_t staticSlots, uint16_t dynSlots, uint16_t partitionId,
                         bool verbose);
    bool deleteDynPartWithName(uint16_t& dynBitmap, const std::string& name);
    bool DeleteDropBox(uint16_t slots);
    bool unmountStatPartition(const std::string& label);
    bool unmountDynPartition();
    void CleanMountedPartition();
    void ESX_RemoveEntries(uint16_t staticSlots, uint16_t dynSlots, uint16_t partitionId);

    // Power-cycle staging: 0 when registered, -1 when not.
    int regPowerCycle();
    uint8_t setStateFlag(uint8_t flag);

    // Device rules and hardware daemon.
    bool udevhalInstall();
    bool udevhalUninstall();
    bool RestartUdevRules();
    bool CopyFile(const std::string& source, const std::string& destinationDirectory);
    bool IsHalDaemonRunning();

    // OEM command layer, session-bound part.
    unsigned IPMIRequest(uint8_t subCommand, _VEXIPMICommandData* record, unsigned requestLength,
                         unsigned responseLength);
    // A built repository request through IPMIReqBuf (cleared first), as
    // IPMIRequest sends it.
    unsigned SendCorvelRequest(const OEMRequest& request);
    bool IsSessionActive();
    bool PollCorvelCmdComplete(int maxPolls, uint8_t subCommand);

    // State, for the owner and for tests.
    uint16_t GetSessionHandle() const { return m_sessionHandle; }
    bool IsSessionOpen() const { return m_bSessionActive; }
    uint16_t GetStaticPartMap() const { return m_staticPartMap; }
    uint16_t GetDynPartMap() const { return m_dynPartMap; }
    uint8_t GetAccessState() const { return m_accessState; }
    int GetCorvelTypeValue() const { return m_corvelType; }
    int GetOsType() const { return m_osType; }
    bool IsHalDaemonWasRunning() const { return m_bHalDaemonRunning; }
    bool IsIPMIReady() const { return m_bIPMIReady; }

protected:
    void clearSessionState();
    // GetPartitionInfo for one slot of the static or the dynamic table: false
    // when the request failed, otherwise the partition's name.
    bool readPartitionName(bool dynamicTable, unsigned slot, std::string& name);
    // Unlinks the rule files this run installed in the directory.
    void removeInstalledRules(const std::string& directory);
    // Ends the repository sessions that interrupted runs left open, as their
    // journals list them.
    void endSessionsLeftOpen();
    void noteSessionOpened();

    ScalSeams m_seams;
    uint16_t m_sessionHandle = 0;
    bool m_bSessionActive = false;
    uint16_t m_staticPartMap = 0;
    uint16_t m_dynPartMap = 0;
    uint8_t m_errorCode = 0;
    uint8_t m_accessState = 0;
    int m_corvelType = 4;
    int m_osType = OS_UNKNOWN;
    bool m_bHalDaemonRunning = false;
    bool m_bIPMIReady = false;
    // Rule files this run created, to be removed at uninstall.
    std::vector<std::string> m_installedRules;
};
