#include <cerrno>
#include <ctime>

#include "standin/sim_clock.h"

namespace standin {

namespace {

void SleepUntil(std::int64_t deadline_ns) {
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  deadline.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace

std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline_ns) {
  // A card's fetch returns on its DMA-completion interrupt, within microseconds
  // of the deadline. The kernel's timer wakes a sleeping thread 50-100 us late
  // (its timer slack and the wake-up), every time: a constant the sample
  // clock's lower envelope would carry as if it were the card's. So sleep to
  // shortly before the deadline and spin out the rest on the clock (vDSO, no
  // system call): about kSpinNs of CPU per fetch, some 0.5 % of a core at 40
  // fetches a second.
  constexpr std::int64_t kSpinNs = 150000;
  if (deadline_ns - MonotonicNs() > kSpinNs) SleepUntil(deadline_ns - kSpinNs);
  while (MonotonicNs() < deadline_ns) {
  }
}

}  // namespace standin
