#include "PackageFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Logger.h"
#include "PlatformLayer.h"
#include "VEXFileTrust.h"
#include "VEXIO.h"

namespace
{

const char kSrc[] = "cm_CMBaseUtils/src/PackageFiles";

bool CheckFolder(const std::string& path, std::string& why)
{
    const std::string folder = pkgfiles::FolderOf(path);
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0) {
        why = "its folder " + folder + " cannot be examined";
        return false;
    }
    const std::string problem = pkgfiles::WhyUntrusted(info);
    if (!problem.empty()) {
        why = "its folder " + folder + " " + problem;
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = "its folder " + folder + " is not a directory";
        return false;
    }
    return true;
}

} // namespace

namespace pkgfiles
{

const char kWhyMissing[] = "the file is missing";
const char kWhyUnreadable[] = "the file cannot be read whole";

std::string FolderOf(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}


std::string Directory()
{
    return CPlatformLayer::getCurrentProcessDirectory();
}

bool WorkingDirectoryIsPackage()
{
    struct stat here;
    struct stat package;
    return stat(".", &here) == 0 && stat(Directory().c_str(), &package) == 0 &&
           here.st_dev == package.st_dev && here.st_ino == package.st_ino;
}

std::string Path(const std::string& name)
{
    return WorkingDirectoryIsPackage() ? "./" + name : Directory() + name;
}

std::string WhyUntrusted(const struct stat& info)
{
    return VEXFileTrust::WhyUntrusted(info);
}

bool MakeRootOnlyFolder(const std::string& path, std::string& why)
{
    why.clear();
    const std::string folder = WithoutTrailingSlash(path);
    if (folder.empty() || folder[0] != '/') {
        why = "\"" + path + "\" is not an absolute path";
        return false;
    }
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const bool last = end == std::string::npos;
        const std::string part = last ? folder : folder.substr(0, end);
        struct stat info;
        if (lstat(part.c_str(), &info) != 0) {
            if (errno != ENOENT ||
                (mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) ||
                lstat(part.c_str(), &info) != 0) {
                why = part + " cannot be made: " + std::strerror(errno);
                return false;
            }
        }
        // Others may add names to a sticky folder, not move root's away.
        struct stat judged = info;
        if (!last && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0) {
            judged.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
        }
        std::string problem = WhyUntrusted(judged);
        if (problem.empty() && !S_ISDIR(info.st_mode)) {
            problem = "is not a directory";
        }
        if (last && problem.empty() && (info.st_mode & 077) != 0) {
            // Only root can have made it (its folder is root's alone): only
            // its mode is narrowed, through a descriptor of what was checked.
            const int fd = open(part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat opened;
            if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != info.st_ino ||
                opened.st_dev != info.st_dev || fchmod(fd, 0700) != 0) {
                problem = "cannot be made private to root";
            }
            if (fd >= 0) {
                close(fd);
            }
        }
        if (!problem.empty()) {
            why = part + " " + problem;
            return false;
        }
        if (last) {
            return true;
        }
    }
}

bool CheckTrusted(const std::string& path, std::string& why)
{
    why.clear();
    if (!CheckFolder(path, why)) {
        return false;
    }
    struct stat info;
    if (lstat(WithoutTrailingSlash(path).c_str(), &info) != 0) {
        why = kWhyMissing;
        return false;
    }
    const std::string problem = WhyUntrusted(info);
    why = problem.empty() ? problem : "the file " + problem;
    return why.empty();
}

int OpenTrusted(const std::string& path, int flags, std::string& why)
{
    why.clear();
    if (!CheckFolder(path, why)) {
        errno = EPERM;
        return -1;
    }
    const int fd = open(WithoutTrailingSlash(path).c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        why = error == ELOOP ? "the file is a symbolic link" : "the file cannot be opened";
        if (error == ENOENT) {
            why = kWhyMissing;
        }
        errno = error;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        why = "the file cannot be examined";
    } else if (!WhyUntrusted(info).empty()) {
        why = "the file " + WhyUntrusted(info);
    }
    if (!why.empty()) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

bool ReadTrusted(const std::string& path, std::string& content, std::string& why, size_t maxBytes)
{
    content.clear();
    // Non-blocking, so a FIFO put in a file's place cannot hold the open.
    const int fd = OpenTrusted(path, O_RDONLY | O_NONBLOCK, why);
    if (fd < 0) {
        return false;
    }
    const bool ok = ReadDescriptor(fd, maxBytes, content, why);
    if (!ok && why != kWhyUnreadable) {
        why = "the file is not a regular file of a sensible size";
    }
    close(fd);
    return ok;
}

bool ReadDescriptor(int fd, size_t maxBytes, std::string& content, std::string& why)
{
    content.clear();
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "it is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > maxBytes) {
        why = "it has " + std::to_string(info.st_size) + " bytes, more than the " +
              std::to_string(maxBytes) + " allowed";
        return false;
    }
    content.resize(static_cast<size_t>(info.st_size));
    if (VEXPreadAll(fd, &content[0], content.size(), 0) != content.size()) {
        content.clear();
        why = kWhyUnreadable;
        return false;
    }
    return true;
}
namespace
{
size_t g_refusals = 0;
} // namespace

void ReportRefusal(const std::string& path, const std::string& why)
{
    ++g_refusals;
    const std::string line = "Refusing package file " + path + ": " + why;
    CLogger::GetInstance()->log(kSrc, __LINE__, line);
    std::fprintf(stderr, "lumoswitch: %s\n", line.c_str());
}

size_t RefusalCount()
{
    return g_refusals;
}

} // namespace pkgfiles
