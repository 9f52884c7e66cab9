// A monotonic clock for rates and display pacing: never set back, unaffected
// by changes of the wall clock.
#pragma once

namespace platform {

// Seconds since an arbitrary origin fixed for the process.
double MonotonicSeconds();

// The same clock in whole nanoseconds (Linux CLOCK_MONOTONIC; Windows the
// performance counter), for time stamps kept in files.
long long MonotonicNanoseconds();

// The wall clock: nanoseconds since 1970-01-01 00:00 UTC (Windows: the precise
// system time, in steps of 100 ns).
long long UtcNanoseconds();

}  // namespace platform
