#include "Logger.h"

#include <cstring>
#include <ctime>
#include <iomanip>

#include "VEXFileTrust.h"

const std::string strEnableLogFileName = "zukdebuglog";
const std::string strBaseUtilsLogFileName = "baseutils.log";

CLogger* CLogger::m_ptrInstance = nullptr;

namespace
{
bool gDebugWanted = false;
} // namespace

void WantDebugLogging()
{
    gDebugWanted = true;
}

bool DebugLoggingWanted(const LStatFunction& lstatFn)
{
    if (gDebugWanted) {
        return true;
    }
    const LStatFunction look = lstatFn ? lstatFn : [](const std::string& path, struct stat& info) {
        return lstat(path.c_str(), &info) == 0;
    };
    struct stat marker;
    struct stat folder;
    return look(strEnableLogFileName, marker) && S_ISREG(marker.st_mode) &&
           VEXFileTrust::WhyUntrusted(marker).empty() && look(".", folder) &&
           S_ISDIR(folder.st_mode) && VEXFileTrust::WhyUntrusted(folder).empty();
}

CLogger* CLogger::GetInstance()
{
    // Never destroyed: records may be logged from static destructors.
    if (m_ptrInstance == nullptr) {
        m_ptrInstance = new CLogger();
    }
    return m_ptrInstance;
}

void CLogger::ResetForTesting()
{
    CLogger* self = GetInstance();
    if (self->m_ofStream.is_open()) {
        self->m_ofStream.close();
    }
    self->m_ofStream.clear();
    self->m_bInitialized = false;
    self->m_strFileName = "debug.log";
    gDebugWanted = false;
}

bool CLogger::Initialize(const std::string& name)
{
    if (m_bInitialized) {
        return true;
    }
    m_strFileName = name;
    m_ofStream.clear();
    m_ofStream.open(m_strFileName.c_str(), std::ios::out | std::ios::trunc);
    if (m_ofStream.is_open()) {
        m_bInitialized = true;
    }
    return false;
}

void CLogger::writePrefix(const char* file, unsigned int line)
{
    char stamp[80] = {0};
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof(stamp), "[%Y-%m-%dT%H:%M:%S] ", &local);
    }
    const char* base = file != nullptr ? file : "";
    const char* slash = std::strrchr(base, '/');
    if (slash != nullptr) {
        base = slash + 1;
    }
    m_ofStream << stamp << ": " << std::setw(25) << base << ":" << std::setw(5) << std::dec << line
               << ": ";
}

void CLogger::log(const char* file, unsigned int line, const std::string& text)
{
    if (!m_bInitialized) {
        return;
    }
    writePrefix(file, line);
    m_ofStream << text << "\n";
    m_ofStream.flush();
}

void CLogger::log(const char* file, unsigned int line, std::ostringstream& stream)
{
    if (!m_bInitialized) {
        return;
    }
    writePrefix(file, line);
    m_ofStream << stream.str() << "\n";
    m_ofStream.flush();
    stream.str("");
    stream.clear();
}

bool CLogger::CloseHandle()
{
    if (!m_ofStream.is_open()) {
        return true;
    }
    m_ofStream.close();
    return !m_ofStream.fail();
}
