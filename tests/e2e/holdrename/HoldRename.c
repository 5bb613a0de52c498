/* Preloaded into a scenario's processes: a rename() onto a file named
 * E2E_HOLD_RENAME (its last component) first creates that name + ".held"
 * and waits, at most two minutes, until it is removed. The process is then
 * held with its report written into the temporary file and not yet in
 * place: the point at which a scenario kills it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int rename(const char* from, const char* to)
{
    static int (*real_rename)(const char*, const char*);
    if (real_rename == NULL) {
        real_rename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    }
    const char* name = getenv("E2E_HOLD_RENAME");
    const char* base = to != NULL ? strrchr(to, '/') : NULL;
    base = base != NULL ? base + 1 : to;
    if (name != NULL && *name != '\0' && base != NULL && strcmp(base, name) == 0) {
        char marker[4096];
        snprintf(marker, sizeof(marker), "%s.held", to);
        int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
        for (int tick = 0; tick < 1200 && access(marker, F_OK) == 0; ++tick) {
            const struct timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, NULL);
        }
    }
    return real_rename(from, to);
}
