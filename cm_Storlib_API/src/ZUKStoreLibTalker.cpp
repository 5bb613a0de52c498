#include "ZUKStoreLibTalker.h"

#include <cstring>
#include <sstream>

#include "Logger.h"
#include "PackageTrust.h"
#include "ScsiCommands.h"
#include "StringUtils.h"

using namespace storelib;

namespace
{

const char kSrc[] = "cm_Storlib_API/src/ZUKStoreLibTalker";

struct VariantInfo {
    const char* esxFile;
    const char* localFile;
    const char* systemFile;
    const char* entryName;
    const char* initFailedLog; // null: nothing logged
    const char* exitingLog;
    const char* exitErrorLog;
    const char* freeingLog;
};

// Indexed by ZUKStoreLibTalker::eVariant.
const VariantInfo kVariants[ZUKStoreLibTalker::VARIANT_COUNT] = {
    {"ESX/libstorelib.so", "./libstorelib.so", "libstorelib.so.4", "ProcessLibCommand", nullptr,
     "ZUKStoreLibTalker::ExitLibrary: Exiting storelib",
     "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelib lib",
     "ZUKStoreLibTalker::ExitLibrary: Freeing storelib dll"},
    {"ESX/libstorelibir.so", "./libstorelibir.so", "libstorelibir.so.5", "ProcessLibCommandIR",
     "ZUKStoreLibTalker::ProcessLibCommand: Init failed",
     "ZUKStoreLibTalker::ExitLibrary: Exiting storelibir",
     "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelibir lib",
     "ZUKStoreLibTalker::ExitLibrary: Freeing storelibir dll"},
    {"ESX/libstorelibir-2.so", "./libstorelibir-2.so", "libstorelibir-2.so.15",
     "ProcessLibCommandIR2", "ZUKStoreLibTalker::ProcessLibCommand: Init ir gen 2 failed",
     "ZUKStoreLibTalker::ExitLibrary: Exiting storelibir gen 2",
     "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelibir gen 2 lib",
     "ZUKStoreLibTalker::ExitLibrary: Freeing storelibir-2 dll"},
    {"ESX/libstorelibir-3.so", "./libstorelibir-3.so", "libstorelibir-3.so.3",
     "ProcessLibCommandIR3", "ZUKStoreLibTalker::ProcessLibCommand: Init ir gen 3 failed ",
     "ZUKStoreLibTalker::ExitLibrary: Exiting storelibir gen 3",
     "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelibir gen 3 lib",
     "ZUKStoreLibTalker::ExitLibrary: Freeing storelibir-3 dll"},
    {"ESX/libstorelibit.so", "./libstorelibit.so", "libstorelibit.so.07", "ProcessLibCommandIT",
     "ZUKStoreLibTalker::ProcessLibCommand: Init IT failed",
     "ZUKStoreLibTalker::ExitLibrary: Exiting storelibit",
     "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelibit lib",
     "ZUKStoreLibTalker::ExitLibrary: Freeing storelibit dll"},
};

void Log(unsigned int line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, text);
}

// A path as one shell word; plain paths stay as they are.
std::string ShellWord(const std::string& path)
{
    if (path.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+") ==
        std::string::npos) {
        return path;
    }
    std::string quoted = "'";
    for (char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace

// The script runs in the package folder, where it leaves its marker.
std::string storelib::PackageScriptCommand(const std::string& script, const std::string& program)
{
    const size_t slash = script.rfind('/');
    const std::string start = program.empty() ? "./" + script.substr(slash + 1) : program;
    if (script.rfind("./", 0) == 0) {
        return start + " > /dev/null 2>&1";
    }
    return "cd " + ShellWord(script.substr(0, slash + 1)) + " && " + start + " > /dev/null 2>&1";
}

ZUKStoreLibTalker::ZUKStoreLibTalker(std::shared_ptr<IStoreLibSystem> system)
    : m_pSystem(std::move(system))
{
    determineOSType();
}

ZUKStoreLibTalker::~ZUKStoreLibTalker()
{
    ExitLibrary();
}

void ZUKStoreLibTalker::determineOSType()
{
    if (m_nOSType != OS_TYPE_UNKNOWN) {
        return;
    }
    if (!m_pSystem->SetUidRoot()) {
        return;
    }
    std::string sysname;
    if (m_pSystem->GetSystemName(sysname) && CStringUtils::toLowerCase(sysname) == "vmkernel") {
        m_nOSType = OS_TYPE_ESXI;
        return;
    }
    std::string line;
    if (m_pSystem->ReadFirstLine("/etc/vmware-release", line)) {
        if (line.find("VMware ESX Server 3") != std::string::npos) {
            m_nOSType = OS_TYPE_ESX3;
        } else if (line.find("VMware ESX 4") != std::string::npos) {
            m_nOSType = OS_TYPE_ESX4;
        }
    }
}

ZUKStoreLibTalker::eVariant ZUKStoreLibTalker::VariantOf(uint32_t ctrlId)
{
    switch (ctrlId & 0xFF000000u) {
    case 0x01000000u:
        return VARIANT_IR;
    case 0x02000000u:
        return VARIANT_IR2;
    case 0x04000000u:
        return VARIANT_IR3;
    case kCtrlIdIT:
        return VARIANT_IT;
    default:
        return VARIANT_MR;
    }
}

std::pair<std::string, std::string> ZUKStoreLibTalker::LibraryRefusal()
{
    for (const VariantInfo& info : kVariants) {
        for (const char* file : {info.localFile, info.esxFile}) {
            const std::string id = pkgtrust::ItemId(file);
            const std::string why = pkgtrust::RefusalOf(id);
            if (!why.empty()) {
                return std::make_pair(id, why);
            }
        }
    }
    return std::pair<std::string, std::string>();
}

bool ZUKStoreLibTalker::installStorelibLibUtils()
{
    Log(__LINE__, "ZUKStoreLibTalker::installStorelibLibUtils: begin");
    // A script that may not be trusted is not run: as if it were missing.
    m_pSystem->RunPackageScript(m_pSystem->PackagePath("./doRPM.sh"));
    Log(__LINE__, "ZUKStoreLibTalker::installStorelibLibUtils: After doRPM");
    if (m_pSystem->FileExists(m_pSystem->PackagePath("./rpm_rc"))) {
        Log(__LINE__, "ZUKStoreLibTalker::installStorelibLibUtils: RPM NOT already installed, "
                      "Returning true");
        return true;
    }
    Log(__LINE__,
        "ZUKStoreLibTalker::installStorelibLibUtils: RPM already installed, Returning false");
    return false;
}

// Loads the variant's library and stores its entry point; 0 when ready.
uint32_t ZUKStoreLibTalker::loadVariant(eVariant variant)
{
    const VariantInfo& info = kVariants[variant];
    Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand: Loading a StoreLib");

    if (!m_NeedRemoveUtilsRpm) {
        Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand: m_NeedRemoveUtilsRpm is false");
        m_NeedRemoveUtilsRpm = installStorelibLibUtils();
        if (!m_NeedRemoveUtilsRpm) {
            Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand: m_NeedRemoveUtilsRpm is false");
        }
    }

    // Each file tried and why it gave no library, for the one line the user
    // gets when none did.
    std::string failures;
    std::string loaded;
    const auto tryOpen = [&](const std::string& file) -> void* {
        void* opened = m_pSystem->OpenLibrary(file);
        if (opened == nullptr) {
            failures += (failures.empty() ? "" : "; ") + m_pSystem->LastLoadError();
        } else {
            loaded = file;
        }
        return opened;
    };
    void* handle = nullptr;
    if (isESX()) {
        Log(__LINE__, std::string("ZUKStoreLibTalker::ProcessLibCommand: loading ESX library: ") +
                          info.esxFile);
        handle = tryOpen(m_pSystem->PackagePath(info.esxFile));
    } else {
        const std::string packageLibrary = m_pSystem->PackagePath(info.localFile);
        handle = tryOpen(packageLibrary);
        // A package library that failed its check against package.jcat was
        // tampered with or damaged on the way: the package is not to be used
        // through another library standing in for it.
        if (handle == nullptr && pkgtrust::RefusalOf(pkgtrust::ItemId(packageLibrary)).empty()) {
            handle = tryOpen(info.systemFile);
        }
        if (handle == nullptr) {
            Log(__LINE__,
                std::string("ZUKStoreLibTalker::ProcessLibCommand: Unable to Load Library: ") +
                    info.systemFile);
        }
    }
    if (handle == nullptr) {
        if (info.initFailedLog != nullptr) {
            Log(__LINE__, info.initFailedLog);
        }
        m_LoadFailure = failures;
        return storelib::kResultLibraryUnavailable;
    }
    // Replacing the holder closes a library left open by an earlier attempt
    // whose entry point was missing.
    m_Handles[variant] = CStoreLibHandle(m_pSystem.get(), handle);

    void* symbol = m_pSystem->FindSymbol(handle, info.entryName);
    if (symbol == nullptr) {
        Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand: Init Library failed 2");
        m_Handles[variant].reset();
        m_LoadFailure = loaded + ": it has no entry point " + info.entryName;
        return storelib::kResultLibraryUnavailable;
    }
    m_LoadFailure.clear();
    m_LoadedLibrary = loaded;
    m_EntryPoints[variant] = reinterpret_cast<StoreLibEntryPoint>(symbol);
    m_pCurrentEntry = m_EntryPoints[variant];
    return 0;
}

uint32_t ZUKStoreLibTalker::ProcessLibCommand(_SL_LIB_CMD_PARAM_T& record)
{
    const eVariant variant = VariantOf(record.getCtrlId());
    m_pCurrentEntry = m_EntryPoints[variant];
    record.setCtrlId(record.getCtrlId() & 0x0FFFFFFFu);

    if (m_pCurrentEntry != nullptr) {
        return m_pCurrentEntry(record.bytes());
    }

    uint32_t rc = loadVariant(variant);
    if (rc != 0) {
        return rc;
    }

    if (record.getCmd() != 0) {
        _SL_CTRL_LIST_T scratch;
        rc = InitializeLibrary(scratch);
        if (rc != 0) {
            std::ostringstream oss;
            oss << "ZUKStoreLibTalker::ProcessLibCommand: Init Library failed XX rc= " << std::hex
                << rc;
            CLogger::GetInstance()->log(kSrc, __LINE__, oss);
            return rc;
        }
    }
    return m_pCurrentEntry(record.bytes());
}

uint32_t ZUKStoreLibTalker::ProcessLibCommand(uint8_t cmdType, uint8_t cmd, uint32_t ctrlId,
                                              const uint8_t* cmdParam8, void* data,
                                              uint32_t dataSize, uint8_t flashOption)
{
    _SL_LIB_CMD_PARAM_T record;
    record.setCmdType(cmdType);
    record.setCmd(cmd);
    record.setCtrlId(ctrlId);
    record.setDataSize(dataSize);
    record.setDataPtr(data);
    if (cmdParam8 != nullptr) {
        record.setCmdParam(cmdParam8);
    }
    if (cmdType == kCmdTypeLib && cmd == kCmdInitLib) {
        record.setFlags(1);
        Log(__LINE__,
            "ZUKStoreLibTalker::ProcessLibCommand: SL_INIT_LIB Enabling AppsSupportEXTConfig");
    } else if (cmdType == kCmdTypeCtrl && cmd == kCmdFlashCtrlFirmware) {
        Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand:  ST_FLASH_CTRL_FIRMWARE command");
        record.setCmdByte(0, flashOption);
        if (m_bDowngrade) {
            Log(__LINE__, "ZUKStoreLibTalker::ProcessLibCommand:  HBA Downgrade bit is set");
            record.setCmdByte(1, 1);
        }
    } else if (cmdType == kCmdTypeCtrl && cmd == kCmdCtrlWord20) {
        record.setCmdWord(20);
    }
    return ProcessLibCommand(record);
}

uint32_t ZUKStoreLibTalker::doProcessLibCommand(uint8_t cmdType, uint8_t cmd, uint32_t ctrlId,
                                                uint16_t deviceId, void* data, uint32_t dataSize,
                                                uint8_t flashOption)
{
    uint8_t param[_SL_LIB_CMD_PARAM_T::kCmdParamSize] = {};
    storelib::PutLE16(param, deviceId);
    if (flashOption == kFlashOptionNone) {
        flashOption = 0;
    }
    return ProcessLibCommand(cmdType, cmd, ctrlId, param, data, dataSize, flashOption);
}

uint32_t ZUKStoreLibTalker::InitializeLibrary(_SL_CTRL_LIST_T& list)
{
    list.clear();
    _SL_LIB_CMD_PARAM_T record;
    record.setCmdType(kCmdTypeLib);
    record.setCmd(kCmdInitLib);
    record.setFlags(1);
    record.setDataSize(static_cast<uint32_t>(_SL_CTRL_LIST_T::kSize));
    record.setDataPtr(list.bytes());
    Log(__LINE__,
        "ZUKStoreLibTalker::ProcessLibCommand: SL_INIT_LIB Enabling AppsSupportEXTConfig");
    if (m_pCurrentEntry == nullptr) {
        return storelib::kResultLibraryUnavailable;
    }
    return m_pCurrentEntry(record.bytes());
}

uint32_t ZUKStoreLibTalker::sendExit(eVariant variant)
{
    _SL_LIB_CMD_PARAM_T record;
    record.setCmdType(kCmdTypeLib);
    record.setCmd(kCmdExitLib);
    return m_EntryPoints[variant](record.bytes());
}

int ZUKStoreLibTalker::ExitLibrary()
{
    Log(__LINE__, "ZUKStoreLibTalker::ExitLibrary: Exiting libraries");
    for (int v = VARIANT_MR; v < VARIANT_COUNT; ++v) {
        if (m_EntryPoints[v] == nullptr) {
            continue;
        }
        Log(__LINE__, kVariants[v].exitingLog);
        if (sendExit(static_cast<eVariant>(v)) != 0) {
            Log(__LINE__, kVariants[v].exitErrorLog);
        }
    }

    Log(__LINE__, "ZUKStoreLibTalker::ExitLibrary: Freeing dlls");
    for (int v = VARIANT_MR; v < VARIANT_COUNT; ++v) {
        if (m_Handles[v]) {
            Log(__LINE__, kVariants[v].freeingLog);
            m_Handles[v].reset();
        }
        // The code behind these pointers is gone with its library.
        m_EntryPoints[v] = nullptr;
    }
    m_pCurrentEntry = nullptr;

    if (m_NeedRemoveUtilsRpm) {
        Log(__LINE__, "ZUKStoreLibTalker::ExitLibrary: removing utils RPM");
        return m_pSystem->RunShell("rpm -e pelaadm-storelib-sysfs.x86_64 > /dev/null 2>&1");
    }
    Log(__LINE__, "ZUKStoreLibTalker::ExitLibrary: no need to remove utils RPM");
    std::string marker = m_pSystem->PackagePath("./rpm_rc");
    if (marker.rfind("./", 0) == 0) {
        marker.erase(0, 2);
    }
    return m_pSystem->RunShell("rm " + ShellWord(marker) + " > /dev/null 2>&1");
}

uint32_t ZUKStoreLibTalker::PassThrough(uint32_t ctrlId, const SScsiRequest& request,
                                        SScsiReply& reply)
{
    reply = SScsiReply();
    // The data size field is 32 bits wide and must hold the whole record.
    if (request.spareBytes > 1 ||
        request.dataLength > UINT32_MAX - (CPassThruRecord::kHeaderSize + request.spareBytes)) {
        return kResultNoRecord;
    }
    CPassThruRecord record(request.dataLength, request.spareBytes);
    if (!record.valid() ||
        !record.setHeader(request.deviceId, request.direction, request.cdb, request.cdbLength)) {
        return kResultNoRecord;
    }
    reply.recordBuilt = true;
    if (request.dataOut != nullptr && request.dataLength != 0) {
        std::memcpy(record.data(), request.dataOut, request.dataLength);
    }

    const uint32_t rc =
        doProcessLibCommand(kCmdTypePassThru, kCmdScsiPassThru, ctrlId, request.deviceId,
                            record.bytes(), static_cast<uint32_t>(record.size()), kFlashOptionNone);

    if (request.dataIn != nullptr && request.dataLength != 0) {
        std::memcpy(request.dataIn, record.data(), request.dataLength);
    }
    reply.status = record.getScsiStatus();
    std::memcpy(reply.sense, record.sense(), CPassThruRecord::kSenseSize);
    return rc;
}

uint32_t ZUKStoreLibTalker::SCSIPassThrough(uint32_t ctrlId, uint16_t deviceId, const uint8_t* cdb,
                                            uint8_t cdbLength, uint8_t* data, uint32_t dataLength,
                                            uint8_t direction)
{
    SScsiRequest request;
    request.deviceId = deviceId;
    request.cdb = cdb;
    request.cdbLength = cdbLength;
    request.direction = direction;
    if (direction == CPassThruRecord::kDirToDevice || direction == CPassThruRecord::kDirBoth) {
        request.dataOut = data;
    }
    request.dataIn = data;
    request.dataLength = dataLength;
    SScsiReply reply;
    const uint32_t rc = PassThrough(ctrlId, request, reply);
    if (!reply.recordBuilt) {
        return rc;
    }

    std::ostringstream oss;
    if (rc != 0) {
        oss << "ZUKStoreLibTalker::SCSIPassThrough: non-zero retval = " << std::hex << rc;
        CLogger::GetInstance()->log(kSrc, __LINE__, oss);
        return rc;
    }
    Log(__LINE__, "ZUKStoreLibTalker::SCSIPassThrough: GOOD calling ProcessLibCommand");
    if (reply.status != 0) {
        oss << "ZUKStoreLibTalker::SCSIPassThrough: GOOD RC: but non-zero SCSIStatus="
            << static_cast<unsigned>(reply.status);
        CLogger::GetInstance()->log(kSrc, __LINE__, oss);
        Log(__LINE__, "ZUKStoreLibTalker::SCSIPassThrough: SenseData=");
        Log(__LINE__, scsi::SenseBytesText(reply.sense, CPassThruRecord::kSenseSize));
        return reply.status;
    }
    return 0;
}
