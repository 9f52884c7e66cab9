#include "standin/sample_stream.h"

#include <algorithm>
#include <cmath>

namespace standin {

// Times inside a run are kept in picoseconds of the host's clock, so a drift
// of a fraction of a ppm still moves the samples, and integer arithmetic keeps
// SamplesTaken and SampleTime exact inverses: sample k of a run (from 0) is
// complete at run_start_ns + floor((k + 1) * period_ps / 1000). Products stay
// within 64 bits for 100 days of samples.
std::int64_t HostPeriodPs(const SampleStream& s) {
  if (s.drift_ppm == 0.0) return s.period_ns * 1000;
  return static_cast<std::int64_t>(
      std::llround(static_cast<double>(s.period_ns) * 1000.0 / (1.0 + s.drift_ppm * 1e-6)));
}

std::uint64_t SamplesTaken(const SampleStream& s, std::int64_t now) {
  if (!s.enabled) return s.produced_frozen;
  if (now <= s.run_start_ns) return s.run_start_seq;
  // The most samples m with floor(m * period_ps / 1000) <= now - start.
  std::int64_t elapsed = now - s.run_start_ns;
  return s.run_start_seq + static_cast<std::uint64_t>(((elapsed + 1) * 1000 - 1) / HostPeriodPs(s));
}

std::int64_t RefreshStream(SampleStream* s, std::int64_t now) {
  std::uint64_t taken = SamplesTaken(*s, now);
  std::uint64_t buffer = static_cast<std::uint64_t>(s->buffer_samples);
  if (taken - s->consumed > buffer) {
    s->consumed = taken - buffer;
    s->overflowed = true;
  }
  return static_cast<std::int64_t>(taken - s->consumed);
}

void StartStream(SampleStream* s, std::int64_t now) {
  if (s->enabled) return;
  s->run_start_seq = s->produced_frozen;
  s->run_start_ns = now;
  s->consumed = s->run_start_seq;
  s->enabled = true;
}

void StopStream(SampleStream* s, std::int64_t now) {
  if (!s->enabled) return;
  RefreshStream(s, now);
  s->produced_frozen = SamplesTaken(*s, now);
  s->enabled = false;
}

void ChangeStreamPeriod(SampleStream* s, std::int64_t now, std::int64_t period_ns) {
  if (s->enabled) {
    std::uint64_t taken = SamplesTaken(*s, now);
    s->run_start_seq = taken;
    s->run_start_ns = now;
    s->consumed = taken;
  }
  s->period_ns = period_ns;
}

void ClearStream(SampleStream* s, std::int64_t now) {
  s->consumed = SamplesTaken(*s, now);
  s->overflowed = false;
}

std::int64_t TakeSamples(SampleStream* s, std::int64_t now, std::int64_t max,
                         std::uint64_t* first_seq) {
  std::int64_t waiting = RefreshStream(s, now);
  std::int64_t count = std::max<std::int64_t>(0, std::min(max, waiting));
  *first_seq = s->consumed;
  s->consumed += static_cast<std::uint64_t>(count);
  return count;
}

void TakeSamplesUnpaced(SampleStream* s, std::int64_t count, std::uint64_t* first_seq) {
  // The unpaced clock is the reader: the run is as long as what was read.
  if (!s->enabled) {
    s->run_start_seq = s->consumed;
    s->enabled = true;
  }
  *first_seq = s->consumed;
  s->consumed += static_cast<std::uint64_t>(count);
  s->produced_frozen = s->consumed;
}

std::int64_t TimeWhenWaiting(const SampleStream& s, std::int64_t count) {
  if (!s.enabled) return -1;
  std::uint64_t last_needed = s.consumed + static_cast<std::uint64_t>(count);
  if (last_needed <= s.run_start_seq) return s.run_start_ns;
  return SampleTime(s, last_needed - 1);
}

std::int64_t SampleTime(const SampleStream& s, std::uint64_t seq) {
  // Sample seq is complete one period after it began; the run starts at
  // run_start_ns with the first sample under way.
  std::int64_t offset = static_cast<std::int64_t>(seq - s.run_start_seq) + 1;
  return s.run_start_ns + offset * HostPeriodPs(s) / 1000;
}

}  // namespace standin
