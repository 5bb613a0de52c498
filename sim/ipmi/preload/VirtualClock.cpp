// The virtual clock and the hooks for the process's sleeps and clock reads.
// Off (every hook passes straight through) until setTimeScale turns it on;
// the clock reads are shifted by the offset the waits have built up.
#include "VirtualClock.h"

#include "RealFunctions.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace simipmi::preload
{
namespace
{

// Offset added to the real clocks, and the factor by which waits are
// shortened (0: off).
std::atomic<int64_t> gOffsetNs{0};
std::atomic<double> gScale{0.0};

} // namespace

int64_t monotonicNs()
{
    struct timespec ts;
    REAL(clock_gettime)(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct timespec nsToTs(int64_t ns)
{
    if (ns < 0)
        ns = 0;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

int64_t tsToNs(const struct timespec& ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void setTimeScale(double scale)
{
    gScale.store(scale);
}

double activeScale()
{
    return gScale.load(std::memory_order_relaxed);
}

int64_t realToScaled(int64_t virtualNs, double scale)
{
    if (virtualNs <= 0)
        return 0;
    int64_t r = static_cast<int64_t>(static_cast<double>(virtualNs) / scale);
    return r + 1; // never wake before the whole virtual span has passed
}

// While the process waits, its clock runs scale times as fast as real time.
void advance(int64_t realElapsedNs, double scale)
{
    if (realElapsedNs > 0)
        gOffsetNs.fetch_add(
            static_cast<int64_t>(static_cast<double>(realElapsedNs) * (scale - 1.0)));
}

void skipAhead(int64_t virtualNs)
{
    gOffsetNs.fetch_add(virtualNs);
}

namespace
{

// The clocks the offset applies to; the per-process and per-thread CPU
// clocks keep running at their own pace.
bool shiftedClock(clockid_t clk)
{
    switch (clk) {
    case CLOCK_REALTIME:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
        return true;
    default:
        return false;
    }
}

// A relative wait of virtualNs on the virtual clock; returns the real
// function's result and the virtual time left when interrupted.
int scaledNanosleep(int64_t virtualNs, double scale, int64_t* leftNs)
{
    struct timespec rts = nsToTs(realToScaled(virtualNs, scale));
    struct timespec rrem = {0, 0};
    int64_t t0 = monotonicNs();
    int rc = REAL(nanosleep)(&rts, &rrem);
    int saved = errno;
    int64_t elapsed = monotonicNs() - t0;
    advance(elapsed, scale);
    if (leftNs != nullptr)
        *leftNs = std::max<int64_t>(0, virtualNs - static_cast<int64_t>(elapsed * scale));
    errno = saved;
    return rc;
}

} // namespace

} // namespace simipmi::preload

using namespace simipmi::preload;

// ---- exported hooks --------------------------------------------------------

extern "C" {

int nanosleep(const struct timespec* req, struct timespec* rem)
{
    double scale = activeScale();
    if (scale <= 1.0 || req == nullptr || req->tv_nsec < 0 || req->tv_nsec >= 1000000000 ||
        req->tv_sec < 0)
        return REAL(nanosleep)(req, rem);
    int64_t left = 0;
    int rc = scaledNanosleep(tsToNs(*req), scale, &left);
    if (rc != 0 && errno == EINTR && rem != nullptr)
        *rem = nsToTs(left);
    return rc;
}

unsigned int sleep(unsigned int seconds)
{
    double scale = activeScale();
    if (scale <= 1.0)
        return REAL(sleep)(seconds);
    int64_t left = 0;
    int rc = scaledNanosleep(static_cast<int64_t>(seconds) * 1000000000, scale, &left);
    if (rc != 0)
        return static_cast<unsigned>((left + 999999999) / 1000000000);
    return 0;
}

int usleep(useconds_t usec)
{
    double scale = activeScale();
    if (scale <= 1.0)
        return REAL(usleep)(usec);
    return scaledNanosleep(static_cast<int64_t>(usec) * 1000, scale, nullptr) == 0 ? 0 : -1;
}

int clock_nanosleep(clockid_t clk, int flags, const struct timespec* req, struct timespec* rem)
{
    double scale = activeScale();
    if (scale <= 1.0 || !shiftedClock(clk) || req == nullptr || req->tv_nsec < 0 ||
        req->tv_nsec >= 1000000000)
        return REAL(clock_nanosleep)(clk, flags, req, rem);
    int64_t wait = tsToNs(*req);
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        clock_gettime(clk, &now); // the virtual clock
        wait -= tsToNs(now);
        if (wait <= 0)
            return 0;
    }
    int64_t left = 0;
    int rc = scaledNanosleep(wait, scale, &left);
    if (rc != 0) {
        int err = errno;
        if (err == EINTR && rem != nullptr && !(flags & TIMER_ABSTIME))
            *rem = nsToTs(left);
        return err;
    }
    return 0;
}

int clock_gettime(clockid_t clk, struct timespec* ts) __THROW
{
    int rc = REAL(clock_gettime)(clk, ts);
    int64_t off = gOffsetNs.load(std::memory_order_relaxed);
    if (rc == 0 && off != 0 && shiftedClock(clk))
        *ts = nsToTs(tsToNs(*ts) + off);
    return rc;
}

int gettimeofday(struct timeval* tv, void* tz) __THROW
{
    int rc = REAL(gettimeofday)(tv, tz);
    int64_t off = gOffsetNs.load(std::memory_order_relaxed);
    if (rc == 0 && off != 0) {
        int64_t us = static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec + off / 1000;
        tv->tv_sec = static_cast<time_t>(us / 1000000);
        tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    }
    return rc;
}

time_t time(time_t* out) __THROW
{
    int64_t off = gOffsetNs.load(std::memory_order_relaxed);
    if (off == 0)
        return REAL(time)(out);
    struct timespec ts;
    REAL(clock_gettime)(CLOCK_REALTIME, &ts);
    time_t t = static_cast<time_t>((tsToNs(ts) + off) / 1000000000);
    if (out != nullptr)
        *out = t;
    return t;
}

} // extern "C"
