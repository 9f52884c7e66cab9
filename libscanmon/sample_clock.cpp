#include "libscanmon/sample_clock.h"

#include "capture/checked_time.h"

#include <algorithm>
#include <cmath>

namespace scanmon_lib {

namespace {

// To the nearest nanosecond, halves up (the same in the Python clock, whose
// round() would round halves to even).
// A count or time from a double, held to +-2^62 (a hostile index's times and
// numbers may put anything here; no value of a real run comes near).
std::int64_t ToInt64(double v) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  if (!(v == v)) return 0;
  return static_cast<std::int64_t>(std::min(kLimit, std::max(-kLimit, v)));
}

std::int64_t Nearest(double ns) {
  return ToInt64(std::floor(ns + 0.5));
}

}  // namespace

void SampleClock::Reset(double nominal_period_ns) {
  nominal_ = nominal_period_ns > 0.0 ? nominal_period_ns : 5000.0;
  running_ = false;
  b_ = nominal_;
  a_ = 0.0;
  size_ = 0;
  head_ = 0;
  residual_count_ = 0;
  lock_ = ClockLock::kNone;
  lock_after_ns_ = -1;
}

void SampleClock::StartRun(std::uint64_t first_sample, std::uint32_t count,
                           std::int64_t return_ns) {
  running_ = true;
  ref_sample_ = static_cast<std::int64_t>(first_sample + count - 1u);
  ref_ns_ = return_ns;
  shift_ = 0;
  open_shift_ = 0;
  since_break_ = -1;
  break_next_ = false;
  restart_y_ = 0.0;
  head_ = 0;
  size_ = 1;
  bucket_fill_ = 1;
  break_entries_ = 0;
  ring_[0] = Point{0.0, 0.0, 0};
  segment_ = 0;
  slope_fitted_ = false;
  residuals_[0] = 0.0;
  residual_count_ = 1;
  residual_next_ = 1;
  a_ = 0.0;
  b_ = nominal_;
  period_out_ = nominal_;
  next_y_ = nominal_;
  next_sample_ = first_sample + count;
  lock_ = ClockLock::kSettling;
  lock_after_ns_ = -1;
}

bool SampleClock::Edge(int begin, int end, double* slope, double* a) const {
  auto at = [&](int i) -> const Point& { return ring_[(head_ + i) % kWindow]; };
  if (end - begin < 2 || (at(end - 1).x - at(begin).x) * nominal_ < kSlopeSpanNs) return false;
  // Lower hull, monotone chain (x strictly increases).
  int hull[kWindow];
  int h = 0;
  double sum_x = 0.0;
  for (int i = begin; i < end; ++i) {
    const Point& p = at(i);
    sum_x += p.x;
    while (h >= 2) {
      const Point& o = at(hull[h - 2]);
      const Point& q = at(hull[h - 1]);
      double cross = (q.x - o.x) * (p.y - o.y) - (q.y - o.y) * (p.x - o.x);
      if (cross > 0.0) break;
      --h;
    }
    hull[h++] = i;
  }
  const double mean_x = sum_x / (end - begin);
  for (int j = 0; j + 1 < h; ++j) {
    const Point& p = at(hull[j]);
    const Point& q = at(hull[j + 1]);
    if (q.x >= mean_x || j + 2 == h) {
      *slope = (q.y - p.y) / (q.x - p.x);
      *a = p.y - *slope * p.x;
      return true;
    }
  }
  return false;
}

void SampleClock::Refit() {
  // The points in order, oldest first.
  auto at = [&](int i) -> const Point& { return ring_[(head_ + i) % kWindow]; };
  // The runs of points between the card's losses, newest first: the rate is
  // fitted within each (across a loss the points stand where the fit put
  // them, so a fit across it would confirm its own rate), weighted by the
  // square of its span.
  int newest_begin = size_ - 1;
  while (newest_begin > 0 && at(newest_begin - 1).segment == at(size_ - 1).segment) {
    --newest_begin;
  }
  int edges = 0;
  bool newest = false;
  double newest_slope = 0.0, newest_a = 0.0;
  double weight_sum = 0.0, slope_sum = 0.0;
  for (int end = size_; end > 0;) {
    int begin = end - 1;
    while (begin > 0 && at(begin - 1).segment == at(end - 1).segment) --begin;
    double edge_slope = 0.0, edge_a = 0.0;
    if (Edge(begin, end, &edge_slope, &edge_a)) {
      const double span = at(end - 1).x - at(begin).x;
      weight_sum += span * span;
      slope_sum += span * span * edge_slope;
      ++edges;
      if (end == size_) {
        newest = true;
        newest_slope = edge_slope;
        newest_a = edge_a;
      }
    }
    end = begin;
  }
  double slope;
  bool through_edge = false;
  if (edges == 1 && newest) {
    slope = newest_slope;
    a_ = newest_a;
    through_edge = true;
  } else if (edges > 0) {
    slope = slope_sum / weight_sum;
  } else {
    slope = slope_fitted_ ? b_ : nominal_;
  }
  slope_fitted_ = slope_fitted_ || edges > 0;
  const double low = nominal_ * (1.0 - kMaxDriftPpm * 1e-6);
  const double high = nominal_ * (1.0 + kMaxDriftPpm * 1e-6);
  if (slope < low || slope > high) {
    slope = std::min(high, std::max(low, slope));
    through_edge = false;
  }
  b_ = slope;
  if (!through_edge) {
    // The line at this slope under the newest run's points when it spans
    // enough, else under every point, touching one.
    const int begin = newest ? newest_begin : 0;
    double a = at(begin).y - slope * at(begin).x;
    for (int i = begin + 1; i < size_; ++i) a = std::min(a, at(i).y - slope * at(i).x);
    a_ = a;
  }
}

BlockClockTimes SampleClock::Add(std::uint64_t first_sample, std::uint32_t count,
                                 std::int64_t return_ns, bool lost, std::uint64_t held) {
  BlockClockTimes times;
  if (count == 0) {
    // The next block starts after the samples the card's restart dropped.
    break_next_ = break_next_ || lost;
    times.first_mono_ns = checked_time::SaturatingAdd(ref_ns_, Nearest(next_y_));
    times.period_ns = period_out_;
    return times;
  }
  const double y = static_cast<double>(checked_time::SaturatingSubtract(return_ns, ref_ns_));
  if (!running_ || first_sample < next_sample_) {
    StartRun(first_sample, count, return_ns);
    times.first_mono_ns = checked_time::SaturatingAdd(ref_ns_, Nearest(-(count - 1.0) * b_));
    times.period_ns = period_out_;
    times.run_start = true;
    return times;
  }
  const std::uint64_t missing = first_sample - next_sample_;
  const bool break_here = lost || break_next_;
  const bool restarted = break_next_ && !lost;
  break_next_ = lost;
  double x_first = static_cast<double>(checked_time::SaturatingSubtract(
      checked_time::SaturatingAdd(static_cast<std::int64_t>(first_sample), shift_), ref_sample_));
  double x_last = x_first + (count - 1.0);
  std::int64_t added = 0;
  if (break_here) {
    // Samples lost unnumbered: as many periods as this return lies after the
    // fit, at most (its own delay would make fewer); a flagged block's last
    // sample came before the samples held behind it.
    const double bound = lost ? y - static_cast<double>(held) * b_ : y;
    const double r = bound - Line(x_last);
    added = r > 0.0 ? ToInt64(std::floor(r / b_)) : 0;
    if (restarted) {
      // Started afresh at the flagged block's return: its first sample was
      // taken within a period after that (the middle taken), if the return
      // allows.
      const double since = restart_y_ + 0.5 * b_ - Line(x_first);
      added = std::min(added, since > 0.0 ? ToInt64(std::floor(since / b_ + 0.5)) : 0);
    }
    if (lost) restart_y_ = y;
    shift_ = checked_time::SaturatingAdd(shift_, added);
    open_shift_ = checked_time::SaturatingAdd(open_shift_, added);
    since_break_ = 1;
  } else if (since_break_ >= 0) {
    // A return before the fit after a loss: fewer were lost than its block
    // took; the blocks since move back by the difference.
    double r = y - Line(x_last);
    if (r < 0.0 && open_shift_ > 0) {
      std::int64_t fewer = std::min(open_shift_, ToInt64(std::ceil(-r / b_)));
      shift_ = checked_time::SaturatingSubtract(shift_, fewer);
      open_shift_ -= fewer;
      x_first -= static_cast<double>(fewer);
      for (int i = 0; i < break_entries_ && i < size_; ++i) {
        ring_[(head_ + size_ - 1 - i) % kWindow].x -= static_cast<double>(fewer);
      }
      added = -fewer;
    }
    if (++since_break_ > kBreakBlocks) {
      since_break_ = -1;
      open_shift_ = 0;
    }
  }
  x_first += static_cast<double>(added > 0 ? added : 0);
  x_last = x_first + (count - 1.0);
  bool refit = added != 0;
  if (break_here || bucket_fill_ >= kBucketBlocks) {
    refit = true;
    if (size_ == kWindow) {
      head_ = (head_ + 1) % kWindow;
      --size_;
    }
    if (break_here) ++segment_;
    ring_[(head_ + size_) % kWindow] = Point{x_last, y, segment_};
    ++size_;
    bucket_fill_ = 1;
    break_entries_ = break_here ? 1 : break_entries_ + 1;
  } else {
    // The newest entry keeps the least late of its blocks; the fit changes
    // only when it does (or lost samples moved the entries).
    Point& newest = ring_[(head_ + size_ - 1) % kWindow];
    if (y - Line(x_last) < newest.y - Line(newest.x)) {
      newest = Point{x_last, y, segment_};
      refit = true;
    }
    ++bucket_fill_;
  }
  if (refit) Refit();
  residuals_[residual_next_] = y - Line(x_last);
  residual_next_ = (residual_next_ + 1) % kWindow;
  if (residual_count_ < kWindow) ++residual_count_;

  const double start =
      next_y_ +
      (static_cast<double>(missing) + static_cast<double>(added > 0 ? added : 0)) * period_out_;
  const double error = start - Line(x_first);
  const double span_ns = (ring_[(head_ + size_ - 1) % kWindow].x - ring_[head_].x) * nominal_;
  const int blocks = (size_ - 1) * kBucketBlocks + bucket_fill_;
  if (lock_ == ClockLock::kSettling && blocks >= kLockBlocks && span_ns >= kLockSpanNs &&
      std::fabs(error) <= kLockErrorNs) {
    lock_ = ClockLock::kLocked;
    if (lock_after_ns_ < 0) lock_after_ns_ = checked_time::SaturatingSubtract(return_ns, ref_ns_);
  } else if (lock_ == ClockLock::kLocked && std::fabs(error) > kUnlockErrorNs) {
    lock_ = ClockLock::kSettling;
  }
  const bool locked = lock_ == ClockLock::kLocked;
  const double gain = locked ? kLockedGain : kSettlingGain;
  const double slew = locked ? kLockedSlew : kSettlingSlew;
  double period = b_ - gain * error / count;
  period = std::min(b_ * (1.0 + slew), std::max(b_ * (1.0 - slew), period));

  times.first_mono_ns = checked_time::SaturatingAdd(ref_ns_, Nearest(start));
  times.period_ns = period;
  times.missing_numbered = missing;
  times.missing_estimated = added > 0 ? static_cast<std::uint64_t>(added) : 0;
  period_out_ = period;
  next_y_ = start + count * period;
  next_sample_ = first_sample + count;
  return times;
}

ClockFit SampleClock::Fit() const {
  ClockFit fit;
  fit.lock = lock_;
  fit.period_ns = b_;
  fit.rate_hz = 1e9 / b_;
  fit.drift_ppm = (nominal_ / b_ - 1.0) * 1e6;
  fit.lock_after_ns = lock_after_ns_;
  if (!running_) return fit;
  fit.lost_samples = shift_;
  fit.window_blocks = static_cast<std::uint32_t>((size_ - 1) * kBucketBlocks + bucket_fill_);
  // Each block's return after the fit of its time, over the last kWindow.
  const int n = residual_count_;
  double sorted[kWindow];
  std::copy(residuals_, residuals_ + n, sorted);
  std::sort(sorted, sorted + n);
  fit.residual_median_ns = sorted[(n - 1) / 2];
  fit.residual_p99_ns = sorted[(99 * n + 99) / 100 - 1];
  fit.residual_max_ns = sorted[n - 1];
  return fit;
}

}  // namespace scanmon_lib
