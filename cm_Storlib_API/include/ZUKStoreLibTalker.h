#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "StoreLibRecords.h"
#include "VEXShellRunner.h"

// Everything the talker asks of the operating system: the dynamic loader, the
// shell, two file probes and the identity calls behind the OS-type check.
class IStoreLibSystem : public IVEXShellRunner
{
public:
    virtual ~IStoreLibSystem() = default;
    // Opens a shared object with lazy binding; null when it cannot be loaded.
    virtual void* OpenLibrary(const std::string& file) = 0;
    // Why the last OpenLibrary gave null, beginning with the file's name
    // ("./libstorelibit.so: the file is missing").
    virtual std::string LastLoadError() = 0;
    virtual void* FindSymbol(void* handle, const std::string& name) = 0;
    virtual void CloseLibrary(void* handle) = 0;
    virtual bool FileExists(const std::string& path) = 0;
    // setuid(0); false when it fails.
    virtual bool SetUidRoot() = 0;
    // uname's system name; false when uname fails.
    virtual bool GetSystemName(std::string& sysname) = 0;
    // First line of a text file, at most 1023 bytes; false when unreadable.
    virtual bool ReadFirstLine(const std::string& path, std::string& line) = 0;
    // Where a file the package ships ("./doRPM.sh", "ESX/libstorelibit.so")
    // is found: in the executable's folder, never the working directory.
    virtual std::string PackagePath(const std::string& relative) = 0;
    // Runs a script the package ships (PackagePath("./doRPM.sh")) in the
    // package folder with its output discarded; the shell's raw status, -1
    // when it was not run. A script that may not be trusted to run as root is
    // not run (after saying why); when the package's files are checked against
    // package.jcat, what runs is a sealed copy of the bytes that passed.
    virtual int RunPackageScript(const std::string& script) = 0;
};

// The real calls, as the program makes them.
class RealStoreLibSystem : public IStoreLibSystem
{
public:
    void* OpenLibrary(const std::string& file) override;
    std::string LastLoadError() override { return m_lastLoadError; }
    void* FindSymbol(void* handle, const std::string& name) override;
    void CloseLibrary(void* handle) override;
    int RunShell(const std::string& command) override;
    bool FileExists(const std::string& path) override;
    bool SetUidRoot() override;
    bool GetSystemName(std::string& sysname) override;
    bool ReadFirstLine(const std::string& path, std::string& line) override;
    std::string PackagePath(const std::string& relative) override;
    int RunPackageScript(const std::string& script) override;

private:
    std::string m_lastLoadError;
};

namespace storelib
{
// The shell command that runs a package script in its folder, output
// discarded: "./doRPM.sh > /dev/null 2>&1" in the package folder, with a "cd"
// to it first from elsewhere. `program` is what to start there; empty: the
// script itself.
std::string PackageScriptCommand(const std::string& script, const std::string& program = "");
} // namespace storelib

// A loaded shared object, closed when the holder goes away.
class CStoreLibHandle
{
public:
    CStoreLibHandle() = default;
    CStoreLibHandle(IStoreLibSystem* system, void* handle) : m_pSystem(system), m_pHandle(handle) {}
    ~CStoreLibHandle() { reset(); }
    CStoreLibHandle(const CStoreLibHandle&) = delete;
    CStoreLibHandle& operator=(const CStoreLibHandle&) = delete;
    CStoreLibHandle(CStoreLibHandle&& other) noexcept { *this = std::move(other); }
    CStoreLibHandle& operator=(CStoreLibHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_pSystem = other.m_pSystem;
            m_pHandle = other.m_pHandle;
            other.m_pHandle = nullptr;
        }
        return *this;
    }

    void* get() const { return m_pHandle; }
    explicit operator bool() const { return m_pHandle != nullptr; }
    void reset()
    {
        if (m_pHandle != nullptr && m_pSystem != nullptr) {
            m_pSystem->CloseLibrary(m_pHandle);
        }
        m_pHandle = nullptr;
    }

private:
    IStoreLibSystem* m_pSystem = nullptr;
    void* m_pHandle = nullptr;
};

// Entry point of one storage-library variant.
typedef uint32_t (*StoreLibEntryPoint)(void* pCmdParam);

// One SCSI command sent through the library's pass-through record.
struct SScsiRequest {
    uint16_t deviceId = 0;
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t direction = CPassThruRecord::kDirFromDevice;
    // Copied into the record before it is sent (may be null).
    const uint8_t* dataOut = nullptr;
    // Receives the record's data after it came back (may be null).
    uint8_t* dataIn = nullptr;
    uint32_t dataLength = 0;
    // Bytes after the data: the generic pass-through sends one, the firmware
    // download none.
    size_t spareBytes = 1;
};

// What the device answered, once the library delivered the command.
struct SScsiReply {
    bool recordBuilt = false;
    uint8_t status = 0;
    uint8_t sense[CPassThruRecord::kSenseSize] = {};
};

// Owns the relationship with the storage library: picks the variant from the
// controller ID, loads it on first use, sends commands and SCSI pass-through,
// and unloads everything when destroyed.
class ZUKStoreLibTalker
{
public:
    enum eVariant {
        VARIANT_MR = 0,
        VARIANT_IR,
        VARIANT_IR2,
        VARIANT_IR3,
        VARIANT_IT,
        VARIANT_COUNT
    };

    static constexpr int OS_TYPE_UNKNOWN = -1;
    static constexpr int OS_TYPE_ESX3 = 6;
    static constexpr int OS_TYPE_ESX4 = 8;
    static constexpr int OS_TYPE_ESXI = 14;

    explicit ZUKStoreLibTalker(
        std::shared_ptr<IStoreLibSystem> system = std::make_shared<RealStoreLibSystem>());
    ~ZUKStoreLibTalker();
    ZUKStoreLibTalker(const ZUKStoreLibTalker&) = delete;
    ZUKStoreLibTalker& operator=(const ZUKStoreLibTalker&) = delete;

    // Routes a prepared record to its variant, loading the library if needed.
    // The record's controller ID loses its top four bits on the way.
    uint32_t ProcessLibCommand(_SL_LIB_CMD_PARAM_T& record);
    // Builds the record from the values (cmdParam8 may be null) and routes it.
    uint32_t ProcessLibCommand(uint8_t cmdType, uint8_t cmd, uint32_t ctrlId,
                               const uint8_t* cmdParam8, void* data, uint32_t dataSize,
                               uint8_t flashOption);
    // Device commands: the command parameter is the device ID; flash option 255 means none.
    uint32_t doProcessLibCommand(uint8_t cmdType, uint8_t cmd, uint32_t ctrlId, uint16_t deviceId,
                                 void* data, uint32_t dataSize, uint8_t flashOption);

    uint32_t InitializeLibrary(_SL_CTRL_LIST_T& list);
    int ExitLibrary();

    // The one way a SCSI command reaches a device, in either direction: 0 when
    // the library delivered it (the device's status and sense in reply), else
    // the library's result, or 3 when the record cannot be built (and
    // reply.recordBuilt stays false). Says nothing in the log.
    uint32_t PassThrough(uint32_t ctrlId, const SScsiRequest& request, SScsiReply& reply);

    // PassThrough for the queries, with their log lines: 0 on success, else
    // the library's result, the SCSI status, or 3 when the record cannot be
    // built.
    uint32_t SCSIPassThrough(uint32_t ctrlId, uint16_t deviceId, const uint8_t* cdb,
                             uint8_t cdbLength, uint8_t* data, uint32_t dataLength,
                             uint8_t direction);

    void setDowngrade(bool downgrade) { m_bDowngrade = downgrade; }
    bool getDowngrade() const { return m_bDowngrade; }

    int getOSType() const { return m_nOSType; }
    bool getNeedRemoveUtilsRpm() const { return m_NeedRemoveUtilsRpm; }

    static eVariant VariantOf(uint32_t ctrlId);

    // Why the last attempt to load a library failed, naming every file tried
    // and the reason for each; empty once one was loaded, or before any
    // attempt.
    const std::string& LoadFailure() const { return m_LoadFailure; }
    // The file the last library was loaded from ("./libstorelibit.so").
    const std::string& LoadedLibrary() const { return m_LoadedLibrary; }
    // The package's library that failed its check against package.jcat in
    // this process ("libstorelibit.so"), and why; both empty when none did.
    static std::pair<std::string, std::string> LibraryRefusal();

private:
    void determineOSType();
    bool isESX() const { return m_nOSType == OS_TYPE_ESX4 || m_nOSType == OS_TYPE_ESXI; }
    bool installStorelibLibUtils();
    uint32_t loadVariant(eVariant variant);
    uint32_t sendExit(eVariant variant);

    // Declared first so that the library handles below are closed before it goes.
    std::shared_ptr<IStoreLibSystem> m_pSystem;

    StoreLibEntryPoint m_pCurrentEntry = nullptr;
    StoreLibEntryPoint m_EntryPoints[VARIANT_COUNT] = {};
    CStoreLibHandle m_Handles[VARIANT_COUNT];
    bool m_bDowngrade = false;
    bool m_NeedRemoveUtilsRpm = false;
    int m_nOSType = OS_TYPE_UNKNOWN;
    std::string m_LoadFailure;
    std::string m_LoadedLibrary;
};
