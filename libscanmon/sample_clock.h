// The sample clock: when each sample was taken, on the host's monotonic clock,
// from what every source has: each block's sample numbers and the time its
// fetch returned.
//
// The card takes a sample every period of its own clock, which drifts slowly
// against the host's; it does not stamp them. A fetch returns after its last
// sample was taken, late by a delay that varies (the driver's wake-up, a busy
// host), never early. So each block's return is an upper bound on its last
// sample's time, and the line of sample number against time lies under all of
// them: the clock fits the lower envelope (the lower convex hull of the recent
// returns, the edge over their mean, as network clocks fit a skew under
// one-sided delays), not a mean that the late returns would pull late. The
// returns are kept as the least late of every kBucketBlocks, so the window
// spans about 50 s of 25 ms fetches and the rate is fitted to a fraction of a
// ppm. Across a loss of the card the points stand where the fit put them (the
// lost samples' number comes from the fit): a hull over both sides would only
// confirm the fit's own rate. So the rate is fitted within each run of points
// between losses, weighted by the square of its span, and the line laid under
// the newest run's points (under all of them while it is short).
//
// The times handed out follow the fit without jumping: a block starts one
// period after the previous block's last sample (numbered samples missing
// between them: their number of periods), and its period is the fitted one,
// steered by a bounded share towards the envelope so that a new, less late
// return moves the times smoothly. Times strictly increase within a run.
//
// Samples the card lost (a block flagged with lost data, and the one after it,
// since the buffer is started afresh) are not numbered: their number is taken
// from the block's return against the fit, at most the return allows, and
// lowered while the next returns show fewer (the gap is then known to within
// the least fetch delay among those returns). The flagged block holds the
// oldest samples of a full buffer: its return is late by all the samples still
// held behind it, which the reader throws away when it restarts the card; a
// source that counted them (`held`) has its last sample that many periods
// earlier. The block after it was started afresh at the flagged block's
// return: its first sample was taken one period after that, not after its own
// return's delay.
//
// Small, deterministic and allocation-free; python/scanmon/clock.py is the same
// algorithm, step for step (a test compares them on one capture).
#pragma once

#include <cstdint>

namespace scanmon_lib {

enum class ClockLock { kNone, kSettling, kLocked };

// One block's times.
struct BlockClockTimes {
  std::int64_t first_mono_ns = 0;       // the block's first sample, host monotonic ns
  double period_ns = 0.0;               // sample k of the block at first_mono_ns + k * period_ns
  std::uint64_t missing_numbered = 0;   // samples missing before it, by their numbers
  std::uint64_t missing_estimated = 0;  // samples the card lost before it, from the times
  bool run_start = false;               // the first block of a run (times restart)
};

// The clock's state after the last block.
struct ClockFit {
  ClockLock lock = ClockLock::kNone;
  double period_ns = 0.0;           // the fitted sample period (host ns)
  double rate_hz = 0.0;             // samples per second of the host's clock
  double drift_ppm = 0.0;           // the card's clock against its nominal period (+: fast)
  double residual_median_ns = 0.0;  // fetch returns after the envelope, over the window
  double residual_p99_ns = 0.0;
  double residual_max_ns = 0.0;
  std::uint32_t window_blocks = 0;  // blocks the fit stands on
  std::int64_t lock_after_ns = -1;  // host ns from the run's first return to lock; -1 not yet
  std::int64_t lost_samples = 0;    // the card lost this many unnumbered in the run, so far
};

class SampleClock {
 public:
  static constexpr int kWindow = 256;            // least late returns kept
  static constexpr int kBucketBlocks = 8;        // blocks each stands for
  static constexpr int kLockBlocks = 32;         // returns needed before locking
  static constexpr double kLockErrorNs = 50000;  // locks once the times are this close
  static constexpr double kUnlockErrorNs = 1e6;  // a locked clock this far off settles again
  static constexpr double kSlopeSpanNs = 2e9;    // the rate is fitted over at least this
  // and locked over at least this: the rate fitted over a shorter window is
  // still off by up to tens of ppm when the returns are late by up to 2 ms,
  // which moves the times by up to 100 us before the window has grown.
  static constexpr double kLockSpanNs = 20e9;
  static constexpr double kMaxDriftPpm = 2000;  // a fit beyond is held at it
  static constexpr double kSettlingGain = 0.5, kLockedGain = 0.125;
  static constexpr double kSettlingSlew = 0.01, kLockedSlew = 200e-6;
  static constexpr int kBreakBlocks = 40;  // blocks after a loss that may lower its size

  explicit SampleClock(double nominal_period_ns = 5000.0) { Reset(nominal_period_ns); }
  void Reset(double nominal_period_ns);

  // One block: the number of its first sample, its sample count, when its fetch
  // returned (host monotonic ns), whether the card reported lost data on it,
  // and for such a block the samples the card still held behind it when it was
  // restarted (0: not known). Returns the block's times. A block without
  // samples changes nothing.
  BlockClockTimes Add(std::uint64_t first_sample, std::uint32_t count, std::int64_t return_ns,
                      bool lost, std::uint64_t held = 0);

  // The fit after the last block (residuals computed here: O(kWindow)).
  ClockFit Fit() const;

 private:
  struct Point {
    double x;     // the block's last sample, virtual number, from the run's reference
    double y;     // its fetch's return, ns from the run's reference
    int segment;  // the run of points between two of the card's losses
  };
  void StartRun(std::uint64_t first_sample, std::uint32_t count, std::int64_t return_ns);
  void Refit();
  // The hull edge over the mean of points [begin, end) (oldest first), when
  // they span kSlopeSpanNs.
  bool Edge(int begin, int end, double* slope, double* a) const;
  double Line(double x) const { return a_ + b_ * x; }

  double nominal_ = 5000.0;
  bool running_ = false;
  std::int64_t ref_sample_ = 0;    // the run's reference (its first block's last sample)
  std::int64_t ref_ns_ = 0;        // and its return
  std::int64_t shift_ = 0;         // samples the card lost so far (virtual = number + shift)
  std::int64_t open_shift_ = 0;    // of them, those the next returns may still lower
  std::uint64_t next_sample_ = 0;  // the number after the last block's last sample
  double next_y_ = 0.0;            // the time the times put that sample at
  double period_out_ = 0.0;        // the last block's period
  double a_ = 0.0, b_ = 5000.0;    // the fit: y = a + b x
  Point ring_[kWindow] = {};
  int head_ = 0, size_ = 0;
  int bucket_fill_ = 0;             // blocks in the newest entry
  int break_entries_ = 0;           // entries since the last loss
  double residuals_[kWindow] = {};  // the last blocks' returns after the fit
  int residual_count_ = 0, residual_next_ = 0;
  int since_break_ = -1;  // points since the last loss, its own included (-1: none open)
  bool break_next_ = false;
  double restart_y_ = 0.0;
  int segment_ = 0;            // the newest points' run between losses
  bool slope_fitted_ = false;  // the rate has been fitted in this run  // the flagged block's
                               // return: when the card was started afresh
  ClockLock lock_ = ClockLock::kNone;
  std::int64_t lock_after_ns_ = -1;
};

}  // namespace scanmon_lib
