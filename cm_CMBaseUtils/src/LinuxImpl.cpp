#include "LinuxImpl.h"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>

#include <cstring>
#include <memory>

#include "Logger.h"
#include "StringUtils.h"

namespace
{

const char kSrc[] = "cm_CMBaseUtils/src/LinuxImpl";

const char kSelfExeLink[] = "/proc/self/exe";
const char kVmwareReleaseFile[] = "/etc/vmware-release";
const size_t kReleaseLineSize = 1024;

const char kHyloLibDir[] = "/opt/vantor/zuk64/lib/";
const char kHyloLibDirESXi[] = "/scratch/opt/vantor/zuk/lib/";
// Where the administration suite installs its own copy of the library.
const char kPelaHyloLibDir[] = "/opt/vantor/pelaadm/lib/";
const char kHyloLibName[] = "librkipm.so";
const char kHyloLib64Name[] = "librkipm64.so";
const char kHyloInstallScript[] = "/zukmarloinstall.sh";

const char kCmdUSBBuiltIn[] =
    "grep -i \"usb[-_]storage.ko\" /lib/modules/$(uname -r)/modules.builtin  > /dev/null 2>&1";
const char kCmdUSBLoaded[] = "lsmod | grep usb_storage  > /dev/null 2>&1";
const char kUSBModule[] = "usb_storage";
const char kCmdUSBLoad[] = "modprobe usb_storage  > /dev/null 2>&1";
const char kCmdUSBUnload[] = "rmmod usb_storage  > /dev/null 2>&1";

// Result of the first, acting InstallHylo, handed to the nested calls.
bool s_bHyloUnavailable = false;

void debug(unsigned int line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, text);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

} // namespace

bool CLinuxImpl::bUSBBlocklistCheckDone = false;
bool CLinuxImpl::bUSBDriverLoadedByZUK = false;
bool CLinuxImpl::bUSBDriverNotLoaded = false;
int CLinuxImpl::nHYLOInstallRefCount = 0;
bool CLinuxImpl::bHYLOAlreadyInstalled = false;

CLinuxImpl::CLinuxImpl(std::shared_ptr<ISystemCalls> sys, std::shared_ptr<IChangeJournal> journal)
    : m_pSys(std::move(sys)), m_journal(std::move(journal))
{
}

void CLinuxImpl::ResetStateForTesting()
{
    bUSBBlocklistCheckDone = false;
    bUSBDriverLoadedByZUK = false;
    bUSBDriverNotLoaded = false;
    nHYLOInstallRefCount = 0;
    bHYLOAlreadyInstalled = false;
    s_bHyloUnavailable = false;
}

// ---- directories and files ------------------------------------------------

std::string CLinuxImpl::getCurrentDirectory()
{
    char buf[kPathBufferSize] = {0};
    if (m_pSys->GetCwd(buf, sizeof(buf)) == nullptr) {
        return "/";
    }
    // Bounded even if the call filled the whole buffer without a terminator.
    return std::string(buf, strnlen(buf, sizeof(buf))) + "/";
}

std::string CLinuxImpl::getCurrentProcessDirectory()
{
    char buf[kPathBufferSize] = {0};
    // One byte short of the buffer: a link that fills what we offered may have
    // been cut, and a cut path names the wrong directory.
    const size_t offered = sizeof(buf) - 1;
    ssize_t len = m_pSys->ReadLink(kSelfExeLink, buf, offered);
    if (len > 0 && static_cast<size_t>(len) < offered) {
        std::string path(buf, static_cast<size_t>(len));
        size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            return path.substr(0, slash) + "/";
        }
    }
    debug(__LINE__, "CLinuxImpl::getCurrentProcessDirectory() failed via readlink");
    return getCurrentDirectory();
}

bool CLinuxImpl::setCurrentDirectory(const std::string& dir)
{
    if (m_pSys->ChDir(dir.c_str()) != 0) {
        debug(__LINE__, "CLinuxImpl::setCurrentDirectory() failed for " + dir);
        return false;
    }
    return true;
}

std::vector<std::string> CLinuxImpl::listDirectory(const std::string& dir, bool withPrefix)
{
    std::vector<std::string> entries;
    // An empty name means the working directory; its entries then read
    // "./name", never "/name", which would point at the root.
    const std::string path = dir.empty() ? std::string(".") : dir;
    std::unique_ptr<DIR, DirCloser> handle(opendir(path.c_str()));
    if (!handle) {
        debug(__LINE__, "CLinuxImpl::GetFileList() cannot open directory " + path);
        return entries;
    }
    while (struct dirent* entry = readdir(handle.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        entries.push_back(withPrefix ? path + "/" + name : std::string(name));
    }
    return entries;
}

std::vector<std::string> CLinuxImpl::GetFileList(const std::string& dir)
{
    return listDirectory(dir, true);
}

std::vector<std::string> CLinuxImpl::GetFileListName(const std::string& dir)
{
    return listDirectory(dir, false);
}

bool CLinuxImpl::IsFileExistsAbs(const std::string& path)
{
    bool exists = m_pSys->CanOpenForReading(path);
    debug(__LINE__, "CLinuxImpl::IsFileExistsAbs() File name " + path +
                        (exists ? " exist" : " doesnt exist"));
    return exists;
}

bool CLinuxImpl::IsFileExits(const std::string& name)
{
    return IsFileExistsAbs(getCurrentDirectory() + name);
}

// ---- shell and timing -----------------------------------------------------

int CLinuxImpl::ExecuteCmd(const std::string& command, bool, const long&)
{
    return m_pSys->RunShell(command);
}

int CLinuxImpl::ExecuteCmdNoWait(const std::string& command, bool, const long&)
{
    return m_pSys->RunShell(command + " &");
}

void CLinuxImpl::Sleep(int seconds)
{
    // A negative count would turn into a wait of decades as unsigned.
    if (seconds > 0) {
        m_pSys->SleepSeconds(static_cast<unsigned int>(seconds));
    }
}

// ---- dynamic libraries ----------------------------------------------------

void* CLinuxImpl::LoadLibrary(const std::string& name)
{
    // The loader reads an empty name as the program itself.
    if (name.empty()) {
        return nullptr;
    }
    if (name.find('/') != std::string::npos && !IsFileExistsAbs(name)) {
        return nullptr;
    }
    void* handle = m_pSys->DlOpen(name.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        debug(__LINE__, "CLinuxImpl::LoadLibrary() cannot load " + name);
    }
    return handle;
}

void* CLinuxImpl::LoadLibrarywithoutCustomization(const std::string& name)
{
    return LoadLibrary(name);
}

void CLinuxImpl::FreeLibrary(void* handle)
{
    if (handle != nullptr) {
        m_pSys->DlClose(handle);
    }
}

void* CLinuxImpl::GetProcAddress(void* handle, const std::string& symbol)
{
    if (handle == nullptr) {
        return nullptr;
    }
    return m_pSys->DlSym(handle, symbol.c_str());
}

// ---- hardware-access library ---------------------------------------------

bool CLinuxImpl::isHYLOInstalled()
{
    const std::string dir = isESXi() ? kHyloLibDirESXi : kHyloLibDir;
    for (const char* lib : {kHyloLibName, kHyloLib64Name}) {
        const std::string path = dir + lib;
        void* handle = LoadLibrary(path);
        if (handle != nullptr) {
            FreeLibrary(handle);
            return true;
        }
        debug(__LINE__, "Load library using " + path + " failed");
    }
    return false;
}

bool CLinuxImpl::isPELAHYLOInstalled()
{
    const std::string dir = kPelaHyloLibDir;
    return IsFileExistsAbs(dir + kHyloLibName) || IsFileExistsAbs(dir + kHyloLib64Name);
}

bool CLinuxImpl::InstallHylo()
{
    if (nHYLOInstallRefCount++ > 0) {
        return s_bHyloUnavailable;
    }
    bHYLOAlreadyInstalled = isHYLOInstalled();
    s_bHyloUnavailable = false;
    if (!bHYLOAlreadyInstalled) {
        const std::string command = getCurrentProcessDirectory() + kHyloInstallScript + " install";
        if (ExecuteCmd(command, true, 0) != 0) {
            debug(__LINE__, "CLinuxImpl::InstallHylo() " + command + " failed");
            s_bHyloUnavailable = !isPELAHYLOInstalled();
        }
    }
    return s_bHyloUnavailable;
}

bool CLinuxImpl::UninstallHylo()
{
    // An unmatched call must not push the count below zero, or the next
    // InstallHylo would be taken for a nested one and do nothing.
    if (nHYLOInstallRefCount <= 0) {
        nHYLOInstallRefCount = 0;
        return true;
    }
    if (--nHYLOInstallRefCount > 0 || bHYLOAlreadyInstalled) {
        return true;
    }
    const std::string command = getCurrentProcessDirectory() + kHyloInstallScript + " uninstall";
    return ExecuteCmd(command, true, 0) == 0;
}

void* CLinuxImpl::LoadHyloLibrary(const std::string& name)
{
    const std::string dir = isESXi() ? kHyloLibDirESXi : kHyloLibDir;
    void* handle = LoadLibrary(dir + name);
    if (handle == nullptr) {
        handle = LoadLibrary(name);
    }
    return handle;
}

// ---- ESX detection --------------------------------------------------------

bool CLinuxImpl::isESXi()
{
    std::string sysname;
    return m_pSys->KernelName(sysname) && strcasecmp(sysname.c_str(), "VMkernel") == 0;
}

bool CLinuxImpl::isESX()
{
    char line[kReleaseLineSize] = {0};
    if (!m_pSys->ReadFirstLine(kVmwareReleaseFile, line, sizeof(line))) {
        return false;
    }
    const std::string text =
        CStringUtils::toLowerCase(std::string(line, strnlen(line, sizeof(line))));
    if (text.find("vmware esx server 3") != std::string::npos) {
        debug(__LINE__, "getLinuxOSVer: ESX 3 Found");
        return true;
    }
    if (text.find("vmware esx 4.1") != std::string::npos ||
        text.find("vmware esx 4") != std::string::npos) {
        debug(__LINE__, "getLinuxOSVer: ESX 4 Found");
        return true;
    }
    debug(__LINE__, "getLinuxOSVer: Unrecognized VMWare Found");
    return false;
}

// ---- USB storage driver ---------------------------------------------------

bool CLinuxImpl::isUSBblocklisted()
{
    debug(__LINE__, " CLinuxImpl::isUSBblocklisted Start");
    if (isESXi() || isESX()) {
        debug(__LINE__, " CLinuxImpl::Skipping USB blocklisting check for ESXi and ESX");
        return false;
    }
    if (m_pSys->RunShell(kCmdUSBBuiltIn) == 0) {
        debug(__LINE__,
              "CLinuxImpl::isUSBStorageStaticallyLinked usb_storage is built with kernel");
        return false;
    }
    if (bUSBBlocklistCheckDone) {
        debug(__LINE__, " CLinuxImpl::isUSBblocklisted check has already been performed earlier.");
        return bUSBDriverNotLoaded;
    }
    debug(__LINE__, " CLinuxImpl::isUSBblocklisted check is being done for the first time.");
    if (m_pSys->RunShell(kCmdUSBLoaded) == 0) {
        debug(__LINE__, "CLinuxImpl::isUSBblocklisted usb_storage module is already present.");
    } else {
        m_journal->Note(journalrecord::Module(kUSBModule));
        if (m_pSys->RunShell(kCmdUSBLoad) == 0 && m_pSys->RunShell(kCmdUSBLoaded) == 0) {
            debug(__LINE__,
                  "CLinuxImpl::isUSBblocklisted loading usb_storage module is successful.");
            bUSBDriverLoadedByZUK = true;
        } else {
            debug(__LINE__,
                  "CLinuxImpl::isUSBblocklisted usb_storage module is not loaded. Attempt to load "
                  "it was unsuccessful.");
            bUSBDriverNotLoaded = true;
        }
    }
    debug(__LINE__, " CLinuxImpl::isUSBblocklisted End");
    bUSBBlocklistCheckDone = true;
    return bUSBDriverNotLoaded;
}

void CLinuxImpl::unloadUSB()
{
    debug(__LINE__, " CLinuxImpl::unloadUSB Start");
    if (bUSBDriverLoadedByZUK) {
        debug(__LINE__, " CLinuxImpl::unloadUSB usb module need be unloaded");
        for (int attempt = 0; attempt < kUnloadUSBAttempts; ++attempt) {
            if (m_pSys->RunShell(kCmdUSBUnload) == 0) {
                m_journal->Note(journalrecord::ModuleGone(kUSBModule));
                debug(__LINE__, "CLinuxImpl::unloadUSB unloading usb module is successful.");
                break;
            }
            m_pSys->SleepSeconds(1);
            debug(__LINE__, "CLinuxImpl::unloadUSB unloading usb module is not successful.");
        }
    } else {
        debug(__LINE__, " CLinuxImpl::unloadUSB is not required.");
    }
    debug(__LINE__, " CLinuxImpl::unloadUSB End");
    bUSBBlocklistCheckDone = false;
    bUSBDriverLoadedByZUK = false;
    bUSBDriverNotLoaded = false;
}
