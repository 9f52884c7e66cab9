// The capture configuration reader: rules, echoes, error numbering, the
// version-dependent end, names, and the shape of the lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_config.h"
#include "tests/capture/config_test_support.h"
#include "tests/support/scratch_dir.h"

namespace {

const char* const kDescriptions[16] = {
    "Config file version",
    "Com port",
    "HSIF card number",
    "Sampling period in microseconds",
    "Max range in inches",
    "Buffer size for intermediate sample storage (30,000 max)",
    "Number of samples to capture",
    "Motor 1 power (0..255)",
    "Motor 2 power (0..255)",
    "Motor 1 encoder pulses per revolution",
    "Motor 2 encoder pulses per revolution",
    "Calibration file (lookuphs)",
    "Output capture data filename",
    "Delay in milliseconds before acquisition starts to allow motors to stabilize",
    "Process affinity - set to 1 for single CPU, else set to 0 for multiple CPUs",
    "Write \".raw\" file - set to 1 to write this file for va_vaz utility",
};

const char kFailure[] = "\nERROR: Configuration file parse failed.\n";

std::string ErrorLine(int number) {
  return "Error reading parameter " + std::to_string(number) + ": \"" + kDescriptions[number - 1] +
         "\"\n";
}

// The numeric target of each parameter, widened.
std::int64_t Target(const ConfigRun& run, int number) {
  const CaptureHeader& h = run.header;
  switch (number) {
    case 1:
      return h.version;
    case 2:
      return h.comport;
    case 3:
      return h.card_number;
    case 4:
      return h.sample_period;
    case 5:
      return h.max_range;
    case 6:
      return h.buf_size;
    case 7:
      return h.num_samples;
    case 8:
      return h.motor1_power;
    case 9:
      return h.motor2_power;
    case 10:
      return h.motor1_encoder_ppr;
    case 11:
      return h.motor2_encoder_ppr;
    case 14:
      return run.delay_ms;
    case 15:
      return run.single_cpu;
    case 16:
      return run.write_raw;
  }
  ADD_FAILURE() << "no numeric target for parameter " << number;
  return 0;
}

ConfigRun RunWithLine(int number, const std::string& line) {
  std::vector<std::string> lines = GoodLines();
  lines[number - 1] = line;
  return RunConfig(JoinLines(lines));
}

TEST(ReadCaptureConfig, GoodFileEchoesAllSixteenAndFillsOutputs) {
  const ConfigRun run = RunConfig(JoinLines(GoodLines()));
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.out, JoinLines(GoodEchoes(), ""));
  EXPECT_STREQ(run.header.cal_file, "lookuphs.cal");
  EXPECT_STREQ(run.capture_file, "scan01.raw");
  EXPECT_STREQ(run.prc_file, "scan01.prc");
  EXPECT_EQ(run.delay_ms, 3000);
  EXPECT_EQ(run.single_cpu, 1);
  EXPECT_EQ(run.write_raw, 1);
  // Not carried by the file: left to the caller.
  EXPECT_EQ(static_cast<std::uint32_t>(run.header.calibration_value), kJunkWord);
  EXPECT_EQ(run.header.sensor_model, kJunkByte);
}

TEST(ReadCaptureConfig, NumericRulesAndWhenValuesReachTheirTargets) {
  struct Case {
    int number;
    const char* line;
    const char* echo;     // null: the line fails
    std::int64_t target;  // the target afterwards
  };
  constexpr std::int64_t kJunk8 = kJunkByte;
  constexpr std::int64_t kJunk32 = kJunkWord;
  const Case cases[] = {
      // Version: any integer, comments after it ignored.
      {1, "12 ; format", "Configuration version = 12\n", 12},
      {1, "v3", nullptr, kJunk32},
      // Byte settings reach their field only when in range.
      {2, "254", "Comport = 254\n", 254},
      {2, "1", "Comport = 1\n", 1},
      {2, "255", nullptr, kJunk8},
      {2, "0", nullptr, kJunk8},
      {8, "0", "Motor 1 power = 0\n", 0},
      {8, "255", "Motor 1 power = 255\n", 255},
      {8, "256", nullptr, kJunk8},
      {8, "-1", nullptr, kJunk8},
      {9, "256", nullptr, kJunk8},
      // The card number out of range is ignored, not refused.
      {3, "15", "Card number = 15\n", 15},
      {3, "16", "Card number = 165\n", kJunk8},
      {3, "-1", "Card number = 165\n", kJunk8},
      {3, "card", nullptr, kJunk8},
      // 32-bit settings are stored before their check, compared unsigned.
      {4, "4", nullptr, 4},
      {4, "5", "Sampling period = 5 us\n", 5},
      {4, "-1", "Sampling period = -1 us\n", 0xFFFFFFFF},
      {4, " \t+8", "Sampling period = 8 us\n", 8},
      {5, "0", "Max range = 0\n", 0},
      {5, "99999", "Max range = 99999\n", 99999},
      {5, "100000", nullptr, 100000},
      {5, "-1", nullptr, 0xFFFFFFFF},
      {6, "1", "Buffer Size = 1\n", 1},
      {6, "30000", "Buffer Size = 30000\n", 30000},
      {6, "0", nullptr, 0},
      {6, "30001", nullptr, 30001},
      {6, "-1", nullptr, 0xFFFFFFFF},
      {7, "0", nullptr, 0},
      {7, "-3", "Number of samples = -3\n", 0xFFFFFFFD},
      {10, "-7 pulses", "Motor 1 encoder ppr = -7\n", -7},
      {11, "ppr", nullptr, static_cast<std::int32_t>(kJunkWord)},
      {14, "-250", "Motor stabilization delay = -250 ms\n", -250},
      // Beyond 32 bits a number saturates.
      {5, "99999999999", nullptr, 0x7FFFFFFF},
      {14, "99999999999", "Motor stabilization delay = 2147483647 ms\n", 2147483647},
      {14, "-99999999999", "Motor stabilization delay = -2147483648 ms\n", -2147483647 - 1},
      // Only a 1 sets a flag; other numbers are accepted and echoed.
      {15, "2", "Process affinity = 2 \n", 0},
      {15, "1", "Process affinity = 1 \n", 1},
      {16, "0", "Write .raw file if runing va_vaz = 0\n", 0},
      {16, "yes", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "parameter " << c.number << ": '" << c.line << "'");
    const ConfigRun run = RunWithLine(c.number, c.line);
    std::vector<std::string> expected = GoodEchoes();
    expected[c.number - 1] = c.echo != nullptr ? c.echo : ErrorLine(c.number);
    EXPECT_EQ(run.out, JoinLines(expected, "") + (c.echo != nullptr ? "" : kFailure));
    EXPECT_EQ(run.result, c.echo != nullptr ? 1 : 0);
    EXPECT_EQ(Target(run, c.number), c.target);
  }
}

TEST(ReadCaptureConfig, NamesEndAtBlankOrSemicolonAndHaveLimits) {
  const std::string name256(256, 'c');
  const std::string name255(255, 'k');
  struct Case {
    int number;
    std::string line;
    bool accepted;
    std::string stored;  // cal_file, or capture_file for 13
    std::string prc;     // prc_file for 13
  };
  const Case cases[] = {
      {13, "run7 ; second run", true, "run7.raw", "run7.prc"},
      {13, "run7;second run", true, "run7.raw", "run7.prc"},
      {13, " \trun 7", true, "run.raw", "run.prc"},
      {13, name256, true, name256 + ".raw", name256 + ".prc"},
      {13, name256 + "xyz", true, name256 + ".raw", name256 + ".prc"},  // 256 taken
      {13, "", false, "", kJunkName},
      {13, "  ; no name", false, "", kJunkName},
      {12, "cal.lut ;lookup", true, "cal.lut", ""},
      {12, name255, true, name255, ""},
      // A name the field cannot hold with its terminator is refused whole.
      {12, name256, false, std::string(256, static_cast<char>(kJunkByte)), ""},
      {12, "", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "parameter " << c.number << ": '" << c.line << "'");
    const ConfigRun run = RunWithLine(c.number, c.line);
    EXPECT_EQ(run.result, c.accepted ? 1 : 0);
    EXPECT_EQ(run.out.find(ErrorLine(c.number)) == std::string::npos, c.accepted);
    if (c.number == 13) {
      EXPECT_EQ(run.capture_file, c.stored);
      EXPECT_EQ(run.prc_file, c.prc);
    } else {
      EXPECT_EQ(std::string(run.header.cal_file, strnlen(run.header.cal_file, 256)), c.stored);
    }
    if (c.accepted) {
      const char* echo = c.number == 13 ? "Capture file = " : "Calibration file = ";
      EXPECT_NE(run.out.find(echo + c.stored + "\n"), std::string::npos);
    }
  }
}

TEST(ReadCaptureConfig, VersionDecidesWhereReadingStops) {
  struct Case {
    const char* name;
    std::string line1;
    std::int64_t caller_version;  // -1: junk
    int lines;                    // how many of the good lines follow line 1
    const char* extra;            // appended lines
    int result;
    bool flags_read;
  };
  const Case cases[] = {
      {"version 1 ignores lines 15 and 16", "1", -1, 13, "nonsense\nnonsense\n", 1, false},
      {"version 0 likewise", "0", -1, 13, "nonsense\n", 1, false},
      {"version 1 file of fourteen lines", "1", -1, 13, "", 1, false},
      {"version 2 reads sixteen", "2", -1, 15, "", 1, true},
      {"lines after the sixteenth are ignored", "3", -1, 15, "nonsense\n", 1, true},
      {"failed line 1 leaves the caller's version 1", "x", 1, 13, "nonsense\n", 0, false},
      {"failed line 1 leaves the caller's version 3", "x", 3, 15, "", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines = GoodLines();
    lines.resize(c.lines + 1);
    lines[0] = c.line1;
    const ConfigRun run = RunConfig(JoinLines(lines) + c.extra, c.caller_version);
    EXPECT_EQ(run.result, c.result) << run.out;
    EXPECT_EQ(run.out.find("parameter 15"), std::string::npos);
    EXPECT_EQ(run.out.find("parameter 16"), std::string::npos);
    EXPECT_EQ(run.single_cpu, c.flags_read ? 1 : 0);
    EXPECT_EQ(run.write_raw, c.flags_read ? 1 : 0);
    EXPECT_EQ(run.delay_ms, 3000);
  }
}

TEST(ReadCaptureConfig, ShortFileKeepsMissingValues) {
  std::vector<std::string> lines = GoodLines();
  lines.resize(5);
  const ConfigRun run = RunConfig(JoinLines(lines));
  EXPECT_EQ(run.result, 1);
  std::vector<std::string> echoes = GoodEchoes();
  echoes.resize(5);
  EXPECT_EQ(run.out, JoinLines(echoes, ""));
  EXPECT_EQ(run.header.max_range, 4000u);
  EXPECT_EQ(run.header.buf_size, kJunkWord);
  EXPECT_EQ(run.header.motor2_power, kJunkByte);
  EXPECT_EQ(static_cast<unsigned char>(run.header.cal_file[0]), kJunkByte);
  EXPECT_STREQ(run.capture_file, kJunkName);
  EXPECT_STREQ(run.prc_file, kJunkName);
  EXPECT_EQ(static_cast<std::uint32_t>(run.delay_ms), kJunkWord);
  EXPECT_EQ(run.single_cpu, 0);
  EXPECT_EQ(run.write_raw, 0);
}

TEST(ReadCaptureConfig, EachBlankLineFailsUnderItsOwnNumber) {
  for (int number = 1; number <= 16; ++number) {
    SCOPED_TRACE(number);
    const ConfigRun run = RunWithLine(number, "");
    std::vector<std::string> expected = GoodEchoes();
    expected[number - 1] = ErrorLine(number);
    EXPECT_EQ(run.out, JoinLines(expected, "") + kFailure);
    EXPECT_EQ(run.result, 0);
  }
}

TEST(ReadCaptureConfig, ErrorsAreCountedByPosition) {
  // Two bad lines: both reported, the good values still applied.
  std::vector<std::string> lines = GoodLines();
  lines[1] = "0";
  lines[7] = "300";
  ConfigRun run = RunConfig(JoinLines(lines));
  EXPECT_EQ(run.result, 0);
  std::vector<std::string> expected = GoodEchoes();
  expected[1] = ErrorLine(2);
  expected[7] = ErrorLine(8);
  EXPECT_EQ(run.out, JoinLines(expected, "") + kFailure);
  EXPECT_EQ(run.header.motor2_power, 100);
  EXPECT_STREQ(run.capture_file, "scan01.raw");

  // A comment line at the top shifts every value down one parameter.
  run = RunConfig("# capture settings\n" + JoinLines(GoodLines()));
  EXPECT_EQ(run.result, 0);
  for (int number : {1, 4, 8, 14}) EXPECT_NE(run.out.find(ErrorLine(number)), std::string::npos);
  EXPECT_EQ(run.header.comport, 3);
  EXPECT_STREQ(run.header.cal_file, "2048");
  EXPECT_STREQ(run.capture_file, "lookuphs.cal.raw");
}

TEST(ReadCaptureConfig, LineShapes) {
  const ConfigRun good = RunConfig(JoinLines(GoodLines()));
  // Windows line ends read as plain ones; so does a missing final newline.
  for (const std::string& text :
       {JoinLines(GoodLines(), "\r\n"),
        JoinLines(GoodLines()).substr(0, JoinLines(GoodLines()).size() - 1)}) {
    const ConfigRun run = RunConfig(text);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, good.out);
    EXPECT_STREQ(run.capture_file, "scan01.raw");
    EXPECT_EQ(run.write_raw, 1);
  }

  // A line longer than 1023 characters: its rest is the next parameter.
  std::vector<std::string> lines = GoodLines();
  lines[0] = "3" + std::string(1022, ' ') + "7";
  ConfigRun run = RunConfig(JoinLines(lines));
  EXPECT_EQ(run.header.version, 3u);
  EXPECT_EQ(run.header.comport, 7);
  EXPECT_EQ(run.header.card_number, 4);

  // A NUL byte ends a line's text.
  lines = GoodLines();
  lines[12] = std::string("scan\0junk", 9);
  lines[1] = std::string(
      "\0"
      "4",
      2);
  run = RunConfig(JoinLines(lines));
  EXPECT_EQ(run.result, 0);
  EXPECT_STREQ(run.capture_file, "scan.raw");
  EXPECT_NE(run.out.find(ErrorLine(2)), std::string::npos);
  EXPECT_EQ(run.header.card_number, 2);  // the numbering went on
}

TEST(ReadCaptureConfig, UnreadableFileFails) {
  // On Linux a directory opens as a stream whose first read fails.
  const test_support::ScratchDir scratch;
  const std::string dir = scratch.str();
  CaptureHeader header{};
  std::int32_t delay = 0;
  char capture_file[kCaptureFileNameBytes] = "";
  char prc_file[kCaptureFileNameBytes] = "";
  std::uint8_t single_cpu = 0;
  std::uint8_t write_raw = 0;
  ::testing::internal::CaptureStdout();
  const int result = ReadCaptureConfig(dir.c_str(), &header, &delay, capture_file, prc_file,
                                       &single_cpu, &write_raw);
  const std::string out = ::testing::internal::GetCapturedStdout();
  if (out.starts_with("Could not open")) GTEST_SKIP() << "directories do not open as files here";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, kFailure);
}

TEST(ReadCaptureConfig, MissingFileTouchesNothing) {
  CaptureHeader header;
  std::memset(&header, kJunkByte, sizeof header);
  std::int32_t delay = 5;
  char capture_file[kCaptureFileNameBytes] = "keep";
  char prc_file[kCaptureFileNameBytes] = "keep";
  std::uint8_t single_cpu = 7;
  std::uint8_t write_raw = 7;
  const test_support::ScratchDir scratch;
  const std::string path = scratch.File("no/such/config.txt");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadCaptureConfig(path.c_str(), &header, &delay, capture_file, prc_file, &single_cpu,
                              &write_raw),
            0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Could not open " + path + "\n");
  EXPECT_EQ(single_cpu, 7);
  EXPECT_EQ(write_raw, 7);
  EXPECT_STREQ(capture_file, "keep");
  EXPECT_EQ(header.version, kJunkWord);
}

}  // namespace
