// The card's sample buffer over time; time is an input, so nothing sleeps.
#include <gtest/gtest.h>

#include "standin/sample_stream.h"

namespace standin {
namespace {

constexpr std::int64_t kMs = 1000000;

SampleStream Running(std::int64_t period_ns, std::int64_t buffer, std::int64_t start) {
  SampleStream s;
  s.period_ns = period_ns;
  s.buffer_samples = buffer;
  StartStream(&s, start);
  return s;
}

TEST(SampleStream, SamplesArriveOnePerPeriod) {
  SampleStream s = Running(5000, 65536, 1000 * kMs);
  EXPECT_EQ(RefreshStream(&s, 1000 * kMs), 0);
  // 5000 samples at 5 us take 25 ms: that is when a 5000-sample fetch returns.
  EXPECT_EQ(TimeWhenWaiting(s, 5000), 1025 * kMs);
  EXPECT_EQ(RefreshStream(&s, 1025 * kMs - 1), 4999);
  std::uint64_t first = 99;
  EXPECT_EQ(TakeSamples(&s, 1025 * kMs, 5000, &first), 5000);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(TimeWhenWaiting(s, 5000), 1050 * kMs);
  EXPECT_EQ(TakeSamples(&s, 1030 * kMs, 5000, &first), 1000);
  EXPECT_EQ(first, 5000u);
  EXPECT_FALSE(s.overflowed);
  EXPECT_EQ(SampleTime(s, 0), 1000 * kMs + 5000);
}

TEST(SampleStream, AFullRingOverwritesTheOldestAndRaisesOverflow) {
  SampleStream s = Running(10000, 1000, 0);
  std::uint64_t first = 0;
  // 1500 samples taken, only the newest 1000 kept.
  EXPECT_EQ(TakeSamples(&s, 15 * kMs, 5000, &first), 1000);
  EXPECT_EQ(first, 500u);
  EXPECT_TRUE(s.overflowed);
  s.overflowed = false;  // reported by the fetch
  EXPECT_EQ(TakeSamples(&s, 16 * kMs, 5000, &first), 100);
  EXPECT_EQ(first, 1500u);
  EXPECT_FALSE(s.overflowed);
  // Exactly a full buffer is no overflow.
  EXPECT_EQ(RefreshStream(&s, 26 * kMs), 1000);
  EXPECT_FALSE(s.overflowed);
}

TEST(SampleStream, ClearDropsWaitingSamplesAndTheOverflow) {
  SampleStream s = Running(10000, 100, 0);
  RefreshStream(&s, 50 * kMs);
  ASSERT_TRUE(s.overflowed);
  ClearStream(&s, 50 * kMs);
  EXPECT_FALSE(s.overflowed);
  EXPECT_EQ(RefreshStream(&s, 50 * kMs), 0);
  EXPECT_EQ(RefreshStream(&s, 51 * kMs), 100);
}

TEST(SampleStream, StopKeepsWaitingSamplesAndRestartBeginsAFreshRun) {
  SampleStream s = Running(10000, 65536, 0);
  StopStream(&s, 10 * kMs);
  EXPECT_EQ(RefreshStream(&s, 500 * kMs), 1000);
  EXPECT_EQ(TimeWhenWaiting(s, 2000), -1) << "a stopped card never gets there";
  StartStream(&s, 600 * kMs);
  EXPECT_EQ(RefreshStream(&s, 600 * kMs), 0);
  std::uint64_t first = 0;
  EXPECT_EQ(TakeSamples(&s, 601 * kMs, 10, &first), 10);
  EXPECT_EQ(first, 1000u) << "sample numbers go on across runs";
  EXPECT_EQ(SampleTime(s, 1000), 600 * kMs + 10000);
  // Starting a running card changes nothing.
  StartStream(&s, 700 * kMs);
  EXPECT_EQ(RefreshStream(&s, 700 * kMs), 9990);
}

TEST(SampleStream, ANewPeriodRestartsTheSampleClock) {
  SampleStream s = Running(20000, 65536, 0);
  ChangeStreamPeriod(&s, 10 * kMs, 5000);
  EXPECT_EQ(RefreshStream(&s, 10 * kMs), 0);
  EXPECT_EQ(RefreshStream(&s, 11 * kMs), 200);
}

TEST(SampleStream, UnpacedFetchesRunAsFastAsTheReader) {
  SampleStream s;
  s.period_ns = 5000;
  std::uint64_t first = 0;
  TakeSamplesUnpaced(&s, 5000, &first);
  EXPECT_EQ(first, 0u);
  TakeSamplesUnpaced(&s, 5000, &first);
  EXPECT_EQ(first, 5000u);
  EXPECT_EQ(SampleTime(s, 5000) - SampleTime(s, 4999), 5000);
  EXPECT_FALSE(s.overflowed);
}

TEST(SampleStream, ADriftingClockKeepsTimesAndCountsExactInverses) {
  // Sample k is taken by SampleTime(k) and not a nanosecond before, whatever the
  // drift; n samples span n periods shortened by the drift (the truth the
  // processed records carry comes from SampleTime).
  const struct {
    std::int64_t period_ns;
    double ppm;
  } cases[] = {{5000, 0.0}, {5000, 50.0}, {5000, -50.0}, {20000, 999.5}, {7000, -0.3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppm);
    SampleStream s;
    s.period_ns = c.period_ns;
    s.drift_ppm = c.ppm;
    StartStream(&s, 123 * kMs);
    for (std::uint64_t seq : {0ull, 1ull, 4999ull, 123456789ull, 3000000000ull}) {
      std::int64_t t = SampleTime(s, seq);
      EXPECT_EQ(SamplesTaken(s, t), seq + 1);
      EXPECT_EQ(SamplesTaken(s, t - 1), seq);
    }
    double span = static_cast<double>(SampleTime(s, 200000000) - SampleTime(s, 0));
    // The host period is kept to the picosecond: within half of one per sample.
    EXPECT_NEAR(span, 200000000.0 * c.period_ns / (1 + c.ppm * 1e-6), 200000000 * 0.0005);
  }
}

}  // namespace
}  // namespace standin
