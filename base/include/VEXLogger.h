#pragma once

#include <cstdint>
#include <cstdio>

#include "VEXFile.h"
#include "VEXLock.h"
#include "VEXString.h"

// Log levels, the index passed to VEXLogger::Log.
enum VEXLogLevel : int32_t {
    eVEXLogNone = 0,
    eVEXLogFatal = 1,
    eVEXLogError = 2,
    eVEXLogWarn = 3,
    eVEXLogInfo = 4,
    eVEXLogTrace = 5,
    eVEXLogDebug = 6,
};

class VEXLoggingOptions
{
public:
    VEXLoggingOptions() = default;

    VEXString GetApplicationName() const { return m_ApplicationName; }
    bool SetApplicationName(const VEXString& name);
    int32_t NumberOfSupportedLevels() const { return m_NumberOfSupportedLevels; }
    bool SetNumberOfSupportedLevels(int32_t count);
    // 0 means no user log.
    int32_t NumberOfLevelsToShowInUserLog() const { return m_NumberOfLevelsToShowInUserLog; }
    bool SetNumberOfLevelsToShowInUserLog(int32_t count);
    VEXFile GetUserLogFile() const { return m_UserLogFile; }
    bool SetUserLogFile(const VEXFile& file);
    VEXFile GetInternalLogFile() const { return m_InternalLogFile; }
    bool SetInternalLogFile(const VEXFile& file);

private:
    VEXString m_ApplicationName;
    int32_t m_NumberOfSupportedLevels = 0;
    int32_t m_NumberOfLevelsToShowInUserLog = 0;
    VEXFile m_UserLogFile;
    VEXFile m_InternalLogFile;
};

// Process-wide logger with two files: the internal log gets every message,
// the user log only those that pass the level filter. Each line is written
// under the logger's lock, so lines of different threads never interleave.
class VEXLogger
{
public:
    // Opens the files not yet open and copies the options; false (and a line
    // on standard error) when a file cannot be opened.
    static bool Initialize(const VEXLoggingOptions& options);
    // Writes nothing unless both logs are open.
    static void Log(const VEXString& function, const VEXString& sourceFile, int64_t line,
                    int32_t level, const char* format, ...) __attribute__((format(printf, 5, 6)));
    // Closes both files. Returns true.
    static bool Terminate();
    static VEXLock& GetLockObject();

    // Tests only: close what is open and forget the switch of the user log
    // to standard error, so a test starts from scratch.
    static void ResetForTesting();
    // Tests only: the stream used as standard error (nullptr: stderr).
    static void SetStandardErrorForTesting(FILE* stream);

private:
    static VEXLoggingOptions mOptions;
};
