#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// The files the package ships beside the executable (scripts, the storage
// library, the descriptor, payload images, device rules). The program runs as
// root, so a file it runs, loads or copies must be as trustworthy as the
// program itself: not a symbolic link, owned by root (or by the user the
// program runs as) and not writable by group or others; the same for the
// folder that holds it. Nothing here looks at the working directory.
namespace pkgfiles
{

// The executable's own folder, followed by "/".
std::string Directory();

// How a package file is named in commands and log lines: "./name" when the
// working directory is the package folder (as in normal use, so the commands
// read as they always did), the folder's absolute path + name otherwise.
std::string Path(const std::string& name);
// True when the working directory is the package folder itself.
bool WorkingDirectoryIsPackage();

// Empty when the lstat/fstat result describes something the program may
// trust; otherwise why not ("is a symbolic link", "is not owned by root",
// "is writable by group or others").
std::string WhyUntrusted(const struct stat& info);

// lstat-based check of path and of the folder holding it; false (and why)
// when either is missing or not to be trusted.
bool CheckTrusted(const std::string& path, std::string& why);

// Opens path (flags added to O_NOFOLLOW | O_CLOEXEC) after checking its
// folder, then checks the opened descriptor itself, so what was checked is
// what is used. -1 and why on refusal; errno is ENOENT when the file is
// simply not there.
int OpenTrusted(const std::string& path, int flags, std::string& why);

// The folder holding path ("." for a bare name, "/" for the root's entries),
// and path without trailing slashes.
std::string FolderOf(const std::string& path);
std::string WithoutTrailingSlash(std::string path);

// The whole content of the regular file open on fd, read from its start; false
// and why ("it is not a regular file", "it has N bytes, more than the M
// allowed", kWhyUnreadable) otherwise.
bool ReadDescriptor(int fd, size_t maxBytes, std::string& content, std::string& why);

// The whole content of a trusted regular file of at most maxBytes.
bool ReadTrusted(const std::string& path, std::string& content, std::string& why,
                 size_t maxBytes = 16u * 1024u * 1024u);

// Makes the folder `path` (absolute) when it is missing, and checks it, for
// the program's own state that no other user may read, plant names in or
// take away (the run lock, the journal): a directory of root's (or of the
// user the program runs as), not a symbolic link, with no access for group
// or others (made 0700; a folder of root's with a wider mode is narrowed).
// Every folder above it must be a directory of root's, not a link, that
// group and others cannot write, or a sticky one such as /tmp, from which
// they cannot move root's entries; missing ones are made 0755, as bare
// containers and initramfs systems may lack /run. Nothing found in the way
// is removed, changed or written through: false, with what is in the way
// ("/run/lumoswitch is not owned by root").
bool MakeRootOnlyFolder(const std::string& path, std::string& why);

// The reason given for a file that is not there at all (no refusal then).
extern const char kWhyMissing[];
// The reason given for a file whose reading failed or came up short.
extern const char kWhyUnreadable[];

// Logs the refusal, tells the user on standard error (one line naming the
// file and why) and counts it: a run that refused a package file ends with a
// status that says so, whatever its report holds.
void ReportRefusal(const std::string& path, const std::string& why);
// Refusals reported by this process so far.
size_t RefusalCount();

} // namespace pkgfiles
