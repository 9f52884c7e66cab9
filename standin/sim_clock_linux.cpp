#include <cerrno>
#include <ctime>

#include "standin/sim_clock.h"

namespace standin {

std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline_ns) {
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  deadline.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace standin
