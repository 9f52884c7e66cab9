// The preflight's check of a properties file's keys and values.
#include "properties/property_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "properties/properties.h"
#include "tests/properties/record_release.h"

namespace {

// Text through a temporary file both ways (fmemopen is not on Windows).
std::FILE* FileWith(const std::string& text) {
  std::FILE* file = std::tmpfile();
  std::fputs(text.c_str(), file);
  std::rewind(file);
  return file;
}

std::string Drain(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

const char* const kGood = "laser_serial_port=1\nlaser_sample_period=20\nlaser_max_range=1200\n";

TEST(PropertyCheck, ReportsEveryProblemOnce) {
  const struct {
    const char* name;
    std::string text;  // the file; kGood supplies what the values check needs
    int errors;
    int notes;
    const char* report;  // part of what is printed
  } cases[] = {
      {"good", kGood + std::string("; a comment\n\ncalibration_file=x.cal\n"), 0, 0, ""},
      {"typo", kGood + std::string("laser_motor_numbr=1\n"), 1, 0,
       "line 4: unknown key laser_motor_numbr; the monitor ignores the line\n"
       "  hint: the nearest known key is laser_motor_number.\n"},
      {"blank before the key", kGood + std::string("  gyro_mode=rate\n"), 1, 0,
       "the key must begin the line"},
      {"not a key line", kGood + std::string("[laser]\n"), 0, 1, "\"[laser]\" is not a key=value"},
      {"not a number", "laser_serial_port=1\nlaser_sample_period=abc\nlaser_max_range=1200\n", 1, 0,
       "line 2: laser_sample_period=abc is not a number; the monitor reads 0\n"},
      {"no value", "laser_serial_port=1\nlaser_sample_period=20\nlaser_max_range=  ;inches\n", 1, 0,
       "line 3: laser_max_range has no value; the monitor reads 0\n"},
      {"port name for a number",
       "laser_serial_port=COM12\nlaser_sample_period=20\nlaser_max_range=1200\n", 1, 0,
       "laser_serial_port=12 for COM12."},
      {"unit after the number",
       "laser_serial_port=1\nlaser_sample_period=20us\nlaser_max_range=9\n", 0, 1,
       "laser_sample_period=20us is read as 20"},
      {"key with more after it", kGood + std::string("laser_max_range2=5\n"), 0, 2,
       "laser_max_range2 is read as the key laser_max_range"},
      {"set twice", kGood + std::string("laser_max_range=5\n"), 0, 1,
       "laser_max_range is set again (first on line 3)"},
      {"longer than the reader takes", kGood + std::string("gyro_mode=") + std::string(120, 'r'), 0,
       1, "line 4: longer than 99 characters"},
      {"period under the card's", "laser_serial_port=1\nlaser_sample_period=4\nlaser_max_range=9\n",
       1, 0, "laser_sample_period=4: the card's shortest sample period is 5 us"},
      {"period for the 200 kHz model",
       "laser_serial_port=1\nlaser_sample_period=5\nlaser_max_range=9\n", 0, 1,
       "the 50 kHz model needs 20 us or more"},
      {"range zero", "laser_serial_port=1\nlaser_sample_period=20\nlaser_max_range=0\n", 1, 0,
       "laser_max_range=0: the card takes a maximum range of 1 inch or more"},
      {"negative card", kGood + std::string("laser_hsif_board=-1\n"), 1, 0,
       "laser_hsif_board=-1 is not a card number"},
      {"port zero", "laser_serial_port=0\nlaser_sample_period=20\nlaser_max_range=9\n", 1, 0,
       "laser_serial_port=0 is not a port number"},
      {"nothing set", "", 3, 0, "laser_sample_period is not set in properties.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* file = FileWith(c.text);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_NE(out, nullptr);
    PropertyFindings findings;
    CheckPropertyLines(file, "properties.txt", out, &findings);
    // The record as the monitor would read it.
    std::rewind(file);
    std::string path = testing::TempDir() + "property_check_" + std::to_string(&c - cases) + ".txt";
    std::FILE* copy = std::fopen(path.c_str(), "w");
    std::fputs(c.text.c_str(), copy);
    std::fclose(copy);
    OwnedRecord record(ReadProperties(path.c_str()));
    std::remove(path.c_str());
    ASSERT_NE(record, nullptr);
    CheckPropertyValues(*record, out, &findings);
    std::string report = Drain(out);
    std::fclose(file);
    EXPECT_EQ(findings.errors, c.errors) << report;
    EXPECT_EQ(findings.notes, c.notes) << report;
    EXPECT_NE(report.find(c.report), std::string::npos) << report;
  }
}

TEST(PropertyCheck, NearestKey) {
  static const std::string kLong(500, 'x');
  const struct {
    const char* typed;
    const char* nearest;
  } cases[] = {
      {"laser_max_rnage", "laser_max_range"},
      {"laser_sample_perod", "laser_sample_period"},
      {"calibration", "calibration_file"},
      {"gps_baud", "gps_baud_rate"},
      {"", "gyro_mode"},                   // the shortest key wins an empty name
      {kLong.c_str(), "laser_max_range"},  // cut to 63: the one key with an x
  };
  for (const auto& c : cases) EXPECT_STREQ(NearestPropertyKey(c.typed), c.nearest) << c.typed;
}

}  // namespace
