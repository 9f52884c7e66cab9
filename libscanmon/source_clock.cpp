#include "libscanmon/source_clock.h"

#include <cstring>

namespace scanmon_lib {

void SourceClock::Start(std::uint32_t sample_period_us, bool fetch_times) {
  clock_.Reset(static_cast<double>(sample_period_us) * 1000.0);
  fetch_times_ = fetch_times;
  any_ = false;
}

void SourceClock::Add(const scanmon_block& block) {
  if (block.count == 0) return;
  block_ = block;
  any_ = true;
  if (!fetch_times_) {
    // The capture source put each block's first sample at its number of
    // periods already.
    times_ = BlockClockTimes{};
    times_.first_mono_ns = block.mono_ns;
    times_.period_ns = clock_.Fit().period_ns;
    return;
  }
  // The scanner source passes the samples the card still held behind a
  // lost-data block (thrown away by the restart) in the reserved field, on its
  // way from the fetch thread to here; the caller sees it 0.
  const bool lost = (block.flags & SCANMON_BLOCK_LOST_DATA) != 0;
  times_ =
      clock_.Add(block.first_sample, block.count, block.mono_ns, lost, lost ? block.reserved : 0);
}

void SourceClock::Times(scanmon_block_times* out) const {
  const std::uint32_t size = out->struct_size;
  std::memset(out, 0, sizeof *out);
  out->struct_size = size;
  out->lock_after_ns = -1;
  if (!any_) return;
  out->sequence = block_.sequence;
  out->first_sample = block_.first_sample;
  out->first_mono_ns = times_.first_mono_ns;
  out->first_utc_ns =
      block_.utc_ns != 0 ? block_.utc_ns + (times_.first_mono_ns - block_.mono_ns) : 0;
  out->period_ns = times_.period_ns;
  out->missing_numbered = times_.missing_numbered;
  out->missing_estimated = times_.missing_estimated;
  out->run_start = times_.run_start ? 1 : 0;
  const ClockFit fit = clock_.Fit();
  out->rate_hz = fit.rate_hz;
  out->drift_ppm = fit.drift_ppm;
  if (!fetch_times_) {
    out->clock_state = SCANMON_CLOCK_NOMINAL;
    return;
  }
  out->clock_state = fit.lock == ClockLock::kLocked ? SCANMON_CLOCK_LOCKED : SCANMON_CLOCK_SETTLING;
  out->residual_median_ns = fit.residual_median_ns;
  out->residual_p99_ns = fit.residual_p99_ns;
  out->residual_max_ns = fit.residual_max_ns;
  out->window_blocks = fit.window_blocks;
  out->lock_after_ns = fit.lock_after_ns;
  out->lost_samples_total = static_cast<std::uint64_t>(fit.lost_samples);
}

}  // namespace scanmon_lib
