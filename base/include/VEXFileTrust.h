#pragma once

#include <sys/stat.h>

#include <string>

// What a program running as root may trust among files other users can
// reach: the package's files it runs, loads or reads, and the logs it
// appends to in its working directory.
class VEXFileTrust
{
public:
    // Empty when lstat/fstat `info` describes something that is not a
    // symbolic link, is owned by root (or by the user the program runs as)
    // and is not writable by group or others; otherwise why not ("is a
    // symbolic link", "is not owned by root", "is writable by group or
    // others").
    static std::string WhyUntrusted(const struct stat& info);

    // Opens a log in a folder other users may write to, for appending (and
    // emptied first with `truncate`): a missing file is created here and now
    // (0644, never through a link, never over a file that appeared
    // meanwhile); an existing one is used only when it is a regular file of
    // a single name that passes the rule above, so nothing is ever written
    // into a file another user planted or can read and change. Never waits
    // on a FIFO. The descriptor is close-on-exec. -1 when the log is not
    // written: `why` then says why a file found there was left alone ("it is
    // not owned by root"), or is empty when the log simply could not be
    // opened.
    static int OpenLog(const std::string& path, bool truncate, std::string& why);
};
