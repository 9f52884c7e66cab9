// Angle conversion and the printout of one fetch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "monitor/angle.h"
#include "monitor/sample_round.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(AngleTenthsOfDegree, Table) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double radians;
    std::int32_t tenths;
  } cases[] = {
      {0.0, 0},
      {kPi, 1800},
      {2 * kPi, 0},  // 3600.006 tenths: one turn
      {-kPi / 2, -900},
      {0.5, 286},
      {0.6, 343},
      {0.7, 401},
      {3.14159 / 1800.0, 1},         // exactly one tenth with the literal divisor
      {-3.14159 / 1800.0 * 0.5, 0},  // truncation toward zero
      {4 * kPi + 0.5, 286},          // beyond one turn
      {-4 * kPi - 0.5, -286},        // the remainder keeps the angle's sign
      {std::nan(""), 0},
      {inf, 0},
      {-inf, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AngleTenthsOfDegree(c.radians), c.tenths) << c.radians;
  }
}

TEST(AngleTenthsOfDegree, HugeValuesStayInRange) {
  // Far beyond the 32-bit range: still a defined remainder, never overflow.
  for (double radians : {1e12, -1e12, 1e300, -1e300, std::numeric_limits<double>::max(),
                         std::numeric_limits<double>::denorm_min()}) {
    std::int32_t tenths = AngleTenthsOfDegree(radians);
    EXPECT_GT(tenths, -3600) << radians;
    EXPECT_LT(tenths, 3600) << radians;
  }
  // 1e12 rad = 1e12 x 1800 / 3.14159 = 572958279087977.74 tenths
  // = 159155077524 turns of 3600 and 1577.74: the exact remainder, truncated.
  EXPECT_EQ(AngleTenthsOfDegree(1e12), 1577);
  EXPECT_EQ(AngleTenthsOfDegree(-1e12), -1577);
}

std::string PrintRound(const std::vector<ProcessedSample>& samples, std::uint32_t count) {
  std::FILE* stream = std::tmpfile();
  EXPECT_NE(stream, nullptr);
  PrintSampleRound(stream, samples.data(), count);
  std::rewind(stream);
  std::string text;
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) text += static_cast<char>(c);
  std::fclose(stream);
  return text;
}

ProcessedSample Sample(double angle, std::uint16_t flags) {
  ProcessedSample sample{};
  sample.angle = angle;
  sample.flags = flags;
  return sample;
}

TEST(PrintSampleRound, FirstRecordThenIndexedRecords) {
  std::vector<ProcessedSample> samples = {Sample(0.5, 0), Sample(0.6, 4), Sample(0.7, 0)};
  EXPECT_EQ(PrintRound(samples, 3), "   286\t0\t\n>>>>    343\t1\t\n");
}

TEST(PrintSampleRound, IndexFlagIsBitTwoOnly) {
  std::vector<ProcessedSample> samples = {Sample(kPi, 0xFFFB), Sample(kPi, 4 | 1),
                                          Sample(-kPi / 2, 0x8004), Sample(0, 3)};
  EXPECT_EQ(PrintRound(samples, 4), "  1800\t0\t\n>>>>   1800\t1\t\n>>>>   -900\t1\t\n");
}

TEST(PrintSampleRound, EmptyFetchStillShowsTheFirstRecord) {
  std::vector<ProcessedSample> samples = {Sample(kPi, 4), Sample(0.6, 4)};
  EXPECT_EQ(PrintRound(samples, 0), "  1800\t1\t\n");
}

TEST(SampleCounts, DriverCountIsBoundedByTheBuffer) {
  EXPECT_EQ(BoundedSampleCount(0), 0u);
  EXPECT_EQ(BoundedSampleCount(4999), 4999u);
  EXPECT_EQ(BoundedSampleCount(5000), 5000u);
  EXPECT_EQ(BoundedSampleCount(5001), 5000u);
  EXPECT_EQ(BoundedSampleCount(0xFFFFFFFFu), 5000u);
}

TEST(SampleCounts, LostDataIsReadFromTheLastSlotOnly) {
  static RawSample raw[kRawBufferSlots];
  raw[0].words[0] = 1;
  EXPECT_FALSE(RawLostDataFlag(raw));
  raw[kRawBufferSlots - 1].words[0] = 0xFFFFFFFE;
  EXPECT_FALSE(RawLostDataFlag(raw));
  raw[kRawBufferSlots - 1].words[0] = 1;
  EXPECT_TRUE(RawLostDataFlag(raw));
}

}  // namespace
