// A monotonic clock for rates and display pacing: never set back, unaffected
// by changes of the wall clock; and the wall clock in UTC, for time stamps.
#pragma once

#include <cstdint>

namespace platform {

// Seconds since an arbitrary origin fixed for the process.
double MonotonicSeconds();

// The same clock in nanoseconds (CLOCK_MONOTONIC on Linux, the performance
// counter on Windows), for time stamps kept in files and compared within one
// boot.
std::int64_t MonotonicNanoseconds();

// The wall clock: nanoseconds since 1970-01-01 00:00 UTC (Windows: the
// precise system time, in steps of 100 ns).
std::int64_t UtcNanoseconds();

// The processor time this process has used so far, every thread, user and
// system, in seconds (Linux: CLOCK_PROCESS_CPUTIME_ID; Windows: the
// process's times, in steps of 100 ns).
double ProcessCpuSeconds();

}  // namespace platform
