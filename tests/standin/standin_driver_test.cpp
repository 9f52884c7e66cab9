// The built stand-in library, called through its entry points.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "standin_test_env.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr std::uint32_t kLost = 0x1;

// The card samples in real time and this test thread can be descheduled for
// many milliseconds on a loaded machine. A check that holds only if some calls
// ran close enough together is made in a round whose span is measured; a round
// stretched by a stall proves nothing and is run again, up to this many times.
constexpr int kRetries = 10;
using Clock = std::chrono::steady_clock;
#if defined(_WIN32)
constexpr bool kSteadyIsStandinClock = false;
#else
constexpr bool kSteadyIsStandinClock = true;  // both CLOCK_MONOTONIC
#endif

std::vector<RawSample> JunkRaw(std::size_t n, std::uint32_t fill = 0xFFFFFFFF) {
  return std::vector<RawSample>(n, RawSample{{fill, fill, fill, fill}});
}

bool LostBit(const std::vector<RawSample>& raw, std::size_t capacity) {
  return (raw[capacity - 1].words[0] & kLost) != 0;
}

TEST_F(StandinTest, ModelsReportTheirMinimumAndRefuseShorterPeriods) {
  const struct {
    const char* model;
    int model_value;
    int min_period;
  } models[] = {{"50", 0, 20}, {"200", 1, 5}, {"", 1, 5}};
  for (const auto& m : models) {
    SCOPED_TRACE(m.model);
    Configure({{"HSIF_SIM_MODEL", m.model}});
    hsif_i32 card = HsifOpen(0, nullptr);
    hsif_i32 model = -7, period = -7;
    EXPECT_EQ(HsifGetCardModel(card, &model), 1);
    EXPECT_EQ(model, m.model_value);
    EXPECT_EQ(HsifGetMinSamplePeriod(card, &period), 1);
    EXPECT_EQ(period, m.min_period);
    const struct {
      int mode, range, period, accepted;
    } rows[] = {
        {0, 1200, m.min_period, 1},
        {0, 1200, m.min_period - 1, 0},
        {0, 1200, 0, 0},
        {0, 1200, -20, 0},
        {0, 1200, 1000000, 1},
        {0, 1200, 1000001, 0},
        {1, 1200, 20, 0},
        {0, 0, 20, 0},
        {0, -5, 20, 0},
        {0, 12000, 20, 1},
        {0, 12001, 20, 0},
    };
    for (const auto& r : rows) {
      EXPECT_EQ(HsifSetSamplePeriod(card, r.mode, r.range, r.period), r.accepted)
          << r.mode << " " << r.range << " " << r.period;
    }
  }
}

TEST_F(StandinTest, CalibrationDataFromAFile) {
  hsif_i32 card = HsifOpen(0, nullptr);
  const struct {
    std::string path;
    bool null_path;
    int result;
  } cases[] = {
      {std::string(SCANMON_DEMO_DIR) + "/ar4000_demo.cal", false, 1},
      {WriteFile("good.cal", "hsif-calibration 1\nrange_offset 1\nrange_scale 1\n"), false, 1},
      {WriteFile("bad.cal", "hsif-calibration 1\nrange_offset 1\n"), false, 0},
      {WriteFile("empty.cal", ""), false, 0},
      {WriteFile("binary.cal", std::string("\x7f"
                                           "ELF\0\0\x01",
                                           7)),
       false, 0},
      {(folder_ / "missing.cal").string(), false, 0},
      {folder_.string(), false, 0},  // a directory
      {"", true, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HsifLoadCalibrationData(card, c.null_path ? nullptr : c.path.c_str()), c.result)
        << c.path;
  }
  EXPECT_EQ(HsifLoadCalibrationData(1, cases[0].path.c_str()), 0) << "card 1 is not open";
  // The calibration shows in the range of a raw word: offset 1 inch.
  ASSERT_EQ(HsifLoadCalibrationData(card, cases[1].path.c_str()), 1);
  double inches = 0;
  ASSERT_EQ(HsifRaw2Range(card, 256 * 10, &inches), 1);
  EXPECT_DOUBLE_EQ(inches, 11.0);
}

TEST_F(StandinTest, CardsByNumber) {
  const struct {
    const char* cards;
    int card_number;
    int handle;
  } cases[] = {{"", 0, 0},  {"", 1, 1},   {"", 2, -1},   {"", -1, -1},
               {"5", 4, 4}, {"0", 0, -1}, {"16", 15, 15}};
  for (const auto& c : cases) {
    Configure({{"HSIF_SIM_CARDS", c.cards}});
    EXPECT_EQ(HsifOpen(c.card_number, nullptr), c.handle) << c.cards << " " << c.card_number;
  }
  EXPECT_EQ(HsifClose(15), 1);
  EXPECT_EQ(HsifClose(15), 0) << "closed already";
}

TEST_F(StandinTest, FetchWaitsForAFullLoadAtTheSetPeriod) {
  // The clock starts before sampling does, so however late this thread runs,
  // the waiting fetch cannot return sooner than the load takes to arrive.
  const auto start = Clock::now();
  hsif_i32 card = BringUp(5);
  std::vector<RawSample> raw = JunkRaw(5000);
  std::uint32_t count = 0xDEAD;
  ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
  const auto took = Clock::now() - start;
  // 5000 samples at 5 us are 25 ms of sampling: the call waits for them.
  EXPECT_EQ(count, 5000u);
  EXPECT_GE(took, std::chrono::milliseconds(24));
  // The 65536-sample ring loses nothing unless this thread stalled for 0.3 s.
  if (took < std::chrono::milliseconds(300)) {
    EXPECT_FALSE(LostBit(raw, 5000));
  }
  hsif_i32 dpc = -1;
  EXPECT_EQ(HsifGetDpcReadTime(card, &dpc), 1);
  EXPECT_GE(dpc, 0);
  // Without waiting, a fetch takes only what arrived since the fetch before:
  // fewer than 5000 when the two are under 25 ms apart. A pair that this
  // thread's descheduling pulled further apart proves nothing; try again.
  bool close_pair = false;
  for (int attempt = 0; attempt < kRetries && !close_pair; ++attempt) {
    const auto before = Clock::now();
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 0), 1);
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 0), 1);
    if (Clock::now() - before < std::chrono::milliseconds(20)) {
      close_pair = true;
      EXPECT_LT(count, 5000u);
    }
  }
  EXPECT_TRUE(close_pair) << "two fetches without waiting never came within 20 ms";
}

TEST_F(StandinTest, ProcessedRecordsCarryTheTrueTimeOfADriftingClockAndFetchesReturnLate) {
  // 200 ppm fast: 5 us samples 4.999 us apart on the host's clock; returns
  // delayed by up to 3 ms, never before the last sample delivered was taken.
  Configure({{"HSIF_SIM_CLOCK_PPM", "200"}, {"HSIF_SIM_FETCH_DELAY_MS", "3"}});
  hsif_i32 card = BringUp(5);
  std::vector<RawSample> raw = JunkRaw(1000);
  std::vector<ProcessedSample> processed(1000);
  std::int64_t first_time = 0, previous = 0, most_late = 0;
  std::uint64_t samples = 0;
  for (int fetch = 0; fetch < 12; ++fetch) {
    std::uint32_t count = 0;
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 1000, &count, 1), 1);
    const std::int64_t returned =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), static_cast<hsif_i32>(count)),
              1);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::int64_t t = 0;
      std::uint32_t high = 1;
      std::memcpy(&t, reinterpret_cast<const char*>(&processed[i]) + 52, sizeof t);
      std::memcpy(&high, reinterpret_cast<const char*>(&processed[i]) + 60, sizeof high);
      ASSERT_EQ(high, 0u);
      if (samples == 0) first_time = t;
      if (samples > 0) {
        ASSERT_NEAR(t - previous, 4999, 1) << "sample " << samples;
      }
      previous = t;
      ++samples;
    }
    if (kSteadyIsStandinClock) {
      EXPECT_LE(previous, returned);
    }
    most_late = std::max(most_late, returned - previous);
  }
  EXPECT_NEAR(static_cast<double>(previous - first_time) / static_cast<double>(samples - 1),
              5000 / 1.0002, 0.001);
  if (kSteadyIsStandinClock) {
    EXPECT_GT(most_late, 300000) << "twelve delays up to 3 ms, none over 0.3 ms";
  }
}

TEST_F(StandinTest, MirrorAnglesWrapAndTheIndexMarksEachRevolutionOnce) {
  // Unpaced: 20000 samples at 5 us are two turns of a 20 Hz mirror (held
  // steady, without the motor's wander).
  Configure({{"HSIF_SIM_UNPACED", "1"}, {"HSIF_SIM_MIRROR_WANDER", "0"}});
  hsif_i32 card = BringUp(5);
  std::vector<RawSample> raw(5000);
  std::vector<ProcessedSample> processed(5000);
  int marks = 0;
  long long last_mark = -1;
  for (int fetch = 0; fetch < 4; ++fetch) {
    std::uint32_t count = 0;
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
    ASSERT_EQ(count, 5000u);
    ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), 5000), 1);
    for (int i = 0; i < 5000; ++i) {
      ASSERT_GE(processed[i].angle, 0.0);
      ASSERT_LT(processed[i].angle, kTwoPi);
      if (processed[i].flags & kProcessedIndexFlag) {
        long long at = fetch * 5000LL + i;
        if (last_mark >= 0) {
          EXPECT_NEAR(at - last_mark, 10000, 1);
        }
        last_mark = at;
        ++marks;
      }
    }
  }
  EXPECT_EQ(marks, 2);

  // A stopped mirror never marks.
  Configure({{"HSIF_SIM_UNPACED", "1"}, {"HSIF_SIM_MIRROR_HZ", "0"}});
  card = BringUp(5);
  std::uint32_t count = 0;
  ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
  ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), 5000), 1);
  for (const ProcessedSample& p : processed) ASSERT_EQ(p.flags & kProcessedIndexFlag, 0);
}

TEST_F(StandinTest, MirrorWandersAndSlowsOrStopsAfterTheSetFetch) {
  const struct {
    const char* name;
    std::map<std::string, std::string> settings;
    double spacing_before;  // samples per turn up to fetch 3 (at 5 us)
    double spacing_after;   // after fetch 3; 0: no mark at all, the angle stays put
    double tolerance;       // share of the spacing
  } cases[] = {
      {"default wander", {}, 10000, 10000, 0.0031},
      {"steady", {{"HSIF_SIM_MIRROR_WANDER", "0"}}, 10000, 10000, 0.0001},
      {"slows to 10 Hz",
       {{"HSIF_SIM_MIRROR_SLOW_AFTER", "3"}, {"HSIF_SIM_MIRROR_SLOW_HZ", "10"}},
       10000,
       20000,
       0.0031},
      {"stops", {{"HSIF_SIM_MIRROR_SLOW_AFTER", "3"}}, 10000, 0, 0.0031},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, std::string> settings = c.settings;
    settings["HSIF_SIM_UNPACED"] = "1";
    Configure(settings);
    hsif_i32 card = BringUp(5);
    std::vector<RawSample> raw(5000);
    std::vector<ProcessedSample> processed(5000);
    long long last_mark = -1;
    double min_spacing = 1e9, max_spacing = 0;
    double stopped_angle = -1;
    // Seven seconds of samples: one whole cycle of the wander.
    for (int fetch = 1; fetch <= 280; ++fetch) {
      std::uint32_t count = 0;
      ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
      ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), 5000), 1);
      bool after = fetch > 3;
      double expected = after ? c.spacing_after : c.spacing_before;
      for (int i = 0; i < 5000; ++i) {
        long long at = fetch * 5000LL + i;
        if (after && expected == 0) {
          if (stopped_angle < 0) stopped_angle = processed[i].angle;
          ASSERT_EQ(processed[i].angle, stopped_angle);
        }
        if ((processed[i].flags & kProcessedIndexFlag) == 0) continue;
        ASSERT_NE(expected, 0) << "a stopped mirror marks no turn";
        // The turn across the change is neither one nor the other.
        if (last_mark >= 0 && (last_mark > 4 * 5000LL || !after)) {
          double spacing = static_cast<double>(at - last_mark);
          EXPECT_NEAR(spacing, expected, expected * c.tolerance + 1) << "fetch " << fetch;
          if (after) min_spacing = std::min(min_spacing, spacing);
          if (after) max_spacing = std::max(max_spacing, spacing);
        }
        last_mark = at;
      }
    }
    if (c.spacing_after != 0 && c.tolerance > 0.001) {
      EXPECT_GT(max_spacing - min_spacing, c.spacing_after * 0.004) << "the rate wanders";
    }
  }
}

TEST_F(StandinTest, ForcedLossIsReportedInTheLastSlotOnceAndThenCleared) {
  Configure({{"HSIF_SIM_UNPACED", "1"}, {"HSIF_SIM_LOSE_DATA_AT", "2"}});
  hsif_i32 card = BringUp(5);
  const bool expected[] = {false, true, false};
  for (bool lost : expected) {
    // The slot is left set from before: a clean fetch must clear it.
    std::vector<RawSample> raw = JunkRaw(5000);
    std::uint32_t count = 0;
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
    EXPECT_EQ(LostBit(raw, 5000), lost);
  }
}

TEST_F(StandinTest, PacedFetchesAtAnyCapacityNumberTheirSamplesWithoutGaps) {
  // A recorder fetching at its own buffer size and keeping up sees every
  // sample once: the processed records' numbers run on across fetches, and the
  // lost-data bit is read (and clear) in the last slot of the buffer it passed.
  // A second of buffer at 50 kHz: a busy test machine does not overflow it.
  Configure({{"HSIF_SIM_BUFFER", "50000"}});
  hsif_i32 card = BringUp(20);
  const hsif_i32 capacity = 700;
  std::vector<RawSample> raw = JunkRaw(capacity);
  std::vector<ProcessedSample> processed(capacity);
  std::uint32_t expected = 0;
  bool first = true;
  for (int fetch = 0; fetch < 20; ++fetch) {
    std::uint32_t count = 0;
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), capacity, &count, 1), 1);
    EXPECT_FALSE(LostBit(raw, capacity)) << fetch;
    ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), static_cast<hsif_i32>(count)),
              1);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t number = 0;
      std::memcpy(&number, reinterpret_cast<const unsigned char*>(&processed[i]) + 4, 4);
      if (first) expected = number;
      first = false;
      ASSERT_EQ(number, expected++) << "fetch " << fetch << " sample " << i;
    }
  }
  EXPECT_GE(expected, 20u * 600u);
  // The log says what the run simulated.
  EXPECT_NE(Log().find("settings buffer=50000\n"), std::string::npos) << Log();
}

TEST_F(StandinTest, ANaturalOverflowSetsTheLostBitWhateverTheCount) {
  // A 1000-sample ring at 50 us fills in 50 ms. What holds however late this
  // thread runs is checked in every round. That the ring has not overflowed
  // again holds only if the round's calls ran within that time of emptying
  // it (less a margin for the two clocks' rounding), so a round stretched by
  // descheduling proves nothing and is run again.
  constexpr auto kFill = std::chrono::milliseconds(50);
  constexpr auto kTimely = std::chrono::milliseconds(45);
  Configure({{"HSIF_SIM_BUFFER", "1000"}});
  hsif_i32 card = BringUp(50);
  std::vector<RawSample> raw = JunkRaw(5001, 0);
  std::uint32_t count = 0;
  bool timely = false;
  for (int round = 0; round < kRetries && !timely; ++round) {
    std::this_thread::sleep_for(3 * kFill);  // 3000 samples into 1000 slots
    EXPECT_EQ(HsifGetOverflowStatus(card), 1);
    const auto emptied = Clock::now();
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 0), 1);
    EXPECT_EQ(count, 1000u);
    EXPECT_TRUE(LostBit(raw, 5000)) << "reported in slot 4999 though only 1000 came";
    EXPECT_EQ(raw[5000].words[0], 0u) << "nothing written past the capacity";
    const hsif_i32 status = HsifGetOverflowStatus(card);
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 0), 1);
    if (Clock::now() - emptied < kTimely) {
      timely = true;
      EXPECT_EQ(status, 0) << "reported once";
      EXPECT_FALSE(LostBit(raw, 5000));
    }
  }
  EXPECT_TRUE(timely) << "no round ran within 45 ms";

  // The monitor's answer: clear the buffer and enable again.
  timely = false;
  for (int round = 0; round < kRetries && !timely; ++round) {
    std::this_thread::sleep_for(3 * kFill);
    const auto cleared = Clock::now();
    EXPECT_EQ(HsifClearSampleBuffer(card), 1);
    const hsif_i32 status = HsifGetOverflowStatus(card);
    EXPECT_EQ(HsifSamplingEnable(card), 1);
    const hsif_i32 available = HsifDataAvailable(card);
    EXPECT_LE(available, 1000);
    if (Clock::now() - cleared < kTimely) {
      timely = true;
      EXPECT_EQ(status, 0);
      EXPECT_LT(available, 1000);
    }
  }
  EXPECT_TRUE(timely) << "no round ran within 45 ms";

  // A waiting fetch larger than the ring returns at its half-full mark (500
  // samples, 25 ms), so a reader that keeps up loses nothing. A full ring
  // means the fetch waited too long, or this thread woke late; a round of
  // fetches that never saw a full ring must have lost nothing, and one such
  // round must come, or the fetch does not return at the mark.
  bool kept_up = false;
  for (int round = 0; round < kRetries && !kept_up; ++round) {
    bool full = false, lost = false;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 5000, &count, 1), 1);
      EXPECT_GE(count, 500u);
      EXPECT_LE(count, 1000u);
      full = full || count == 1000u;
      lost = lost || LostBit(raw, 5000);
    }
    if (!full) {
      kept_up = true;
      EXPECT_FALSE(lost);
    }
  }
  EXPECT_TRUE(kept_up) << "every round of waiting fetches found the ring full";
}

TEST_F(StandinTest, SmallCapacitiesAreNeverOverrun) {
  Configure({{"HSIF_SIM_UNPACED", "1"}, {"HSIF_SIM_LOSE_DATA_AT", "1"}});
  hsif_i32 card = BringUp(5);
  std::vector<RawSample> raw = JunkRaw(3, 0);
  std::uint32_t count = 0;
  ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 1, &count, 1), 1);
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(LostBit(raw, 1));
  EXPECT_EQ(raw[1].words[0], 0u);
  std::vector<ProcessedSample> processed(2);
  std::memset(processed.data(), 0x5A, sizeof(ProcessedSample) * 2);
  ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), 1), 1);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&processed[1])[0], 0x5A);
}

TEST_F(StandinTest, AngleScriptReplaysOneLinePerFetch) {
  std::string script = WriteFile("angles.txt",
                                 "0.5 0.6:4 0.7\n"
                                 "\n"
                                 "nan:4 -inf -1e300:5 junk 1:x\n"
                                 "1 2 3 4\n");
  Configure({{"HSIF_SIM_ANGLE_SCRIPT", script}});
  hsif_i32 card = HsifOpen(0, nullptr);
  std::vector<RawSample> raw(3);
  std::vector<ProcessedSample> processed(3);
  const struct {
    std::uint32_t count;
    bool lost;
  } fetches[] = {{3, false}, {0, false}, {3, false}, {3, true}, {0, false}, {0, false}};
  testing::internal::CaptureStderr();
  for (std::size_t f = 0; f < std::size(fetches); ++f) {
    SCOPED_TRACE(f);
    std::uint32_t count = 77;
    ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 3, &count, 0), 1);
    EXPECT_EQ(count, fetches[f].count);
    EXPECT_EQ(LostBit(raw, 3), fetches[f].lost) << "samples beyond the capacity are lost";
    ASSERT_EQ(HsifProcessSamples(card, raw.data(), processed.data(), 3), 1);
    if (f == 0) {
      EXPECT_EQ(processed[0].angle, 0.5);
      EXPECT_EQ(processed[1].flags, 4);
      EXPECT_EQ(processed[2].angle, 0.7);
    }
    if (f == 2) {
      EXPECT_TRUE(std::isnan(processed[0].angle));
      EXPECT_EQ(processed[0].flags, 4);
      EXPECT_EQ(processed[1].angle, -std::numeric_limits<double>::infinity());
      EXPECT_EQ(processed[2].angle, -1e300);
      EXPECT_EQ(processed[2].flags, 5);
    }
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("hsif stand-in: angle script line 3: 2 malformed"), std::string::npos) << err;

  // A script that cannot be read leaves the mirror spinning, with a message.
  Configure(
      {{"HSIF_SIM_ANGLE_SCRIPT", (folder_ / "none.txt").string()}, {"HSIF_SIM_UNPACED", "1"}});
  testing::internal::CaptureStderr();
  card = BringUp(5);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("hsif stand-in: cannot open the angle script"), std::string::npos);
  std::uint32_t count = 0;
  ASSERT_EQ(HsifGetBufferedSamples(card, raw.data(), 3, &count, 1), 1);
  EXPECT_EQ(count, 3u);
}

hsif_i32 CallFetch(hsif_i32 c) {
  RawSample raw[4];
  std::uint32_t count = 0;
  return HsifGetBufferedSamples(c, raw, 4, &count, 0);
}

// The monitor's bring-up calls in order, and what each returns.
std::vector<hsif_i32> RunBringUpCalls(hsif_i32 card) {
  hsif_i32 model = 0, period = 0;
  std::vector<hsif_i32> results;
  results.push_back(HsifResetBoard(card));
  results.push_back(HsifSetSamplePeriod(card, 0, 1200, 20));
  results.push_back(HsifSetSamplePeriod(card, 0, 1200, 20));
  results.push_back(HsifGetCardModel(card, &model));
  results.push_back(HsifGetMinSamplePeriod(card, &period));
  results.push_back(HsifCalibrate(card));
  results.push_back(HsifSamplingModeInit(card));
  results.push_back(HsifClearEncoder(card, 3, 1));
  results.push_back(HsifCalibrateEncoder(card, 1, 0, 4096));
  results.push_back(HsifCalibrateEncoder(card, 2, 0, 200));
  results.push_back(CallFetch(card));
  return results;
}

TEST_F(StandinTest, EachFailStepFailsItsCallsAndOnlyThose) {
  const struct {
    const char* fail;
    std::vector<hsif_i32> results;
  } rows[] = {
      // reset, period, period again, model, min period, calibrate, mode init,
      // clear encoder, encoder 1, encoder 2, fetch
      {"", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"reset", {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"sample-period", {1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"sample-period-again", {1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"card-model", {1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1}},
      {"min-period", {1, 0, 0, 1, 0, 1, 1, 1, 1, 1, 1}},
      {"calibrate", {1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1}},
      {"sampling-mode", {1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1}},
      {"clear-encoder", {1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1}},
      {"encoder1", {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1}},
      {"encoder2", {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1}},
      {"fetch", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fail);
    Configure({{"HSIF_SIM_FAIL", row.fail}});
    SerialPort port;
    EXPECT_EQ(HsifOpenPort(&port, 9600, 1), 1);
    hsif_i32 card = HsifOpen(0, &port);
    ASSERT_EQ(card, 0);
    EXPECT_EQ(RunBringUpCalls(card), row.results);
    HsifClosePort(&port);
  }
  const struct {
    const char* fail;
    bool port_opens;
    bool card_opens;
  } opens[] = {{"openport", false, true}, {"open", true, false}};
  for (const auto& o : opens) {
    Configure({{"HSIF_SIM_FAIL", o.fail}});
    SerialPort port;
    std::memset(&port, 0x77, sizeof port);
    EXPECT_EQ(HsifOpenPort(&port, 9600, 1), o.port_opens ? 1 : 0);
    if (!o.port_opens) {
      EXPECT_EQ(port.handle, -1);
      EXPECT_EQ(port.is_open, 0);
      EXPECT_EQ(port.write_overlapped.hEvent, 0) << "no junk event for ClosePort to close";
      EXPECT_EQ(port.read_overlapped.hEvent, 0);
    }
    EXPECT_EQ(HsifOpen(0, &port), o.card_opens ? 0 : -1);
    if (o.port_opens) HsifClosePort(&port);
  }
}

TEST_F(StandinTest, FetchesFailAfterTheSetNumber) {
  Configure({{"HSIF_SIM_FAIL_FETCH_AFTER", "2"}, {"HSIF_SIM_UNPACED", "1"}});
  hsif_i32 card = BringUp();
  for (hsif_i32 expected : {1, 1, 0, 0}) EXPECT_EQ(CallFetch(card), expected);
}

TEST_F(StandinTest, BadArgumentsFailWithoutTouchingAnything) {
  hsif_i32 card = HsifOpen(0, nullptr);
  RawSample raw[2] = {};
  ProcessedSample processed[2] = {};
  std::uint32_t count = 5;
  hsif_i32 value = 5;
  double inches = 5;
  for (hsif_i32 bad : {-1, 1, 2, 16, 1 << 30}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(HsifResetBoard(bad), 0);
    EXPECT_EQ(HsifCalibrate(bad), 0);
    EXPECT_EQ(HsifGetCardModel(bad, &value), 0);
    EXPECT_EQ(HsifGetBufferedSamples(bad, raw, 2, &count, 1), 0);
    EXPECT_EQ(HsifProcessSamples(bad, raw, processed, 2), 0);
    EXPECT_EQ(HsifDataAvailable(bad), -1);
    EXPECT_EQ(HsifGetOverflowStatus(bad), -1);
    EXPECT_EQ(HsifReadWord(bad, 0, &value), 0);
    EXPECT_EQ(HsifClose(bad), 0);
  }
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(HsifGetBufferedSamples(card, nullptr, 2, &count, 1), 0);
  EXPECT_EQ(HsifGetBufferedSamples(card, raw, 2, nullptr, 1), 0);
  EXPECT_EQ(HsifGetBufferedSamples(card, raw, 0, &count, 1), 0);
  EXPECT_EQ(HsifGetBufferedSamples(card, raw, -5, &count, 1), 0);
  EXPECT_EQ(HsifProcessSamples(card, nullptr, processed, 2), 0);
  EXPECT_EQ(HsifProcessSamples(card, raw, nullptr, 2), 0);
  EXPECT_EQ(HsifProcessSamples(card, raw, processed, -1), 0);
  EXPECT_EQ(HsifProcessSamples(card, raw, processed, 0), 1);
  EXPECT_EQ(HsifGetCardModel(card, nullptr), 0);
  EXPECT_EQ(HsifGetMinSamplePeriod(card, nullptr), 0);
  EXPECT_EQ(HsifRaw2Range(card, 0, nullptr), 0);
  EXPECT_EQ(HsifGetFPGAVersion(card, nullptr), 0);
  EXPECT_EQ(HsifGetDpcReadTime(card, nullptr), 0);
  EXPECT_EQ(HsifBenchPciRead(card, 0, &value), 0);
  EXPECT_EQ(HsifClearEncoder(card, 4, 1), 0);
  EXPECT_EQ(HsifCalibrateEncoder(card, 3, 0, 4096), 0);
  EXPECT_EQ(HsifCalibrateEncoder(card, 1, 4096, 4096), 0);
  EXPECT_EQ(HsifCalibrateEncoder(card, 1, 0, 0), 0);
  EXPECT_EQ(HsifSetMotorPower(card, 0, 0), 0);
  EXPECT_EQ(inches, 5);
}

TEST_F(StandinTest, RegisterFileIsBoundedAndVersionIsReadOnly) {
  hsif_i32 card = HsifOpen(0, nullptr);
  hsif_i32 version = 0, value = 0;
  ASSERT_EQ(HsifGetFPGAVersion(card, &version), 1);
  const struct {
    hsif_i32 address;
    int write_result;
    int read_result;
  } rows[] = {{0, 0, 1}, {1, 1, 1}, {63, 1, 1}, {64, 0, 0}, {-1, 0, 0}};
  for (const auto& r : rows) {
    EXPECT_EQ(HsifWriteWord(card, r.address, 1234), r.write_result) << r.address;
    EXPECT_EQ(HsifReadWord(card, r.address, &value), r.read_result) << r.address;
  }
  ASSERT_EQ(HsifReadWord(card, 0, &value), 1);
  EXPECT_EQ(value, version);
  ASSERT_EQ(HsifReadWord(card, 63, &value), 1);
  EXPECT_EQ(value, 1234);
}

TEST_F(StandinTest, CallLogNamesEachCallWithItsArguments) {
  hsif_i32 card = BringUp(20);
  HsifClearEncoder(card, 3, 1);
  HsifClose(card);
  EXPECT_EQ(Log(),
            "HsifDllInit -> 1\n"
            "HsifOpen card=0 -> 0\n"
            "HsifSetSamplePeriod mode=0 range=1200 period=20 card=0 -> 1\n"
            "HsifCalibrateEncoder encoder=1 offset=0 counts=4096 card=0 -> 1\n"
            "HsifClearSampleBuffer card=0 -> 1\n"
            "HsifSamplingEnable card=0 -> 1\n"
            "HsifClearEncoder which=3 value=1 card=0 -> 1\n"
            "HsifClose card=0 -> 1\n");
}

TEST_F(StandinTest, FetchLogStaysBounded) {
  Configure({{"HSIF_SIM_UNPACED", "1"}});
  hsif_i32 card = BringUp();
  for (int i = 0; i < 200; ++i) CallFetch(card);
  std::string log = Log();
  std::size_t lines = 0;
  for (std::size_t at = log.find("HsifGetBufferedSamples"); at != std::string::npos;
       at = log.find("HsifGetBufferedSamples", at + 1)) {
    ++lines;
  }
  EXPECT_GE(lines, 3u);
  EXPECT_LE(lines, 5u);
  EXPECT_NE(
      log.find("HsifGetBufferedSamples capacity=4 wait=0 card=0 -> 1 count=4 lost=0 fetch=1\n"),
      std::string::npos)
      << log;
}

}  // namespace
