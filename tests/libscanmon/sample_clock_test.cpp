// The sample clock against scripted fetch returns: a card whose true sample
// times are known, fetches returning late by a varying delay, and the troubles
// of a real run (drift, a very late return, dropped blocks, a cut last block,
// data the card lost).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "libscanmon/sample_clock.h"

namespace scanmon_lib {
namespace {

constexpr double kNominalNs = 5000.0;   // 200 kHz
constexpr std::uint32_t kFetch = 5000;  // samples per fetch
constexpr double kLatencyNs = 40000.0;  // the least delay: the driver's wake-up

struct Case {
  const char* name;
  double ppm;                // the card's clock fast by this much
  double delay_ms;           // returns late by up to this on top of the least delay
  int late_block;            // this block's return comes 300 ms late (-1: none)
  int drop_at, drop_blocks;  // numbered samples dropped before block drop_at
  std::uint32_t cut_last;    // the last block cut to this many samples (0: not)
  int lost_at;               // card lost samples before this block (flagged; -1: none)
  std::int64_t lost_samples;
  double error_after_lock_ns;  // |time - true - least delay| once locked, at most
};

struct Outcome {
  double worst_error_ns = 0.0;  // over the blocks after lock
  bool locked = false;
  bool increasing = true;
  double drift_ppm = 0.0;
  std::int64_t lost_samples = 0;
};

// A deterministic delay in [0, bound): the same sequence every run.
double NextDelay(std::uint64_t* state, double bound_ns) {
  *state = *state * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<double>(*state >> 11) / 9007199254740992.0 * bound_ns;
}

Outcome RunScript(const Case& c, int blocks) {
  const double true_period = kNominalNs / (1.0 + c.ppm * 1e-6);
  const double t0 = 1e12;  // the host's clock when sample 0 was taken
  SampleClock clock(kNominalNs);
  Outcome out;
  std::uint64_t rng = 12345;
  std::uint64_t card_sample = 0;  // the card's own count (also lost samples)
  std::uint64_t numbered = 0;     // the library's count (not the lost ones)
  double previous_end = -1e300;
  double last_return = 0.0;
  for (int i = 0; i < blocks; ++i) {
    if (i == c.drop_at) {
      card_sample += static_cast<std::uint64_t>(c.drop_blocks) * kFetch;
      numbered += static_cast<std::uint64_t>(c.drop_blocks) * kFetch;
    }
    const bool lost = i == c.lost_at;
    if (lost) card_sample += static_cast<std::uint64_t>(c.lost_samples);
    std::uint32_t count = (i == blocks - 1 && c.cut_last != 0) ? c.cut_last : kFetch;
    const double true_first = t0 + static_cast<double>(card_sample) * true_period;
    // The fetch returned after its whole load (a cut block's too).
    double returned = t0 + static_cast<double>(card_sample + kFetch - 1) * true_period +
                      kLatencyNs + NextDelay(&rng, c.delay_ms * 1e6);
    if (i == c.late_block) returned += 300e6;
    // One call after the other: a return never comes before the last one.
    returned = std::max(returned, last_return + 10000.0);
    last_return = returned;
    BlockClockTimes t =
        clock.Add(numbered, count, static_cast<std::int64_t>(std::llround(returned)), lost);
    const double start = static_cast<double>(t.first_mono_ns);
    if (i > 0 && !(start > previous_end)) out.increasing = false;
    previous_end = start + (count - 1.0) * t.period_ns;
    const ClockFit fit = clock.Fit();
    if (fit.lock == ClockLock::kLocked &&
        (i < c.lost_at || i >= c.lost_at + 2 * SampleClock::kBreakBlocks)) {
      out.locked = true;
      out.worst_error_ns = std::max(out.worst_error_ns, std::fabs(start - true_first - kLatencyNs));
    }
    out.drift_ppm = fit.drift_ppm;
    out.lost_samples = fit.lost_samples;
    card_sample += kFetch;
    numbered += count;
  }
  return out;
}

TEST(SampleClock, FitsTheLowerEnvelopeOfLateReturnsWhateverTheRunBrings) {
  const Case cases[] = {
      {"steady", 0, 2, -1, -1, 0, 0, -1, 0, 100000},
      {"drifting 50 ppm", 50, 2, -1, -1, 0, 0, -1, 0, 100000},
      {"drifting -300 ppm", -300, 2, -1, -1, 0, 0, -1, 0, 100000},
      {"one very late return", 50, 2, 300, -1, 0, 0, -1, 0, 100000},
      {"dropped blocks", 50, 2, -1, 300, 7, 0, -1, 0, 100000},
      {"cut last block", 50, 2, -1, -1, 0, 2500, -1, 0, 100000},
      {"card lost data", 50, 2, -1, -1, 0, 0, 300, 71, 150000},
      {"no delay at all", 50, 0, -1, -1, 0, 0, -1, 0, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = RunScript(c, 1200);  // 30 s of fetches
    EXPECT_TRUE(out.locked);
    EXPECT_TRUE(out.increasing);
    EXPECT_LE(out.worst_error_ns, c.error_after_lock_ns);
    EXPECT_NEAR(out.drift_ppm, c.ppm, 5.0);
    if (c.lost_at >= 0) {
      EXPECT_NEAR(static_cast<double>(out.lost_samples), c.lost_samples, 20.0);
    }
  }
}

TEST(SampleClock, LocksAfterTwentySecondsAndReportsItsResiduals) {
  SampleClock clock(kNominalNs);
  std::uint64_t rng = 7;
  for (int i = 0; i < 1000; ++i) {
    double returned = 1e12 + (i + 1.0) * kFetch * kNominalNs + NextDelay(&rng, 2e6);
    clock.Add(static_cast<std::uint64_t>(i) * kFetch, kFetch, static_cast<std::int64_t>(returned),
              false);
  }
  ClockFit fit = clock.Fit();
  EXPECT_EQ(fit.lock, ClockLock::kLocked);
  EXPECT_GT(fit.lock_after_ns, 0);
  EXPECT_GE(fit.lock_after_ns, 20000000000);
  EXPECT_LT(fit.lock_after_ns, 21000000000);
  EXPECT_EQ(fit.window_blocks, 1000u);
  EXPECT_EQ(fit.residual_p99_ns >= fit.residual_median_ns, true);
  EXPECT_NEAR(fit.residual_median_ns, 1e6, 2.5e5) << "uniform delays up to 2 ms";
  EXPECT_LE(fit.residual_max_ns, 2e6 + 1e4);
  EXPECT_NEAR(fit.rate_hz, 200000.0, 2.0);
  // Numbers that run back start a new run.
  BlockClockTimes restart = clock.Add(0, kFetch, static_cast<std::int64_t>(2e12), false);
  EXPECT_TRUE(restart.run_start);
  EXPECT_EQ(clock.Fit().lock, ClockLock::kSettling);
}

}  // namespace
}  // namespace scanmon_lib
