#pragma once

// Appends lines to the transcript named by LUMOSWITCH_RECORD. Both recorders
// of one run (the storage library in the program, the IPMI device preloaded
// into it) write to the same file: each line goes out in one write() under an
// exclusive lock, chained to whatever line is last in the file then, so the
// file holds both boundaries in the order things happened.

#include <cstdint>
#include <string>

#include "Transcript.h"

namespace lumorecord
{

class Writer
{
public:
    // The process's writer for this recorder, opened on first use; null when
    // not recording (reason() of the failed attempt tells why).
    static Writer* Get();
    static const char* Reason();
    // Closes the transcript (the recorder is being unloaded).
    static void Release();

    // Adds the time since the run began ("t_us") and appends the line; false
    // when the line could not be written.
    bool append(Line& line);

private:
    Writer() = default;
    bool open(std::string& reason);
    int64_t nowUs() const;

    int m_fd = -1;
    int64_t m_t0 = 0;
};

} // namespace lumorecord
