/* Preloaded into a scenario's processes: uname() reports the system name in
 * E2E_UNAME_SYSNAME, so a run can take the VMware ESXi paths on Linux. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>

int uname(struct utsname* buf)
{
    static int (*real_uname)(struct utsname*);
    if (real_uname == NULL) {
        real_uname = (int (*)(struct utsname*))dlsym(RTLD_NEXT, "uname");
    }
    int rc = real_uname(buf);
    const char* name = getenv("E2E_UNAME_SYSNAME");
    if (rc == 0 && name != NULL && *name != '\0') {
        strncpy(buf->sysname, name, sizeof(buf->sysname) - 1);
        buf->sysname[sizeof(buf->sysname) - 1] = '\0';
    }
    return rc;
}
