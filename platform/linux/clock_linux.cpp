#include <ctime>

#include "platform/clock.h"

namespace platform {

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace platform

namespace platform {
namespace {

long long Nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

long long MonotonicNanoseconds() {
  return Nanoseconds(CLOCK_MONOTONIC);
}

long long UtcNanoseconds() {
  return Nanoseconds(CLOCK_REALTIME);
}

}  // namespace platform
