#include "StateFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char kStateFolder[] = "/var/lib/lumoswitch";

namespace
{

bool WritableByOthers(const struct stat& info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool OwnedByRootOrMe(const struct stat& info)
{
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

} // namespace

bool MakeRootOnlyFolder(const std::string& folder, std::string& why)
{
    if (folder.empty() || folder[0] != '/') {
        why = folder + " is not an absolute path";
        return false;
    }
    // Each parent: whoever may write it could swap what lies below, unless
    // it is sticky (then only the owner of an entry may move it).
    for (size_t end = folder.find('/', 1); end != std::string::npos;
         end = folder.find('/', end + 1)) {
        const std::string parent = folder.substr(0, end);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            why = "cannot create " + parent + ": " + std::strerror(errno);
            return false;
        }
        struct stat named;
        struct stat info;
        if (::lstat(parent.c_str(), &named) != 0 || ::stat(parent.c_str(), &info) != 0) {
            why = "cannot examine " + parent + ": " + std::strerror(errno);
            return false;
        }
        if (!S_ISDIR(info.st_mode) || !OwnedByRootOrMe(named) || !OwnedByRootOrMe(info) ||
            (WritableByOthers(info) && (info.st_mode & S_ISVTX) == 0)) {
            why = parent + " may be changed by other users";
            return false;
        }
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    if (::lstat(folder.c_str(), &info) != 0) {
        why = "cannot examine " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        why = folder + " is a symbolic link";
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = folder + " is not a folder";
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        why = folder + " belongs to user " + std::to_string(info.st_uid);
        return false;
    }
    if (WritableByOthers(info)) {
        why = folder + " may be written by other users";
        return false;
    }
    return true;
}
