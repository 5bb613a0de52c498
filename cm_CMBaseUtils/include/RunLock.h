#pragma once

#include <string>

// One run at a time: two runs would download into the same switches and
// talk to the same management controller at once. The lock is flock() on a
// file in /run/lock, held for the life of the process (the descriptor is
// closed on exec, so the tools a run starts do not keep it). The file
// carries the holder's process ID for the run that is refused.
//
// /run/lock is often writable by everyone: a file found there that is not a
// regular file of this user with a single link (a symbolic link, another
// user's file, a hard link to some other file) is removed and made afresh,
// so nothing planted there is written to. The file is readable by its owner
// only, so nobody else can open it to hold the lock.
class CRunLock
{
public:
    enum class EResult { Acquired, Held, Failed };

    explicit CRunLock(std::string folder = "/run/lock");
    ~CRunLock();
    CRunLock(const CRunLock&) = delete;
    CRunLock& operator=(const CRunLock&) = delete;

    // Takes the lock without waiting. Held: `detail` is the holder's process
    // ID as its file says (empty when it has not written it yet). Failed:
    // `detail` says why.
    EResult acquire(std::string& detail);

    const std::string& path() const { return m_path; }

private:
    int openOwnFile(std::string& detail);

    std::string m_folder;
    std::string m_path;
    int m_fd = -1;
};
