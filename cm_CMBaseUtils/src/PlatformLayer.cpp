#include "PlatformLayer.h"

#include "LinuxImpl.h"
#include "Logger.h"
#include "SafeLogStream.h"

namespace
{
const char kSrc[] = "cm_CMBaseUtils/src/PlatformLayer";
}

IPlatformImpl* CPlatformLayer::m_pPlatformImpl = nullptr;

IPlatformImpl* CPlatformLayer::GetPlatform()
{
    // Never deleted: later static destructors may still reach the facade.
    if (m_pPlatformImpl == nullptr) {
        m_pPlatformImpl = new CLinuxImpl();
    }
    return m_pPlatformImpl;
}

IPlatformImpl* CPlatformLayer::SetPlatformSeams(IPlatformImpl* impl)
{
    IPlatformImpl* previous = m_pPlatformImpl;
    m_pPlatformImpl = impl;
    return previous;
}

bool CPlatformLayer::isHYLOInstalled()
{
    return GetPlatform()->isHYLOInstalled();
}
bool CPlatformLayer::InstallHylo()
{
    return GetPlatform()->InstallHylo();
}
bool CPlatformLayer::UninstallHylo()
{
    return GetPlatform()->UninstallHylo();
}
void* CPlatformLayer::Load_Library(const std::string& name)
{
    return GetPlatform()->LoadLibrary(name);
}
void CPlatformLayer::FreeLibrary(void* handle)
{
    GetPlatform()->FreeLibrary(handle);
}
void* CPlatformLayer::GetProcAddress(void* handle, const std::string& symbol)
{
    return GetPlatform()->GetProcAddress(handle, symbol);
}
int CPlatformLayer::ExecuteCmd(const std::string& command, bool bWait, const long& lTimeout)
{
    return GetPlatform()->ExecuteCmd(command, bWait, lTimeout);
}
int CPlatformLayer::ExecuteCmdNoWait(const std::string& command, bool bWait, const long& lTimeout)
{
    return GetPlatform()->ExecuteCmdNoWait(command, bWait, lTimeout);
}
void CPlatformLayer::Sleep(int seconds)
{
    GetPlatform()->Sleep(seconds);
}
std::string CPlatformLayer::getCurrentDirectory()
{
    return GetPlatform()->getCurrentDirectory();
}
std::string CPlatformLayer::getCurrentProcessDirectory()
{
    return GetPlatform()->getCurrentProcessDirectory();
}
bool CPlatformLayer::setCurrentDirectory(const std::string& dir)
{
    return GetPlatform()->setCurrentDirectory(dir);
}
std::vector<std::string> CPlatformLayer::GetFileList(const std::string& dir)
{
    return GetPlatform()->GetFileList(dir);
}
std::vector<std::string> CPlatformLayer::GetFileListName(const std::string& dir)
{
    return GetPlatform()->GetFileListName(dir);
}
bool CPlatformLayer::IsFileExits(const std::string& name)
{
    return GetPlatform()->IsFileExits(name);
}
bool CPlatformLayer::IsFileExistsAbs(const std::string& path)
{
    return GetPlatform()->IsFileExistsAbs(path);
}
void* CPlatformLayer::LoadHyloLibrary(const std::string& name)
{
    return GetPlatform()->LoadHyloLibrary(name);
}
bool CPlatformLayer::isUSBblocklisted()
{
    return GetPlatform()->isUSBblocklisted();
}
void CPlatformLayer::unloadUSB()
{
    GetPlatform()->unloadUSB();
}
void* CPlatformLayer::Load_Library_without_Customization(const std::string& name)
{
    return GetPlatform()->LoadLibrarywithoutCustomization(name);
}

bool CPlatformLayer::CreateEmptyZUKDebuLogFile()
{
    CSafeLogStream marker;
    marker.open(strEnableLogFileName, std::ios::out | std::ios::trunc);
    bool created = marker.is_open();
    marker.close();
    if (!created) {
        CLogger::GetInstance()->log(
            kSrc, __LINE__,
            "CPlatformLayer::CreateEmptyZUKDebuLogFile() could not create " + strEnableLogFileName);
    }
    return created;
}
