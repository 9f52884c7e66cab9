// The revolution reader over scripted blocks: marks every 100 samples, blocks
// of 64, and what a run brings (its start and end, drops, losses, a mirror
// that stops).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libscanmon/revolution_reader.h"

namespace scanmon_lib {
namespace {

constexpr double kPeriodNs = 5000.0;

struct ScriptBlock {
  std::uint32_t count;
  std::uint64_t dropped_before = 0;  // numbered samples missing before it
  std::uint64_t lost_before = 0;     // samples the card lost before it (flagged)
};

// Blocks of the script; a sample whose time index t (missing ones counted)
// has t % 100 == 30 carries the index mark, up to stop_marks_at.
class ScriptFeed : public BlockFeed {
 public:
  ScriptFeed(std::vector<ScriptBlock> blocks, std::uint64_t stop_marks_at)
      : blocks_(std::move(blocks)), stop_(stop_marks_at) {}
  int Next(std::int32_t, scanmon_block* block, scanmon_block_times* times, scanmon_sample* samples,
           std::uint32_t capacity) override {
    if (next_ == blocks_.size()) return SCANMON_END;
    const ScriptBlock& b = blocks_[next_];
    t_ += b.dropped_before + b.lost_before;
    number_ += b.dropped_before;
    *block = scanmon_block{};
    block->sequence = next_;
    block->first_sample = number_;
    block->count = b.count;
    block->flags = b.lost_before ? SCANMON_BLOCK_LOST_DATA : 0u;
    block->mono_ns = static_cast<std::int64_t>((t_ + b.count) * kPeriodNs);
    *times = scanmon_block_times{};
    times->first_mono_ns = static_cast<std::int64_t>(t_ * kPeriodNs);
    times->period_ns = kPeriodNs;
    times->missing_numbered = b.dropped_before;
    times->missing_estimated = b.lost_before;
    times->run_start = next_ == 0;
    EXPECT_LE(b.count, capacity);
    for (std::uint32_t k = 0; k < b.count; ++k) {
      samples[k] = scanmon_sample{};
      std::uint64_t t = t_ + k;
      if (t % 100 == 30 && t < stop_) samples[k].flags = SCANMON_SAMPLE_INDEX;
      samples[k].angle = static_cast<double>(t);
    }
    t_ += b.count;
    number_ += b.count;
    ++next_;
    return SCANMON_OK;
  }

 private:
  std::vector<ScriptBlock> blocks_;
  std::uint64_t stop_;
  std::size_t next_ = 0;
  std::uint64_t t_ = 0, number_ = 0;
};

struct Expected {
  std::uint64_t number, first_sample;
  std::uint32_t count, expected, flags;
  double first_angle;
};

TEST(RevolutionReader, AssemblesWholeTurnsAndFlagsWhatCutThem) {
  const std::vector<ScriptBlock> plain(5, ScriptBlock{64});  // 320 samples
  std::vector<ScriptBlock> dropped = plain;
  dropped[1].dropped_before = 10;  // inside the revolution from 30
  std::vector<ScriptBlock> lost = plain;
  lost[3].lost_before = 7;                                      // inside the one from 130
  const std::vector<ScriptBlock> long_run(8, ScriptBlock{64});  // 512 samples
  const struct {
    const char* name;
    std::vector<ScriptBlock> blocks;
    bool complete_only;
    std::uint32_t max_samples;
    std::uint64_t stop_marks_at;
    std::vector<Expected> revolutions;
  } cases[] = {
      {"a plain run",
       plain,
       false,
       1000,
       ~0ull,
       {{0, 0, 30, 30, SCANMON_REVOLUTION_CUT_START, 0},
        {1, 30, 100, 100, 0, 30},
        {2, 130, 100, 100, 0, 130},
        {3, 230, 90, 90, SCANMON_REVOLUTION_CUT_END, 230}}},
      {"complete ones only",
       plain,
       true,
       1000,
       ~0ull,
       {{1, 30, 100, 100, 0, 30}, {2, 130, 100, 100, 0, 130}}},
      {"samples dropped inside",
       dropped,
       false,
       1000,
       ~0ull,
       {{0, 0, 30, 30, SCANMON_REVOLUTION_CUT_START, 0},
        {1, 30, 90, 100, SCANMON_REVOLUTION_DROPPED, 30},
        {2, 130, 100, 100, 0, 130},
        {3, 230, 100, 100, SCANMON_REVOLUTION_CUT_END, 230}}},
      {"the card lost data inside",
       lost,
       false,
       1000,
       ~0ull,
       {{0, 0, 30, 30, SCANMON_REVOLUTION_CUT_START, 0},
        {1, 30, 100, 100, 0, 30},
        {2, 130, 93, 100, SCANMON_REVOLUTION_LOST_DATA, 130},
        {3, 223, 97, 97, SCANMON_REVOLUTION_CUT_END, 230}}},
      {"the mirror stops",
       long_run,
       false,
       150,
       200,
       {{0, 0, 30, 30, SCANMON_REVOLUTION_CUT_START, 0},
        {1, 30, 100, 100, 0, 30},
        {2, 130, 150, 150, SCANMON_REVOLUTION_NO_INDEX, 130},
        {3, 280, 150, 150, SCANMON_REVOLUTION_NO_INDEX, 280},
        {4, 430, 82, 82, SCANMON_REVOLUTION_NO_INDEX | SCANMON_REVOLUTION_CUT_END, 430}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptFeed feed(c.blocks, c.stop_marks_at);
    RevolutionReader reader;
    ASSERT_TRUE(reader.Open(c.max_samples, 64, c.complete_only));
    std::vector<scanmon_sample> samples(1000);
    for (const Expected& e : c.revolutions) {
      SCOPED_TRACE(e.number);
      scanmon_revolution r{};
      ASSERT_EQ(reader.Read(&feed, 0, &r, samples.data(), 1000), SCANMON_OK);
      EXPECT_EQ(r.number, e.number);
      EXPECT_EQ(r.first_sample, e.first_sample);
      EXPECT_EQ(r.count, e.count);
      EXPECT_EQ(r.expected, e.expected);
      EXPECT_EQ(r.flags, e.flags);
      EXPECT_EQ(samples[0].angle, e.first_angle);
      EXPECT_EQ(r.start_mono_ns, static_cast<std::int64_t>(e.first_angle * kPeriodNs));
      EXPECT_DOUBLE_EQ(r.duration_ns, e.expected * kPeriodNs);
      EXPECT_DOUBLE_EQ(r.completeness, static_cast<double>(e.count) / e.expected);
    }
    scanmon_revolution r{};
    EXPECT_EQ(reader.Read(&feed, 0, &r, samples.data(), 1000), SCANMON_END);
  }
}

TEST(RevolutionReader, ATooSmallBufferKeepsTheRevolutionForTheNextRead) {
  ScriptFeed feed(std::vector<ScriptBlock>(5, ScriptBlock{64}), ~0ull);
  RevolutionReader reader;
  ASSERT_TRUE(reader.Open(1000, 64, true));
  std::vector<scanmon_sample> samples(100);
  scanmon_revolution r{};
  EXPECT_EQ(reader.Read(&feed, 0, &r, samples.data(), 99), SCANMON_E_BUFFER);
  EXPECT_EQ(r.count, 100u);
  EXPECT_EQ(reader.Read(&feed, 0, &r, samples.data(), 100), SCANMON_OK);
  EXPECT_EQ(r.number, 1u);
  EXPECT_EQ(samples[99].angle, 129.0);
}

}  // namespace
}  // namespace scanmon_lib
