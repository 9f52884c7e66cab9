#include "health/scan_health.h"

#include <cmath>
#include <cstdio>

#include "hsif/driver_records.h"

namespace {

constexpr double kWindowSeconds = 1.0;

bool IsPositiveFinite(double value) {
  return std::isfinite(value) && value > 0.0;
}

// The end of a stop that ran from state.stop_start_s to `end_s`.
void EndStop(HealthState& state, double end_s) {
  double length = end_s - state.stop_start_s;
  ++state.stops;
  state.stop_total_s += length;
  if (length > state.stop_longest_s) {
    state.stop_longest_s = length;
    state.stop_longest_at_s = state.stop_start_s;
  }
  state.in_stop = false;
}

// A revolution's rate against the running mean: the start and end of a time
// the mirror turns at another rate.
void TrackRateChange(HealthState& state, double end_s, double duration_s, double rate) {
  bool away =
      std::fabs(rate - state.running_rate) > state.settings.rate_warning_share * state.running_rate;
  if (away && !state.in_change) {
    state.in_change = true;
    state.change_start_s = end_s - duration_s;
    if (state.changes == 0) {
      state.change_first_at_s = state.change_start_s;
      state.change_first_from = state.running_rate;
      state.change_first_to = rate;
    }
    ++state.changes;
  } else if (away && state.changes == 1 &&
             std::fabs(rate - state.change_first_from) >
                 std::fabs(state.change_first_to - state.change_first_from)) {
    state.change_first_to = rate;  // the first time away, at its furthest
  } else if (!away && state.in_change) {
    state.in_change = false;
    double length = end_s - duration_s - state.change_start_s;
    if (length > state.change_longest_s) state.change_longest_s = length;
  }
}

// A completed revolution: into the ring, the running mean and the totals.
void AddRevolution(HealthState& state, double end_s, double duration_s) {
  state.ring[state.ring_next] = HealthRevolution{end_s, duration_s};
  state.ring_next = (state.ring_next + 1) % kHealthRevolutionCapacity;
  if (state.ring_count < kHealthRevolutionCapacity) ++state.ring_count;

  double rate = 1.0 / duration_s;
  if (state.running_known) TrackRateChange(state, end_s, duration_s, rate);
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
    if (state.in_stop) EndStop(state, mark_s);
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
  if (!state.in_stop && state.since_mark_s > kWindowSeconds) {
    state.in_stop = true;
    state.stop_start_s = state.sample_s - state.since_mark_s;
  }
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
  totals.stops = state.stops;
  totals.stop_total_s = state.stop_total_s;
  totals.stop_longest_s = state.stop_longest_s;
  totals.stop_longest_at_s = state.stop_longest_at_s;
  if (state.in_stop) {  // still stopped at the end
    double length = state.sample_s - state.stop_start_s;
    ++totals.stops;
    totals.stop_total_s += length;
    if (length > totals.stop_longest_s) {
      totals.stop_longest_s = length;
      totals.stop_longest_at_s = state.stop_start_s;
    }
  }
  totals.rate_changes = state.changes;
  totals.change_first_at_s = state.change_first_at_s;
  totals.change_first_from = state.change_first_from;
  totals.change_first_to = state.change_first_to;
  totals.change_longest_s = state.change_longest_s;
  if (state.in_change && state.sample_s - state.change_start_s > totals.change_longest_s) {
    totals.change_longest_s = state.sample_s - state.change_start_s;
  }
  return totals;
}

void DescribeMirrorEvents(const HealthTotals& t, char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  int length = 0;
  if (t.stops > 0) {
    length = std::snprintf(
        out, size, "mirror stopped %llu %s, %.1f s in all (longest %.1f s, from %.1f s)",
        static_cast<unsigned long long>(t.stops), t.stops == 1 ? "time" : "times", t.stop_total_s,
        t.stop_longest_s, t.stop_longest_at_s);
    if (length < 0 || static_cast<std::size_t>(length) >= size) return;
  }
  if (t.rate_changes > 0) {
    std::snprintf(
        out + length, size - static_cast<std::size_t>(length),
        "%smirror rate changed %llu %s (first at %.1f s: %.2f to %.2f rev/s; longest %.1f s)",
        length > 0 ? "; " : "", static_cast<unsigned long long>(t.rate_changes),
        t.rate_changes == 1 ? "time" : "times", t.change_first_at_s, t.change_first_from,
        t.change_first_to, t.change_longest_s);
  }
}
