#include "VEXLogger.h"

#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <string>

#include "VEXFileTrust.h"
#include "VEXTime.h"

VEXLoggingOptions VEXLogger::mOptions;

namespace
{

std::atomic<FILE*> gInternalLog{nullptr};
std::atomic<FILE*> gUserLog{nullptr};
// The user log file once its stream has moved to standard error: no longer
// written, kept so a reset can close it.
FILE* gAbandonedUserLog = nullptr;
FILE* gStandardErrorOverride = nullptr;

const char* const kLevelNames[] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "TRACE", "DEBUG"};
const int32_t kTraceLevel = 5;

FILE* StandardError()
{
    return gStandardErrorOverride != nullptr ? gStandardErrorOverride : stderr;
}

FILE* OpenLog(const VEXFile& file, bool& failed)
{
    const std::string path = file.GetPath().GetUTF8String();
    // The log lies in the working directory, where others may have put a
    // link, a FIFO or a file of their own under its name.
    std::string why;
    const int fd = VEXFileTrust::OpenLog(path, false, why);
    FILE* stream = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (stream == nullptr && fd >= 0) {
        close(fd);
    }
    if (stream == nullptr) {
        std::fprintf(StandardError(), "Error in %s opening user log file: %s\n", "Initialize",
                     path.c_str());
        failed = true;
    }
    return stream;
}

std::string BaseName(const VEXString& path)
{
    const std::string text = path.GetUTF8String();
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

} // namespace

bool VEXLoggingOptions::SetApplicationName(const VEXString& name)
{
    m_ApplicationName = name;
    return true;
}

bool VEXLoggingOptions::SetNumberOfSupportedLevels(int32_t count)
{
    m_NumberOfSupportedLevels = count;
    return true;
}

bool VEXLoggingOptions::SetNumberOfLevelsToShowInUserLog(int32_t count)
{
    m_NumberOfLevelsToShowInUserLog = count;
    return true;
}

bool VEXLoggingOptions::SetUserLogFile(const VEXFile& file)
{
    m_UserLogFile = file;
    return true;
}

bool VEXLoggingOptions::SetInternalLogFile(const VEXFile& file)
{
    m_InternalLogFile = file;
    return true;
}

VEXLock& VEXLogger::GetLockObject()
{
    // Never destroyed: objects torn down at exit may still log.
    static VEXLock* lock = new VEXLock;
    return *lock;
}

bool VEXLogger::Initialize(const VEXLoggingOptions& options)
{
    bool failed = false;
    if (gInternalLog.load() == nullptr) {
        VEXScopedLock hold(GetLockObject());
        if (gInternalLog.load() == nullptr) {
            gInternalLog.store(OpenLog(options.GetInternalLogFile(), failed));
        }
    }
    if (gUserLog.load() == nullptr) {
        VEXScopedLock hold(GetLockObject());
        if (gUserLog.load() == nullptr && options.NumberOfLevelsToShowInUserLog() != 0) {
            gUserLog.store(OpenLog(options.GetUserLogFile(), failed));
        }
    }
    {
        // Under the lock so a line being written never sees half a copy.
        VEXScopedLock hold(GetLockObject());
        mOptions = options;
    }
    return !failed;
}

void VEXLogger::Log(const VEXString& function, const VEXString& sourceFile, int64_t line,
                    int32_t level, const char* format, ...)
{
    if (gUserLog.load() == nullptr || gInternalLog.load() == nullptr) {
        return;
    }
    VEXScopedLock hold(GetLockObject());
    // Again under the lock: Terminate may have closed a stream meanwhile.
    FILE* internal = gInternalLog.load();
    FILE* user = gUserLog.load();
    if (internal == nullptr || user == nullptr) {
        return;
    }
    if (format == nullptr) {
        format = "";
    }

    const std::string application = mOptions.GetApplicationName().GetUTF8String();
    std::string levelName;
    if (level >= 0 && level < static_cast<int32_t>(sizeof(kLevelNames) / sizeof(kLevelNames[0]))) {
        levelName = kLevelNames[level];
    } else {
        // Not a level at all; print its number rather than read past the names.
        levelName = std::to_string(level);
    }
    const VEXTime now = VEXTime::CurrentTime();
    VEXString dateText;
    VEXString timeText;
    now.DateToString(dateText, true);
    now.TimeToString(timeText);
    const std::string date = dateText.GetUTF8String();
    const std::string time = timeText.GetUTF8String();
    const std::string functionName = function.GetUTF8String();
    const std::string source = BaseName(sourceFile);
    const size_t formatLength = std::strlen(format);
    const bool endsInNewline = formatLength > 0 && format[formatLength - 1] == '\n';

    va_list args;
    va_start(args, format);
    std::fprintf(internal, "%s %-5s : %s %s %-40s() %-30s:%3" PRId64 " ", application.c_str(),
                 levelName.c_str(), date.c_str(), time.c_str(), functionName.c_str(),
                 source.c_str(), line);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    va_list forUser;
    va_copy(forUser, args);
    std::vfprintf(internal, format, args);
    if (!endsInNewline) {
        std::fputc('\n', internal);
    }

    const int32_t shown = mOptions.NumberOfLevelsToShowInUserLog();
    if (shown != 0 && level <= shown && ((shown == kTraceLevel) == (level == kTraceLevel))) {
        if (level == kTraceLevel) {
            if (user != StandardError()) {
                gAbandonedUserLog = user;
            }
            user = StandardError();
            gUserLog.store(user);
        }
        std::fprintf(user, "%s %-5s : %s %s %-40s() %-30s:%" PRId64 " ", application.c_str(),
                     levelName.c_str(), date.c_str(), time.c_str(), functionName.c_str(),
                     source.c_str(), line);
        std::vfprintf(user, format, forUser);
        if (!endsInNewline) {
            std::fputc('\n', user);
        }
    }
#pragma GCC diagnostic pop
    va_end(forUser);
    va_end(args);
}

bool VEXLogger::Terminate()
{
    VEXScopedLock hold(GetLockObject());
    FILE* user = gUserLog.load();
    if (user != nullptr && user != StandardError()) {
        std::fclose(user);
        gUserLog.store(nullptr);
    }
    FILE* internal = gInternalLog.load();
    if (internal != nullptr) {
        std::fclose(internal);
        gInternalLog.store(nullptr);
    }
    return true;
}

void VEXLogger::ResetForTesting()
{
    Terminate();
    VEXScopedLock hold(GetLockObject());
    gUserLog.store(nullptr);
    if (gAbandonedUserLog != nullptr) {
        std::fclose(gAbandonedUserLog);
        gAbandonedUserLog = nullptr;
    }
    mOptions = VEXLoggingOptions();
}

void VEXLogger::SetStandardErrorForTesting(FILE* stream)
{
    gStandardErrorOverride = stream;
}
