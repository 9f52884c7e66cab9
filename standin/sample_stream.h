// The card's sample buffer as time passes: which samples have been taken, which
// are waiting, and whether the buffer overflowed. Time is an input (nanoseconds
// on a monotonic clock), so the accounting is exact and testable.
//
// Sample number `seq` of a run is taken one period after the one before it; the
// buffer is a ring of `buffer_samples` slots: when the reader falls behind, the
// oldest samples are overwritten and the overflow status is raised until it is
// reported by a fetch or cleared.
#pragma once

#include <cstdint>

namespace standin {

struct SampleStream {
  bool enabled = false;
  std::int64_t period_ns = 5000;  // the sample period as the card was told it
  // The card's sample clock runs this much fast against the host's (negative:
  // slow), parts per million: on the host's clock its samples are
  // period_ns / (1 + drift_ppm / 1e6) apart (HSIF_SIM_CLOCK_PPM).
  double drift_ppm = 0.0;
  std::int64_t run_start_ns = 0;  // when sample run_start_seq began
  std::uint64_t run_start_seq = 0;
  std::uint64_t produced_frozen = 0;  // samples taken, while sampling is off
  std::uint64_t consumed = 0;         // the next sample a fetch delivers
  std::int64_t buffer_samples = 65536;
  bool overflowed = false;
};

// Samples taken up to `now` (all runs, numbered from 0).
std::uint64_t SamplesTaken(const SampleStream& stream, std::int64_t now);

// Applies overwriting: when more than buffer_samples are waiting, the oldest
// are dropped and `overflowed` is set. Returns the samples waiting.
std::int64_t RefreshStream(SampleStream* stream, std::int64_t now);

// Starts a fresh run at `now` when sampling is off (samples left from an
// earlier run are dropped); keeps going when it is on.
void StartStream(SampleStream* stream, std::int64_t now);
// Stops taking samples; those waiting stay.
void StopStream(SampleStream* stream, std::int64_t now);
// A new sample period; a running card restarts its sample clock at `now` and
// drops what was waiting.
void ChangeStreamPeriod(SampleStream* stream, std::int64_t now, std::int64_t period_ns);
// Drops every waiting sample and clears the overflow status.
void ClearStream(SampleStream* stream, std::int64_t now);

// Takes up to `max` waiting samples: returns how many and the number of the
// first in *first_seq.
std::int64_t TakeSamples(SampleStream* stream, std::int64_t now, std::int64_t max,
                         std::uint64_t* first_seq);
// Takes exactly `count` samples as if they had all been taken already (the
// unpaced mode): the sample clock runs as fast as the reader.
void TakeSamplesUnpaced(SampleStream* stream, std::int64_t count, std::uint64_t* first_seq);

// When `count` samples will be waiting, or -1 when sampling is off (they never
// will be).
std::int64_t TimeWhenWaiting(const SampleStream& stream, std::int64_t count);

// When sample `seq` of the current run was (or will be) taken: the host
// monotonic time at which it is complete, ns.
std::int64_t SampleTime(const SampleStream& stream, std::uint64_t seq);

// The time between two samples on the host's clock, picoseconds (the period
// with the clock's drift; exactly period_ns * 1000 without drift).
std::int64_t HostPeriodPs(const SampleStream& stream);

}  // namespace standin
