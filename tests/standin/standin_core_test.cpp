// The stand-in's file formats, settings, sensor and sample records, without
// the library around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "standin/angle_script.h"
#include "standin/calibration_file.h"
#include "standin/raw_records.h"
#include "standin/sensor.h"
#include "standin/sim_settings.h"

namespace standin {
namespace {

constexpr double kTwoPi = 6.283185307179586;

bool ParseCal(const std::string& text, CalibrationData* data, std::string* reason) {
  char why[128] = "";
  bool ok = ParseCalibrationText(text.data(), text.size(), data, why, sizeof why);
  *reason = why;
  return ok;
}

TEST(CalibrationText, AcceptsWellFormedFiles) {
  const struct {
    const char* text;
    double offset;
    double scale;
    const char* sensor;
  } cases[] = {
      {"hsif-calibration 1\nrange_offset 0\nrange_scale 1\n", 0, 1, ""},
      {"# c\n\n  \t\nhsif-calibration 1\r\nrange_scale 1.5\r\nrange_offset -2.25\r\n", -2.25, 1.5,
       ""},
      {"hsif-calibration 1\nsensor AR-1\n\trange_offset\t3 \nrange_scale 0.5", 3, 0.5, "AR-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CalibrationData data;
    data.range_offset = 99;
    std::string reason;
    ASSERT_TRUE(ParseCal(c.text, &data, &reason)) << reason;
    EXPECT_EQ(data.range_offset, c.offset);
    EXPECT_EQ(data.range_scale, c.scale);
    EXPECT_STREQ(data.sensor, c.sensor);
  }
}

TEST(CalibrationText, RefusesMalformedFilesAndKeepsTheOldData) {
  const char* cases[] = {
      "",
      "# only a comment\n",
      "hsif-calibration 2\nrange_offset 0\nrange_scale 1\n",
      "range_offset 0\nhsif-calibration 1\nrange_scale 1\n",
      "hsif-calibration 1\nrange_offset 0\n",                                // scale missing
      "hsif-calibration 1\nrange_offset 0\nrange_scale 1\nrange_scale 1\n",  // twice
      "hsif-calibration 1\nrange_offset 0\nrange_scale 0\n",                 // scale out of range
      "hsif-calibration 1\nrange_offset nan\nrange_scale 1\n",
      "hsif-calibration 1\nrange_offset 1e999\nrange_scale 1\n",
      "hsif-calibration 1\nrange_offset 1x\nrange_scale 1\n",
      "hsif-calibration 1\nrange_offset 0 ; inches\nrange_scale 1\n",  // three words
      "hsif-calibration 1\nrange_offset\nrange_scale 1\n",
      "hsif-calibration 1\ncolour blue\nrange_offset 0\nrange_scale 1\n",
      "hsif-calibration 1\nsensor ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    CalibrationData data;
    data.range_offset = 7;
    std::string reason;
    EXPECT_FALSE(ParseCal(text, &data, &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(data.range_offset, 7);
  }
  // A line longer than the format allows and an embedded NUL.
  CalibrationData data;
  std::string reason;
  EXPECT_FALSE(
      ParseCal("hsif-calibration 1\nsensor " + std::string(300, 'a') + "\n", &data, &reason));
  EXPECT_FALSE(ParseCal(std::string("hsif-calibration 1\nrange_offset 0\0\n", 35), &data, &reason));
}

TEST(CalibrationText, TheReasonNamesTheLineAndKeyAndTheListingHasEveryProblem) {
  const struct {
    const char* text;
    const char* first_reason;  // what the driver tells the monitor
    const char* listed;        // every problem: "line/key/words;"
  } cases[] = {
      {"hsif-calibration 1\nrange_offset 0\nrange_scal 1\n", "line 3: unknown key range_scal",
       "3/range_scal/unknown key range_scal;0/range_scale/range_scale missing;"},
      {"hsif-calibration 1\nrange_offset -0,75\nrange_scale 1\nrange_scale 2\n",
       "line 2: range_offset -0,75 is out of range or not a number",
       "2/range_offset/range_offset -0,75 is out of range or not a number;"
       "4/range_scale/range_scale given twice;"},
      {"hsif-calibration 2\nrange_offset 0\nrange_scale 1\n",
       "line 1: first line is not \"hsif-calibration 1\"",
       "1//first line is not \"hsif-calibration 1\";"},
      {"# nothing\n", "empty file", "0//empty file;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CalibrationData data;
    std::string reason;
    EXPECT_FALSE(ParseCal(c.text, &data, &reason));
    EXPECT_EQ(reason, c.first_reason);
    std::string listed;
    const int count = ListCalibrationProblems(
        c.text, std::strlen(c.text),
        [](int line, const char* key, const char* what, void* out) {
          *static_cast<std::string*>(out) += std::to_string(line) + "/" + key + "/" + what + ";";
        },
        &listed);
    EXPECT_EQ(listed, c.listed);
    EXPECT_EQ(count, static_cast<int>(std::count(listed.begin(), listed.end(), ';')));
  }
  const char kGood[] = "hsif-calibration 1\nrange_offset 0\nrange_scale 1\n";
  EXPECT_EQ(ListCalibrationProblems(
                kGood, sizeof kGood - 1, [](int, const char*, const char*, void*) {}, nullptr),
            0);
}

TEST(CalibrationFile, MissingOrNullPathFails) {
  CalibrationData data;
  char reason[64];
  EXPECT_FALSE(ReadCalibrationFile(nullptr, &data, reason, sizeof reason));
  EXPECT_FALSE(ReadCalibrationFile("/nonexistent/dir/file.cal", &data, reason, sizeof reason));
}

TEST(ScriptLine, ReadsAnglesAndFlags) {
  const char* line = "  0.5 0.6:4\t-1e300 nan:65535 inf 1,5 0.1:x 2:70000 3: 0x1p-2 ";
  const struct {
    TokenResult result;
    double angle;
    int flags;
  } expected[] = {
      {TokenResult::kSample, 0.5, 0},
      {TokenResult::kSample, 0.6, 4},
      {TokenResult::kSample, -1e300, 0},
      {TokenResult::kSample, std::numeric_limits<double>::quiet_NaN(), 65535},
      {TokenResult::kSample, std::numeric_limits<double>::infinity(), 0},
      {TokenResult::kMalformed, 0, 0},  // 1,5
      {TokenResult::kMalformed, 0, 0},  // flags not a number
      {TokenResult::kMalformed, 0, 0},  // flags beyond 16 bits
      {TokenResult::kMalformed, 0, 0},  // empty flags
      {TokenResult::kSample, 0.25, 0},
      {TokenResult::kEnd, 0, 0},
  };
  const char* cursor = line;
  for (const auto& e : expected) {
    ScriptSample sample{-7.0, 9};
    TokenResult result = NextScriptSample(&cursor, &sample);
    ASSERT_EQ(result, e.result) << cursor;
    if (result != TokenResult::kSample) continue;
    if (std::isnan(e.angle)) {
      EXPECT_TRUE(std::isnan(sample.angle));
    } else {
      EXPECT_EQ(sample.angle, e.angle);
    }
    EXPECT_EQ(sample.flags, e.flags);
  }
  // A token too long for any number is malformed, not read past.
  std::string long_token(500, '1');
  cursor = long_token.c_str();
  ScriptSample sample{};
  EXPECT_EQ(NextScriptSample(&cursor, &sample), TokenResult::kMalformed);
  EXPECT_EQ(NextScriptSample(&cursor, &sample), TokenResult::kEnd);
}

TEST(Settings, GoodValuesAreTakenAndMalformedOnesKeepTheDefault) {
  const struct {
    const char* name;
    const char* value;
    bool reported;
  } cases[] = {
      {"HSIF_SIM_MODEL", "50", false},
      {"HSIF_SIM_MODEL", "100", true},
      {"HSIF_SIM_CARDS", "0", false},
      {"HSIF_SIM_CARDS", "17", true},
      {"HSIF_SIM_CARDS", "2x", true},
      {"HSIF_SIM_MIRROR_HZ", "12.5", false},
      {"HSIF_SIM_MIRROR_HZ", "-1", true},
      {"HSIF_SIM_MIRROR_HZ", "nan", true},
      {"HSIF_SIM_MIRROR_WANDER", "0.5", false},
      {"HSIF_SIM_MIRROR_WANDER", "11", true},
      {"HSIF_SIM_MIRROR_SLOW_AFTER", "0", true},
      {"HSIF_SIM_MIRROR_SLOW_AFTER", "40", false},
      {"HSIF_SIM_MIRROR_SLOW_HZ", "1001", true},
      {"HSIF_SIM_UNPACED", "1", false},
      {"HSIF_SIM_UNPACED", "yes", true},
      {"HSIF_SIM_BUFFER", "0", true},
      {"HSIF_SIM_BUFFER", "1000", false},
      {"HSIF_SIM_FAIL", "encoder2", false},
      {"HSIF_SIM_FAIL", "everything", true},
      {"HSIF_SIM_FAIL_FETCH_AFTER", "0", false},
      {"HSIF_SIM_FAIL_FETCH_AFTER", "-3", true},
      {"HSIF_SIM_LOSE_DATA_AT", "0", true},
      {"HSIF_SIM_LOSE_DATA_AT", "99999999999999999999", true},
      {"HSIF_SIM_MODEL", "", false},
      {"HSIF_SIM_CLOCK_PPM", "-50.5", false},
      {"HSIF_SIM_CLOCK_PPM", "1001", true},
      {"HSIF_SIM_FETCH_DELAY_MS", "2", false},
      {"HSIF_SIM_FETCH_DELAY_MS", "-1", true},
      {"HSIF_SIM_SEED", "7x", true},
      {"HSIF_SIM_FETCH_STALL_EVERY", "-1", true},
      {"HSIF_SIM_FETCH_STALL_MS", "1001", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    SimSettings settings;
    testing::internal::CaptureStderr();
    ApplySetting(&settings, c.name, c.value);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("hsif stand-in: ", 0) == 0, c.reported) << err;
    if (c.reported) {
      SimSettings defaults;
      EXPECT_EQ(settings.model_200khz, defaults.model_200khz);
      EXPECT_EQ(settings.cards, defaults.cards);
      EXPECT_EQ(settings.mirror_hz, defaults.mirror_hz);
      EXPECT_EQ(settings.mirror_wander_percent, defaults.mirror_wander_percent);
      EXPECT_EQ(settings.mirror_slow_after, defaults.mirror_slow_after);
      EXPECT_EQ(settings.mirror_slow_hz, defaults.mirror_slow_hz);
      EXPECT_EQ(settings.buffer_samples, defaults.buffer_samples);
      EXPECT_EQ(settings.fail, defaults.fail);
      EXPECT_EQ(settings.fail_fetch_after, defaults.fail_fetch_after);
      EXPECT_EQ(settings.lose_data_at, defaults.lose_data_at);
    }
  }
  SimSettings settings;
  ApplySetting(&settings, "HSIF_SIM_LOG", std::string(2000, 'p').c_str());
  EXPECT_STREQ(settings.log_path, "") << "an over-long path is refused, not cut";
}

struct SensorRun {
  SensorState sensor;
  char commands[4][kSensorCommandChars + 1] = {};
  char reply[128] = {};
  int reply_length = 0;

  int Feed(const std::string& bytes) {
    return FeedSensor(&sensor, bytes.data(), static_cast<int>(bytes.size()), true, commands, 4,
                      reply, sizeof reply, &reply_length);
  }
  int Flush() {
    return FlushSensor(&sensor, true, commands, 4, reply, sizeof reply, &reply_length);
  }
  std::string Reply() const { return std::string(reply, static_cast<std::size_t>(reply_length)); }
};

TEST(Sensor, TakesCommandsEndedByLineEndOrByAPause) {
  SensorRun run;
  EXPECT_EQ(run.Feed("I"), 0) << "not complete while more may follow";
  EXPECT_EQ(run.Flush(), 1);
  EXPECT_STREQ(run.commands[0], "I");
  EXPECT_EQ(run.Reply(), "AR4000 200KHZ STAND-IN\r\n");
  EXPECT_TRUE(run.sensor.identified);

  EXPECT_EQ(run.Feed("I\r\nQ\n\r\n"), 2) << "empty lines are no commands";
  EXPECT_STREQ(run.commands[1], "Q");
  EXPECT_EQ(run.Reply(), "AR4000 200KHZ STAND-IN\r\n?\r\n");

  EXPECT_EQ(run.Feed(std::string(200, 'Z') + "\n"), 1) << "an over-long command is refused";
  EXPECT_EQ(run.Reply(), "?\r\n");
  EXPECT_EQ(std::strlen(run.commands[0]), static_cast<std::size_t>(kSensorCommandChars));
  EXPECT_EQ(run.Flush(), 0);
}

ScanSetup DemoSetup() {
  ScanSetup setup;
  setup.mirror_hz = 20.0;
  setup.cal_value = 400;
  setup.calibration.range_offset = -0.75;
  setup.calibration.range_scale = 1.0012;
  return setup;
}

TEST(Samples, AnglesWrapInsideOneTurnAndTheIndexMarksEachTurnOnce) {
  const struct {
    int period_ns;
    int counts;
    int offset;
  } cases[] = {{5000, 4096, 0}, {20000, 4096, 0}, {20000, 4096, 1000}, {7000, 200, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.period_ns);
    ScanSetup setup = DemoSetup();
    setup.encoder1_counts = c.counts;
    setup.encoder1_offset = c.offset;
    const std::int64_t start = 123456789;                                // arbitrary phase
    const int samples = static_cast<int>(3 * 50000000LL / c.period_ns);  // three turns at 20 Hz
    int index_marks = 0;
    int last_mark = -1;
    double previous_angle = -1;
    for (int i = 0; i < samples; ++i) {
      std::int64_t t = start + static_cast<std::int64_t>(i) * c.period_ns;
      RawSample raw = MakeLiveSample(setup, static_cast<std::uint64_t>(i), t, t - c.period_ns);
      ProcessedSample p;
      ProcessRawSample(setup, raw, &p);
      ASSERT_GE(p.angle, 0.0);
      ASSERT_LT(p.angle, kTwoPi);
      if (p.flags & kProcessedIndex) {
        ++index_marks;
        EXPECT_LT(p.angle, previous_angle) << "the mark is where the angle wraps";
        if (last_mark >= 0) {
          EXPECT_NEAR(i - last_mark, 50000000.0 / c.period_ns, 1.0);
        }
        last_mark = i;
      } else if (previous_angle >= 0) {
        EXPECT_GE(p.angle, previous_angle);
      }
      previous_angle = p.angle;
    }
    EXPECT_EQ(index_marks, 3);
  }
}

TEST(Samples, RangeComesBackThroughTheCalibration) {
  ScanSetup setup = DemoSetup();
  setup.encoder1_counts = 4096;
  for (std::int64_t t : {0LL, 7000000LL, 19000000LL, 33000000LL}) {
    RawSample raw = MakeLiveSample(setup, 1, t, t - 5000);
    ProcessedSample p;
    ProcessRawSample(setup, raw, &p);
    double range;
    std::memcpy(&range, reinterpret_cast<const unsigned char*>(&p) + 16, sizeof range);
    ASSERT_TRUE(p.flags & kProcessedRangeValid);
    EXPECT_NEAR(range, RoomRange(p.angle), 0.01);
  }
  // Beyond the maximum range, or with the laser off, a sample has no range.
  setup.max_range = 10;
  ProcessedSample p;
  ProcessRawSample(setup, MakeLiveSample(setup, 1, 0, -5000), &p);
  EXPECT_FALSE(p.flags & kProcessedRangeValid);
  setup.max_range = 1200;
  setup.laser_on = false;
  ProcessRawSample(setup, MakeLiveSample(setup, 1, 0, -5000), &p);
  EXPECT_EQ(p.flags & (kProcessedRangeValid | kProcessedLaserOn), 0);
}

TEST(Samples, ScriptedSamplesKeepTheirExactAngleAndFlags) {
  const double angles[] = {0.0,
                           -0.0,
                           1e-310,
                           -1e300,
                           std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(),
                           3.141592653589793};
  ScanSetup setup = DemoSetup();
  for (double angle : angles) {
    ProcessedSample p;
    std::memset(&p, 0xA5, sizeof p);
    ProcessRawSample(setup, MakeScriptedSample(angle, 0x8004), &p);
    EXPECT_EQ(std::memcmp(&p.angle, &angle, sizeof angle), 0) << angle;
    EXPECT_EQ(p.flags, 0x8004);
  }
}

TEST(Samples, ForeignRawRecordsStillGiveAnAngleInsideOneTurn) {
  ScanSetup setup = DemoSetup();
  RawSample junk{{0xFFFFF0FF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}};
  ProcessedSample p;
  ProcessRawSample(setup, junk, &p);
  EXPECT_GE(p.angle, 0.0);
  EXPECT_LT(p.angle, kTwoPi);
}

}  // namespace
}  // namespace standin
