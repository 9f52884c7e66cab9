#include <ctime>

#include "platform/clock.h"

namespace platform {

namespace {

std::int64_t Nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::int64_t MonotonicNanoseconds() {
  return Nanoseconds(CLOCK_MONOTONIC);
}

std::int64_t UtcNanoseconds() {
  return Nanoseconds(CLOCK_REALTIME);
}

double ProcessCpuSeconds() {
  return static_cast<double>(Nanoseconds(CLOCK_PROCESS_CPUTIME_ID)) * 1e-9;
}

}  // namespace platform
