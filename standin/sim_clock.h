// The stand-in's sense of time: a monotonic clock and a sleep.
#pragma once

#include <cstdint>

namespace standin {

// Nanoseconds on a monotonic clock (arbitrary origin).
std::int64_t MonotonicNs();

// Sleeps the calling thread until MonotonicNs() >= deadline_ns.
void SleepUntilNs(std::int64_t deadline_ns);

}  // namespace standin
