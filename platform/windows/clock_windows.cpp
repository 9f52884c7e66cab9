#include <windows.h>

#include "platform/clock.h"

namespace platform {

double MonotonicSeconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::int64_t MonotonicNanoseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so the product cannot overflow.
  const std::int64_t f = frequency.QuadPart;
  const std::int64_t c = now.QuadPart;
  return c / f * 1000000000 + c % f * 1000000000 / f;
}

std::int64_t UtcNanoseconds() {
  // 100 ns intervals since 1601-01-01; 1970 is 11644473600 s later.
  constexpr std::int64_t kUnixEpochIntervals = 116444736000000000LL;
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t intervals = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return (intervals - kUnixEpochIntervals) * 100;
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) == 0) return 0;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
}

}  // namespace platform
