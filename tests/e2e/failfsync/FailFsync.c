/* Preloaded into a scenario's processes: fsync() and fdatasync() of a file in
 * the folder E2E_FAIL_FSYNC_DIR fail with EIO, as on a disk that lost the
 * data on its way down; every other file is synced as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int InFailingFolder(int fd)
{
    const char* folder = getenv("E2E_FAIL_FSYNC_DIR");
    if (folder == NULL || *folder == '\0') {
        return 0;
    }
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0) {
        return 0;
    }
    path[n] = '\0';
    const size_t len = strlen(folder);
    return strncmp(path, folder, len) == 0 && path[len] == '/' &&
           strchr(path + len + 1, '/') == NULL;
}

static int FailOrSync(int fd, const char* call)
{
    if (InFailingFolder(fd)) {
        errno = EIO;
        return -1;
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, call);
    return real(fd);
}

int fsync(int fd)
{
    return FailOrSync(fd, "fsync");
}

int fdatasync(int fd)
{
    return FailOrSync(fd, "fdatasync");
}
