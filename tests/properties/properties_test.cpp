// The run-properties reader against files of good and malformed lines.
#include "properties/properties.h"
#include "tests/properties/record_release.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/scratch_dir.h"

namespace {

class PropertiesFile {
 public:
  explicit PropertiesFile(const std::string& content)
      : path_(dir_.Write("properties.txt", content)) {}
  const char* path() const { return path_.c_str(); }

 private:
  test_support::ScratchDir dir_;
  std::string path_;
};

struct ReadResult {
  std::unique_ptr<RunProperties, RecordRelease> owner;
  RunProperties* record;
  std::string out;
};

ReadResult Read(const std::string& content) {
  PropertiesFile file(content);
  testing::internal::CaptureStdout();
  RunProperties* record = ReadProperties(file.path());
  return {std::unique_ptr<RunProperties, RecordRelease>(record), record,
          testing::internal::GetCapturedStdout()};
}

struct IntegerCase {
  const char* line;
  std::int32_t expected_port;
};

TEST(ReadProperties, IntegerValues) {
  const IntegerCase cases[] = {
      {"laser_serial_port=3\n", 3},
      {"laser_serial_port = 3 ; COM3\n", 3},
      {"laser_serial_port=\t-7\t\n", -7},
      {"laser_serial_port=+12\n", 12},
      {"laser_serial_port=abc\n", 0},
      {"laser_serial_port=12abc\n", 12},
      {"laser_serial_port=99999999999\n", 2147483647},
      {"laser_serial_port=-99999999999\n", -2147483647 - 1},
      {"laser_serial_port=2147483647\n", 2147483647},
      {"laser_serial_port=;;5;comment\n", 5},  // leading ';' are skipped
      {"laser_serial_port==5\n", 0},           // the value is "=5"
      {"laser_serial_port=4\r\n", 4},          // a file written on Windows
      {"laser_serial_portX=6\n", 6},           // a prefix match is a match
      {"laser_serial_port=8", 8},              // no final newline
  };
  for (const IntegerCase& c : cases) {
    ReadResult result = Read(std::string("laser_serial_port=1\n") + c.line);
    ASSERT_NE(result.record, nullptr) << c.line;
    EXPECT_EQ(result.record->laser_serial_port, c.expected_port) << c.line;
  }
}

TEST(ReadProperties, LinesWithoutValueChangeNothing) {
  const char* lines[] = {"laser_serial_port=\n", "laser_serial_port\n",
                         "laser_serial_port=   ; only a comment\n", "laser_serial_port=;\n"};
  for (const char* line : lines) {
    ReadResult result = Read(std::string("laser_serial_port=9\n") + line);
    ASSERT_NE(result.record, nullptr);
    EXPECT_EQ(result.record->laser_serial_port, 9) << line;
    EXPECT_EQ(result.out, "") << line;
  }
}

TEST(ReadProperties, EveryKeyReachesItsSlot) {
  ReadResult result = Read(
      "laser_serial_port=1\nlaser_baud_rate=2\nlaser_hsif_board=3\nlaser_sample_period=4\n"
      "laser_sample_lines=5\nlaser_max_range = 1200 ; inches\nlaser_motor_number=7\n"
      "laser_power_level=8\ngyro_enabled=9\ngyro_serial_port=COM4\ngyro_baud_rate=11\n"
      "gyro_mode=fast\ngps_enabled=13\ngps_serial_port= COM5 \ngps_baud_rate=15\n"
      "calibration_file=  D:\\cal\\lookup.dat  \n");
  ASSERT_NE(result.record, nullptr);
  const RunProperties& r = *result.record;
  EXPECT_EQ(r.laser_serial_port, 1);
  EXPECT_EQ(r.laser_baud_rate, 2);
  EXPECT_EQ(r.laser_hsif_board, 3);
  EXPECT_EQ(r.laser_sample_period, 4);
  EXPECT_EQ(r.laser_sample_lines, 5);
  EXPECT_EQ(r.laser_max_range, 1200);
  EXPECT_EQ(r.laser_motor_number, 7);
  EXPECT_EQ(r.laser_power_level, 8);
  EXPECT_EQ(r.gyro_enabled, 9);
  EXPECT_STREQ(r.gyro_serial_port, "COM4");
  EXPECT_EQ(r.gyro_baud_rate, 11);
  EXPECT_STREQ(r.gyro_mode, "fast");
  EXPECT_EQ(r.gps_enabled, 13);
  EXPECT_STREQ(r.gps_serial_port, "COM5");
  EXPECT_EQ(r.gps_baud_rate, 15);
  EXPECT_STREQ(r.calibration_file, "D:\\cal\\lookup.dat");
  EXPECT_EQ(result.out, "");
}

TEST(ReadProperties, UnknownLinesAreReportedTrimmed) {
  ReadResult result = Read("  laser_serial_port=3\n\n; comment\nfoo=bar\r\n");
  ASSERT_NE(result.record, nullptr);
  EXPECT_EQ(result.record->laser_serial_port, 0);
  EXPECT_EQ(result.out,
            ">>not found laser_serial_port=3\n>>not found \n>>not found ; comment\n"
            ">>not found foo=bar\n");
}

TEST(ReadProperties, MissingKeysStayZeroAndLastValueWins) {
  ReadResult result = Read("gyro_mode=a\ngyro_mode=b\ngyro_mode=\n");
  ASSERT_NE(result.record, nullptr);
  EXPECT_STREQ(result.record->gyro_mode, "b");
  EXPECT_EQ(result.record->calibration_file, nullptr);
  EXPECT_EQ(result.record->laser_max_range, 0);
}

TEST(ReadProperties, LongLinesAreSplitEvery99Characters) {
  // 150 characters: the first 99 are one line, the other 51 another.
  std::string value(150 - std::strlen("gyro_mode="), 'v');
  ReadResult result = Read("gyro_mode=" + value + "\n");
  ASSERT_NE(result.record, nullptr);
  EXPECT_EQ(std::strlen(result.record->gyro_mode), 99u - std::strlen("gyro_mode="));
  EXPECT_EQ(result.out, ">>not found " + std::string(51, 'v') + "\n");
}

TEST(ReadProperties, NulBytesEndTheLineText) {
  std::string content = "gyro_mode=ab";
  content += '\0';
  content += "cd\nlaser_hsif_board=2\n";
  ReadResult result = Read(content);
  ASSERT_NE(result.record, nullptr);
  EXPECT_STREQ(result.record->gyro_mode, "ab");
  EXPECT_EQ(result.record->laser_hsif_board, 2);
}

TEST(ReadProperties, MissingFileIsReportedOnStderr) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadProperties("/nonexistent/properties.txt"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "param file not found /nonexistent/properties.txt\n");
}

TEST(TrimWhitespace, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},        {"   ", ""},   {"\t a b \r\n", "a b"}, {"x", "x"},
      {" \v\fx", "x"}, {"x \n", "x"}, {"a  b", "a  b"},
  };
  for (const auto& [input, expected] : cases) {
    char buffer[32];
    std::strcpy(buffer, input);
    EXPECT_EQ(TrimWhitespace(buffer), buffer);
    EXPECT_STREQ(buffer, expected) << '"' << input << '"';
  }
}

TEST(DumpProperties, PrintsEverySlotInTableOrder) {
  RunProperties record{};
  record.laser_serial_port = 3;
  char mode[] = "fast";
  record.gyro_mode = mode;
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  DumpProperties(stream, &record);
  std::rewind(stream);
  std::string text;
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) text += static_cast<char>(c);
  std::fclose(stream);
  EXPECT_EQ(text,
            "dump of input parameters\n"
            "laser_serial_port -> 3\nlaser_baud_rate -> 0\nlaser_hsif_board -> 0\n"
            "laser_sample_period -> 0\nlaser_sample_lines -> 0\nlaser_max_range -> 0\n"
            "laser_motor_number -> 0\nlaser_power_level -> 0\ngyro_enabled -> 0\n"
            "gyro_serial_port -> (null)\ngyro_baud_rate -> 0\ngyro_mode -> fast\n"
            "gps_enabled -> 0\ngps_serial_port -> (null)\ngps_baud_rate -> 0\n"
            "calibration_file -> (null)\n");
}

}  // namespace
