#include "VEXFileTrust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

std::string VEXFileTrust::WhyUntrusted(const struct stat& info)
{
    if (S_ISLNK(info.st_mode)) {
        return "is a symbolic link";
    }
    // Files of the user the program runs as are no less trusted than the
    // program itself; as root that is root alone.
    if (info.st_uid != 0 && info.st_uid != geteuid()) {
        return "is not owned by root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "is writable by group or others";
    }
    return std::string();
}

int VEXFileTrust::OpenLog(const std::string& path, bool truncate, std::string& why)
{
    why.clear();
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path.c_str(), flags);
    }
    if (fd < 0) {
        if (errno == ELOOP) {
            why = "it is a symbolic link";
        }
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "it is not a regular file";
    } else if (info.st_nlink != 1) {
        why = "it has other names (hard links)";
    } else if (!WhyUntrusted(info).empty()) {
        why = "it " + WhyUntrusted(info);
    }
    if (!why.empty() || fcntl(fd, F_SETFL, O_APPEND) != 0 ||
        (truncate && !created && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}
