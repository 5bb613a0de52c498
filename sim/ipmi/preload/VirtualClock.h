// The preload's virtual clock (SIMIPMI_TIME_SCALE): while the process waits,
// its clocks run scale times as fast as real time, so the long waits the
// program is told to make pass in a fraction of the time. The hooks for
// sleeps and clock reads live in VirtualClock.cpp; the device's waits
// (select, poll) use the helpers below.
#pragma once

#include <cstdint>
#include <time.h>

namespace simipmi::preload
{

// The real monotonic clock, in nanoseconds.
int64_t monotonicNs();
struct timespec nsToTs(int64_t ns); // negative spans become zero
int64_t tsToNs(const struct timespec& ts);

// Turns the clock on with a factor above 1; the factor in force (0: off).
void setTimeScale(double scale);
double activeScale();

// The real wait for a span of the virtual clock, never shorter than it.
int64_t realToScaled(int64_t virtualNs, double scale);
// A real wait of realElapsedNs moves the virtual clock on by scale times it.
void advance(int64_t realElapsedNs, double scale);
// Moves the virtual clock on by a whole span at once.
void skipAhead(int64_t virtualNs);

} // namespace simipmi::preload
