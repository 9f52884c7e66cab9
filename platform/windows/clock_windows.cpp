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

}  // namespace platform

namespace platform {

long long MonotonicNanoseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart: the product would overflow 64 bits.
  long long seconds = now.QuadPart / frequency.QuadPart;
  long long rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000000LL + rest * 1000000000LL / frequency.QuadPart;
}

long long UtcNanoseconds() {
  // 100 ns steps since 1601-01-01; 1970 is 11644473600 s later.
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (static_cast<long long>(ticks) - 116444736000000000LL) * 100;
}

}  // namespace platform
