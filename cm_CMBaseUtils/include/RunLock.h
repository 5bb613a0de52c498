#pragma once

#include <string>

// One run at a time: two runs would download into the same switches and
// talk to the same management controller at once. The lock is flock() on a
// file in a folder only root can use (/run/lumoswitch, 0700), held for the
// life of the process: the kernel lets go of it however the process ends,
// SIGKILL included, so a lock left behind never blocks the next run (the
// descriptor is closed on exec, so the tools a run starts do not keep it).
// The file carries the holder's process ID for the run that is refused.
//
// No other user can create, hold or replace anything there, so nobody can
// block the runs; what is in the way is named, never removed or written
// through.
class CRunLock
{
public:
    enum class EResult { Acquired, Held, Failed };

    explicit CRunLock(std::string folder = "/run/lumoswitch");
    ~CRunLock();
    CRunLock(const CRunLock&) = delete;
    CRunLock& operator=(const CRunLock&) = delete;

    // Takes the lock without waiting. Held: `detail` is the holder's process
    // ID as its file says (empty when it has not written it yet). Failed:
    // `detail` says what is in the way.
    EResult acquire(std::string& detail);

    const std::string& path() const { return m_path; }

private:
    int openOwnFile(std::string& detail);

    std::string m_folder;
    std::string m_path;
    int m_fd = -1;
};
