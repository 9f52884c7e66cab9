// Number and line reading of the configuration reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/config_line.h"

namespace {

using capture_config::ReadConfigLine;
using capture_config::ScanDecimalInt;

TEST(ScanDecimalInt, ReadsWhatPercentDReads) {
  struct Case {
    const char* text;
    bool converted;
    std::int32_t value;
  };
  const Case cases[] = {
      {"12", true, 12},
      {"12 ; comment", true, 12},
      {" \t\v\f\r\n-34x", true, -34},
      {"+7", true, 7},
      {"-0", true, 0},
      {"007", true, 7},
      {"0x1F", true, 0},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      // Beyond 32 bits: saturated.
      {"2147483648", true, INT32_MAX},
      {"-2147483649", true, INT32_MIN},
      {"4294967301", true, INT32_MAX},
      {"123456789012345678901234567890", true, INT32_MAX},
      {"-123456789012345678901234567890", true, INT32_MIN},
      // No number.
      {"", false, 0},
      {"   ", false, 0},
      {"- 5", false, 0},
      {"+-5", false, 0},
      {"abc 5", false, 0},
      {"; 5", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::int32_t value = 0x5A5A5A5A;
    EXPECT_EQ(ScanDecimalInt(c.text, &value), c.converted);
    EXPECT_EQ(value, c.converted ? c.value : 0x5A5A5A5A);
  }
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::FILE* file = std::tmpfile();
  std::fwrite(content.data(), 1, content.size(), file);
  std::rewind(file);
  std::vector<std::string> lines;
  char line[capture_config::kLineBytes];
  while (ReadConfigLine(file, line, sizeof line)) lines.emplace_back(line);
  std::fclose(file);
  return lines;
}

TEST(ReadConfigLine, SplitsLikeFgetsInTextMode) {
  const std::string long_line(1023, 'a');
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a\nb", {"a\n", "b"}},
      {"a\r\nb\r\n", {"a\n", "b\n"}},
      {"a\rb\r", {"a\rb\r"}},  // a CR alone is an ordinary character
      {"\n\n", {"\n", "\n"}},
      {long_line + "\n", {long_line, "\n"}},
      {long_line + "bc\n", {long_line, "bc\n"}},
      {std::string(1022, 'a') + "\r\nz", {std::string(1022, 'a') + "\n", "z"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    EXPECT_EQ(SplitLines(c.content), c.lines);
  }
}

TEST(NumberWithText, TellsWhatFollowsTheNumberAndTheLikelyIntent) {
  const struct {
    const char* text;
    bool warned;
    const char* intent;
  } cases[] = {
      {"12", false, nullptr},
      {" 12 ; max range\n", false, nullptr},
      {"12;comment", false, nullptr},
      {"-5\t# x", false, nullptr},
      {"name.cal", false, nullptr},  // no number: the reader fails the line instead
      {"12OO ; max range\n", true, "1200 (a letter O typed for a zero)"},
      {"5000O0 ; buffer size", true, "500000 (a letter O typed for a zero)"},
      {"2,000,000 ; samples", true, "2000000 (digit group separators are not read)"},
      {"-1_000", true, "-1000 (digit group separators are not read)"},
      {"1.5", true, "a whole number (a decimal point ends the number)"},
      {"1,5", true, "a whole number (a decimal point ends the number)"},
      {"20us", true, "the number alone, with a blank or ';' before any comment"},
      {"12,00", true, "a whole number (a decimal point ends the number)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(capture_config::HasTextAfterNumber(c.text), c.warned);
    if (c.intent == nullptr) continue;
    char intent[96];
    capture_config::DescribeLikelyIntent(c.text, intent, sizeof intent);
    EXPECT_STREQ(intent, c.intent);
  }
}

}  // namespace
