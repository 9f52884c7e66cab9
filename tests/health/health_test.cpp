// The health figures from synthetic fetches: a mirror whose index mark comes
// every so many samples, fetched in fixed-size pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "health/scan_health.h"
#include "hsif/driver_records.h"

namespace {

// A simulated run: the mirror's mark every `spacing` samples (0: no marks),
// fetched `fetch_size` at a time, one fetch every `fetch_s` of wall clock.
struct SimulatedRun {
  HealthState state;
  std::vector<ProcessedSample> buffer;
  std::uint64_t next_sample = 0;  // the angle of the next sample
  std::uint32_t since_mark = 0;   // samples since the mirror's last mark
  double now_s = 100.0;

  explicit SimulatedRun(HealthSettings settings = {}) { StartHealth(state, settings); }

  void Fetch(std::uint32_t count, std::uint32_t spacing, double period_us = 20.0, bool lost = false,
             double fetch_s = 0.02) {
    buffer.assign(count, ProcessedSample{});
    for (std::uint32_t i = 0; i < count; ++i, ++next_sample) {
      buffer[i].angle = static_cast<double>(next_sample);
      if (spacing != 0 && ++since_mark >= spacing) {
        buffer[i].flags = kProcessedIndexFlag;
        since_mark = 0;
      }
    }
    now_s += fetch_s;
    FeedHealth(state, buffer.data(), count, lost, period_us, now_s);
  }
  // Samples the card took but never delivered.
  void Lose(std::uint32_t count, std::uint32_t spacing) {
    next_sample += count;
    since_mark = (since_mark + count) % spacing;
  }
  // Seconds of samples at 20 us, in fetches of 1000.
  void Turn(double seconds, std::uint32_t spacing) {
    for (int k = 0; k < static_cast<int>(seconds * 50); ++k) Fetch(1000, spacing);
  }
};

TEST(Health, MirrorRateFromMarkSpacing) {
  const struct {
    const char* name;
    double first_s;       // seconds of samples at the first spacing
    std::uint32_t first;  // samples per revolution (0: mirror stopped)
    double then_s;        // then this long at the second spacing
    std::uint32_t then;
    bool rate_known;
    double mean, min, max;  // over the last second
    bool rate_warning;
    bool no_index_warning;
  } cases[] = {
      {"steady 20 rev/s", 3, 2500, 0, 2500, true, 20, 20, 20, false, false},
      {"steady 10 rev/s", 3, 5000, 0, 5000, true, 10, 10, 10, false, false},
      {"slowed by a fifth", 20, 2500, 0.5, 3125, true, 18, 16, 20, true, false},
      {"stopped from the start", 1.2, 0, 0, 0, false, 0, 0, 0, false, true},
      {"stopped after turning", 3, 2500, 1.2, 0, false, 0, 0, 0, false, true},
      {"under a second without marks", 0.9, 0, 0, 0, false, 0, 0, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedRun run;
    run.Turn(c.first_s, c.first);
    run.Turn(c.then_s, c.then);
    HealthFigures figures = ReadHealth(run.state);
    EXPECT_EQ(figures.rate_known, c.rate_known);
    EXPECT_EQ(figures.rate_warning, c.rate_warning);
    EXPECT_EQ(figures.no_index_warning, c.no_index_warning);
    // Which revolution ends first inside the window moves the mean a little.
    if (c.rate_known) {
      EXPECT_NEAR(figures.rate_mean, c.mean, 0.3);
      EXPECT_NEAR(figures.rate_min, c.min, 1e-9);
      EXPECT_NEAR(figures.rate_max, c.max, 1e-9);
    }
  }
}

TEST(Health, LostDataBreaksTheSpacing) {
  SimulatedRun run;
  run.Turn(2, 2500);
  // 1200 samples go missing: the next mark comes early by the lost amount.
  run.Lose(1200, 2500);
  run.Fetch(1000, 2500, 20.0, /*lost=*/true);
  run.Turn(0.5, 2500);
  HealthFigures figures = ReadHealth(run.state);
  EXPECT_EQ(figures.lost_events, 1u);
  EXPECT_NEAR(figures.rate_min, 20.0, 1e-9);
  EXPECT_NEAR(figures.rate_max, 20.0, 1e-9);
  EXPECT_FALSE(figures.rate_warning);
}

TEST(Health, SummaryTellsWhenTheMirrorStoppedOrChangedRate) {
  const struct {
    const char* name;
    std::uint32_t then;  // samples per revolution after 2 s at 2500 (0: stopped)
    double then_s;
    bool gap;  // samples missing (a gap noted) instead
    const char* says;
  } cases[] = {
      {"stopped 3 s", 0, 3, false,
       "mirror stopped 1 time, 3.0 s in all (longest 3.0 s, from 2.0 s)"},
      {"half the rate", 5000, 3, false,
       "mirror rate changed 1 time (first at 2.0 s: 20.00 to 10.00"},
      {"a gap between fetches", 2500, 3, true, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    SimulatedRun run;
    run.Turn(2, 2500);
    if (k.gap) {
      run.Lose(1200, 2500);
      NoteHealthGap(run.state);
    }
    // The stop ends with a mark: the same rate again.
    run.Turn(k.then_s, k.then);
    if (k.then == 0) run.Turn(0.1, 2500);
    HealthTotals totals = SummarizeHealth(run.state);
    char text[256];
    DescribeMirrorEvents(totals, text, sizeof text);
    EXPECT_EQ(std::string(text).substr(0, std::string(k.says).size()), k.says) << text;
    if (k.gap) {
      EXPECT_NEAR(totals.rate_min, 20.0, 1e-9);
      EXPECT_EQ(totals.lost_events, 0u);
    }
  }
}

TEST(Health, WallClockRatesAngleAndTotals) {
  SimulatedRun run;
  EXPECT_FALSE(ReadHealth(run.state).rates_known);
  EXPECT_FALSE(ReadHealth(run.state).angle_known);
  run.Fetch(0, 2500);  // an empty fetch counts as a fetch
  run.Turn(3, 2500);
  HealthFigures figures = ReadHealth(run.state);
  ASSERT_TRUE(figures.rates_known);
  EXPECT_NEAR(figures.fetches_per_s, 50.0, 1e-6);
  EXPECT_NEAR(figures.samples_per_s, 50000.0, 1e-3);
  ASSERT_TRUE(figures.angle_known);
  EXPECT_EQ(figures.last_angle, static_cast<double>(run.next_sample - 1));

  HealthTotals totals = SummarizeHealth(run.state);
  EXPECT_NEAR(totals.run_s, 150 * 0.02, 1e-9);
  EXPECT_EQ(totals.fetches, 151u);
  EXPECT_EQ(totals.samples, 150000u);
  EXPECT_EQ(totals.index_marks, 60u);
  EXPECT_EQ(totals.lost_events, 0u);
  ASSERT_TRUE(totals.rate_known);
  EXPECT_NEAR(totals.rate_mean, 20.0, 1e-9);
}

TEST(Health, BadPeriodStopsTheSampleClock) {
  for (double period : {0.0, -20.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
    SimulatedRun run;
    run.Turn(2, 2500);
    for (int k = 0; k < 100; ++k) run.Fetch(1000, 2500, period);
    HealthFigures figures = ReadHealth(run.state);
    EXPECT_FALSE(figures.no_index_warning) << period;
    EXPECT_TRUE(figures.rate_known) << period;  // the last good second still stands
    EXPECT_EQ(SummarizeHealth(run.state).index_marks, 80u) << period;  // still counted
  }
}

TEST(Health, WindowHoldsTheLatestRevolutionsWhenTheMirrorIsVeryFast) {
  SimulatedRun run;
  // 10 samples a revolution at 5 us: 20000 rev/s, more than the ring holds.
  for (int k = 0; k < 250; ++k) run.Fetch(1000, 10, 5.0);
  HealthFigures figures = ReadHealth(run.state);
  ASSERT_TRUE(figures.rate_known);
  EXPECT_NEAR(figures.rate_mean, 20000.0, 1e-6);
}

}  // namespace
