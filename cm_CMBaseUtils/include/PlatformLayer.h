#pragma once

#include <string>
#include <vector>

#include "IPlatformImpl.h"

// The one place the program touches the operating system for directories,
// file tests, listings, shell commands, dynamic libraries and the USB storage
// driver. Static operations forwarding to one IPlatformImpl, a CLinuxImpl
// created on first use and kept for the life of the process.
//
// Seams: the facade is static, so its one seam is installed process-wide with
// SetPlatformSeams; CLinuxImpl itself takes an ISystemCalls (SystemCalls.h)
// through its constructor for the shell, /proc/self/exe, getcwd, uname, sleep
// and the loader.
class CPlatformLayer
{
public:
    CPlatformLayer() = delete;

    static IPlatformImpl* GetPlatform();

    static bool isHYLOInstalled();
    static bool InstallHylo();
    static bool UninstallHylo();
    static void* Load_Library(const std::string& name);
    static void FreeLibrary(void* handle);
    static void* GetProcAddress(void* handle, const std::string& symbol);
    static int ExecuteCmd(const std::string& command, bool bWait = true, const long& lTimeout = 0);
    static int ExecuteCmdNoWait(const std::string& command, bool bWait = false,
                                const long& lTimeout = 0);
    static void Sleep(int seconds);
    static std::string getCurrentDirectory();
    static std::string getCurrentProcessDirectory();
    static bool setCurrentDirectory(const std::string& dir);
    static std::vector<std::string> GetFileList(const std::string& dir);
    static std::vector<std::string> GetFileListName(const std::string& dir);
    static bool IsFileExits(const std::string& name);
    static bool IsFileExistsAbs(const std::string& path);
    static void* LoadHyloLibrary(const std::string& name);
    static bool isUSBblocklisted();
    static void unloadUSB();
    static void* Load_Library_without_Customization(const std::string& name);

    // Creates or empties the debug marker file "zukdebuglog" in the working
    // directory; true when it could be created.
    static bool CreateEmptyZUKDebuLogFile();

    // Routes the facade to impl (not owned) and returns the previous
    // implementation; nullptr brings back the default on next use.
    static IPlatformImpl* SetPlatformSeams(IPlatformImpl* impl);

private:
    static IPlatformImpl* m_pPlatformImpl;
};
