#pragma once

#include <sys/stat.h>

#include <functional>
#include <sstream>
#include <string>

#include "SafeLogStream.h"

// Name of the marker file whose presence in the working directory turns on
// debug logging for every log of the program.
extern const std::string strEnableLogFileName;
// Log file the package reader opens when the marker exists and no log is open.
extern const std::string strBaseUtilsLogFileName;

// Whether every log of the program is on: this run was asked with -d, or the
// marker lies in the working directory and root left it there (root's own
// file, not a link, in a folder only root can write). A marker another user
// could have planted turns nothing on. `lstatFn` is lstat(2), or a caller's
// seam in front of it.
using LStatFunction = std::function<bool(const std::string& path, struct stat& info)>;
bool DebugLoggingWanted(const LStatFunction& lstatFn = nullptr);
// Called for -d: the logs that follow the marker follow this run.
void WantDebugLogging();

// The program's own trace file. Off until a run asks for it; every call is a
// flag test while it is off. Each line is flushed as written, so nothing is
// lost when the process ends without closing it.
class CLogger
{
public:
    static CLogger* GetInstance();

    // Opens the file once per process. Returns true when a file was already
    // open (the first one stays); false otherwise, opened or not.
    bool Initialize(const std::string& name);

    void log(const char* file, unsigned int line, const std::string& text);
    // Writes the stream's text, then empties the stream and clears its error
    // state so the caller can build its next message in it.
    void log(const char* file, unsigned int line, std::ostringstream& stream);

    bool CloseHandle();

    bool IsInitialized() const { return m_bInitialized; }

    // Tests only: forget the open file (and a -d of an earlier test) so a
    // test can start from scratch.
    static void ResetForTesting();

private:
    CLogger() = default;
    void writePrefix(const char* file, unsigned int line);

    std::string m_strFileName = "debug.log";
    CSafeLogStream m_ofStream;
    bool m_bInitialized = false;

    static CLogger* m_ptrInstance;
};
