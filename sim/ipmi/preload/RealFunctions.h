// The C library's own versions of the functions this preload replaces,
// looked up on first use (RTLD_NEXT) and kept: REAL(OpenFn, open)(...).
#pragma once

#include <dlfcn.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace simipmi::preload
{

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using SleepFn = unsigned (*)(unsigned);
using UsleepFn = int (*)(useconds_t);
using NanosleepFn = int (*)(const struct timespec*, struct timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using TimeFn = time_t (*)(time_t*);
using GettimeofdayFn = int (*)(struct timeval*, void*);
using ClockGettimeFn = int (*)(clockid_t, struct timespec*);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);
using PollFn = int (*)(struct pollfd*, nfds_t, int);
using PpollFn = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);

template <typename F> F resolve(F* cache, const char* name)
{
    F f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

} // namespace simipmi::preload

#define REAL(type, name)                                                                           \
    ([]() {                                                                                        \
        static ::simipmi::preload::type cache_;                                                    \
        return ::simipmi::preload::resolve(&cache_, #name);                                        \
    }())
