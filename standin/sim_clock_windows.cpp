#include "standin/sim_clock.h"

#include <windows.h>

namespace standin {

std::int64_t MonotonicNs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::int64_t seconds = now.QuadPart / frequency.QuadPart;
  std::int64_t rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000000 + rest * 1000000000 / frequency.QuadPart;
}

void SleepUntilNs(std::int64_t deadline_ns) {
  // Sleep works in whole milliseconds (and the system tick); round up so the
  // deadline is never missed by waking early, then spin out the remainder.
  for (;;) {
    std::int64_t left = deadline_ns - MonotonicNs();
    if (left <= 0) return;
    DWORD ms = static_cast<DWORD>(left / 1000000);
    Sleep(ms > 0 ? ms : 0);
  }
}

}  // namespace standin
