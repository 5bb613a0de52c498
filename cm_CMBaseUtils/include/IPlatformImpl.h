#pragma once

#include <string>
#include <vector>

// Operating-system services behind the platform facade. The facade forwards
// every call to one object of this interface; tests install their own.
class IPlatformImpl
{
public:
    // Virtual so that a test double can be deleted through the interface.
    virtual ~IPlatformImpl() = default;

    virtual bool isHYLOInstalled() = 0;
    // Reference-counted; returns true only when the hardware-access library is
    // still unavailable afterwards (false means it is there).
    virtual bool InstallHylo() = 0;
    virtual bool UninstallHylo() = 0;
    virtual void* LoadLibrary(const std::string& name) = 0;
    virtual void FreeLibrary(void* handle) = 0;
    virtual void* GetProcAddress(void* handle, const std::string& symbol) = 0;
    // Raw status of system(3). The flag and the number are accepted and have
    // no effect.
    virtual int ExecuteCmd(const std::string& command, bool bWait, const long& lTimeout) = 0;
    virtual int ExecuteCmdNoWait(const std::string& command, bool bWait, const long& lTimeout) = 0;
    virtual void Sleep(int seconds) = 0;
    // Working directory followed by "/"; "/" when it cannot be read.
    virtual std::string getCurrentDirectory() = 0;
    // Directory of the running executable followed by "/"; the working
    // directory when the executable's path cannot be read.
    virtual std::string getCurrentProcessDirectory() = 0;
    virtual bool setCurrentDirectory(const std::string& dir) = 0;
    // dir + "/" + name for every entry but "." and "..", in directory order.
    virtual std::vector<std::string> GetFileList(const std::string& dir) = 0;
    virtual std::vector<std::string> GetFileListName(const std::string& dir) = 0;
    // name is relative to the working directory.
    virtual bool IsFileExits(const std::string& name) = 0;
    virtual bool IsFileExistsAbs(const std::string& path) = 0;
    virtual void* LoadHyloLibrary(const std::string& name) = 0;
    // True when the usb_storage driver is neither built in, nor loaded, nor
    // loadable. Loads the module when it can and remembers doing so.
    virtual bool isUSBblocklisted() = 0;
    // Unloads usb_storage only if isUSBblocklisted loaded it.
    virtual void unloadUSB() = 0;
    virtual void* LoadLibrarywithoutCustomization(const std::string& name) = 0;

protected:
    IPlatformImpl() = default;
    IPlatformImpl(const IPlatformImpl&) = default;
    IPlatformImpl& operator=(const IPlatformImpl&) = default;
};
