#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ChangeJournal.h"
#include "IPlatformImpl.h"
#include "SystemCalls.h"

// The Linux platform implementation. Every call that leaves the process goes
// through an ISystemCalls (the real one by default), so tests can drive it
// without touching the host. Directory listings, file tests and the marker
// file work on the paths the caller gives.
class CLinuxImpl : public IPlatformImpl
{
public:
    // The USB storage module is noted in `journal` before it is loaded.
    explicit CLinuxImpl(
        std::shared_ptr<ISystemCalls> sys = std::make_shared<RealSystemCalls>(),
        std::shared_ptr<IChangeJournal> journal = std::make_shared<RealChangeJournal>());
    ~CLinuxImpl() override = default;

    bool isHYLOInstalled() override;
    bool InstallHylo() override;
    bool UninstallHylo() override;
    void* LoadLibrary(const std::string& name) override;
    void FreeLibrary(void* handle) override;
    void* GetProcAddress(void* handle, const std::string& symbol) override;
    int ExecuteCmd(const std::string& command, bool bWait, const long& lTimeout) override;
    int ExecuteCmdNoWait(const std::string& command, bool bWait, const long& lTimeout) override;
    void Sleep(int seconds) override;
    std::string getCurrentDirectory() override;
    std::string getCurrentProcessDirectory() override;
    bool setCurrentDirectory(const std::string& dir) override;
    std::vector<std::string> GetFileList(const std::string& dir) override;
    std::vector<std::string> GetFileListName(const std::string& dir) override;
    bool IsFileExits(const std::string& name) override;
    bool IsFileExistsAbs(const std::string& path) override;
    void* LoadHyloLibrary(const std::string& name) override;
    bool isUSBblocklisted() override;
    void unloadUSB() override;
    void* LoadLibrarywithoutCustomization(const std::string& name) override;

    // Whether the administration suite's own copy of the hardware-access
    // library is installed.
    bool isPELAHYLOInstalled();
    bool isESXi();
    bool isESX();

    // Process-wide USB storage and library-install state.
    static bool bUSBBlocklistCheckDone;
    static bool bUSBDriverLoadedByZUK;
    static bool bUSBDriverNotLoaded;
    static int nHYLOInstallRefCount;
    static bool bHYLOAlreadyInstalled;

    // Tests only: back to the state at program start.
    static void ResetStateForTesting();

    // Size of the buffers the working and executable directories are read
    // into; longer paths are not supported.
    static constexpr size_t kPathBufferSize = 2048;
    // How often unloadUSB tries rmmod, one second apart.
    static constexpr int kUnloadUSBAttempts = 59;

private:
    std::vector<std::string> listDirectory(const std::string& dir, bool withPrefix);

    std::shared_ptr<ISystemCalls> m_pSys;
    std::shared_ptr<IChangeJournal> m_journal;
};
