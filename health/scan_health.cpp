#include "health/scan_health.h"

#include <cmath>

#include "hsif/driver_records.h"

namespace {

constexpr double kWindowSeconds = 1.0;

bool IsPositiveFinite(double value) {
  return std::isfinite(value) && value > 0.0;
}

// A completed revolution: into the ring, the running mean and the totals.
void AddRevolution(HealthState& state, double end_s, double duration_s) {
  state.ring[state.ring_next] = HealthRevolution{end_s, duration_s};
  state.ring_next = (state.ring_next + 1) % kHealthRevolutionCapacity;
  if (state.ring_count < kHealthRevolutionCapacity) ++state.ring_count;

  double rate = 1.0 / duration_s;
  if (!state.running_known) {
    state.running_rate = rate;
    state.running_known = true;
  } else {
    double weight = duration_s / state.settings.running_mean_seconds;
    if (weight > 1.0) weight = 1.0;
    state.running_rate += weight * (rate - state.running_rate);
  }
  if (state.revolutions == 0 || rate < state.min_rate) state.min_rate = rate;
  if (state.revolutions == 0 || rate > state.max_rate) state.max_rate = rate;
  ++state.revolutions;
  state.revolution_s += duration_s;
}

void CountWallClock(HealthState& state, std::uint32_t count, double now_s) {
  if (!state.clock_started) {
    state.clock_started = true;
    state.window_start_now = now_s;
    state.first_now = now_s;
  }
  state.last_now = now_s;
  state.window_samples += count;
  ++state.window_fetches;
  double elapsed = now_s - state.window_start_now;
  if (elapsed >= kWindowSeconds) {
    state.samples_per_s = static_cast<double>(state.window_samples) / elapsed;
    state.fetches_per_s = static_cast<double>(state.window_fetches) / elapsed;
    state.rates_known = true;
    state.window_start_now = now_s;
    state.window_samples = 0;
    state.window_fetches = 0;
  } else if (elapsed < 0.0) {
    // A clock that went back: start the counting second again.
    state.window_start_now = now_s;
  }
}

}  // namespace

void StartHealth(HealthState& state, const HealthSettings& settings) {
  state = HealthState{};
  state.settings = settings;
  HealthSettings defaults;
  if (!IsPositiveFinite(state.settings.rate_warning_share)) {
    state.settings.rate_warning_share = defaults.rate_warning_share;
  }
  if (!IsPositiveFinite(state.settings.running_mean_seconds)) {
    state.settings.running_mean_seconds = defaults.running_mean_seconds;
  }
}

void FeedHealth(HealthState& state, const ProcessedSample* samples, std::uint32_t count,
                bool lost_data, double sample_period_us, double now_s) {
  ++state.fetches;
  state.samples += count;
  CountWallClock(state, count, now_s);
  if (lost_data) {
    // Samples are missing between the last mark and the next one.
    ++state.lost_events;
    state.have_mark = false;
  }
  if (count == 0) return;

  state.angle_known = true;
  state.last_angle = samples[count - 1].angle;

  if (!IsPositiveFinite(sample_period_us)) {
    state.have_mark = false;
    for (std::uint32_t i = 0; i < count; ++i) {
      if ((samples[i].flags & kProcessedIndexFlag) != 0) ++state.index_marks;
    }
    return;
  }
  double period_s = sample_period_us * 1e-6;
  double fetch_start_s = state.sample_s;
  double since_mark_s = state.since_mark_s;
  for (std::uint32_t i = 0; i < count; ++i) {
    if ((samples[i].flags & kProcessedIndexFlag) == 0) continue;
    double mark_s = fetch_start_s + static_cast<double>(i) * period_s;
    ++state.index_marks;
    if (state.have_mark && mark_s > state.last_mark_s) {
      AddRevolution(state, mark_s, mark_s - state.last_mark_s);
    }
    state.have_mark = true;
    state.last_mark_s = mark_s;
    since_mark_s = -static_cast<double>(i) * period_s;
  }
  double fetch_s = static_cast<double>(count) * period_s;
  state.since_mark_s = since_mark_s + fetch_s;
  state.sample_s = fetch_start_s + fetch_s;
}

void NoteHealthGap(HealthState& state) {
  state.have_mark = false;
}

HealthFigures ReadHealth(const HealthState& state) {
  HealthFigures figures{};
  // Revolutions that ended within the last second of samples, newest first.
  double window_start_s = state.sample_s - kWindowSeconds;
  int revolutions = 0;
  double total_s = 0.0;
  for (int k = 0; k < state.ring_count; ++k) {
    int slot = (state.ring_next - 1 - k + kHealthRevolutionCapacity) % kHealthRevolutionCapacity;
    const HealthRevolution& revolution = state.ring[slot];
    if (revolution.end_s <= window_start_s) break;
    double rate = 1.0 / revolution.duration_s;
    if (revolutions == 0 || rate < figures.rate_min) figures.rate_min = rate;
    if (revolutions == 0 || rate > figures.rate_max) figures.rate_max = rate;
    ++revolutions;
    total_s += revolution.duration_s;
  }
  if (revolutions > 0) {
    figures.rate_known = true;
    figures.rate_mean = static_cast<double>(revolutions) / total_s;
    figures.rate_warning =
        state.running_known && std::fabs(figures.rate_mean - state.running_rate) >
                                   state.settings.rate_warning_share * state.running_rate;
  }
  figures.rates_known = state.rates_known;
  figures.samples_per_s = state.samples_per_s;
  figures.fetches_per_s = state.fetches_per_s;
  figures.lost_events = state.lost_events;
  figures.angle_known = state.angle_known;
  figures.last_angle = state.last_angle;
  figures.no_index_warning = state.since_mark_s > kWindowSeconds;
  return figures;
}

HealthTotals SummarizeHealth(const HealthState& state) {
  HealthTotals totals{};
  totals.run_s = state.clock_started ? state.last_now - state.first_now : 0.0;
  totals.fetches = state.fetches;
  totals.samples = state.samples;
  totals.lost_events = state.lost_events;
  totals.index_marks = state.index_marks;
  if (state.revolutions > 0) {
    totals.rate_known = true;
    totals.rate_mean = static_cast<double>(state.revolutions) / state.revolution_s;
    totals.rate_min = state.min_rate;
    totals.rate_max = state.max_rate;
  }
  return totals;
}
