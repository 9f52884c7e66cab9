// The command-line kit: its number rule and its option rules, as tables.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(CommandLineKit, WholeNumbers) {
  struct Row {
    const char* text;
    std::int64_t min, max;
    bool accepted;
    std::int64_t value;
  };
  const Row rows[] = {{"0", 0, 10, true, 0},
                      {"007", 0, 10, true, 7},
                      {"-0", 0, 10, true, 0},
                      {"-25", INT32_MIN, INT32_MAX, true, -25},
                      {"2147483647", INT32_MIN, INT32_MAX, true, INT32_MAX},
                      {"-2147483648", INT32_MIN, INT32_MAX, true, INT32_MIN},
                      {"9223372036854775807", INT64_MIN, INT64_MAX, true, INT64_MAX},
                      {"-9223372036854775808", INT64_MIN, INT64_MAX, true, INT64_MIN},
                      // Out of range, also beyond 64 bits (no wrap-around).
                      {"2147483648", INT32_MIN, INT32_MAX, false, 0},
                      {"-2147483649", INT32_MIN, INT32_MAX, false, 0},
                      {"9223372036854775808", INT64_MIN, INT64_MAX, false, 0},
                      {"-9223372036854775809", INT64_MIN, INT64_MAX, false, 0},
                      {"18446744073709551621", INT64_MIN, INT64_MAX, false, 0},
                      {"-1", 0, 10, false, 0},
                      {"11", 0, 10, false, 0},
                      // Only "-" and digits: what strtol would take is refused.
                      {"", 0, 10, false, 0},
                      {"-", -10, 10, false, 0},
                      {" 5", 0, 10, false, 0},
                      {"5 ", 0, 10, false, 0},
                      {"+5", 0, 10, false, 0},
                      {" +5", 0, 10, false, 0},
                      {"--5", -10, 10, false, 0},
                      {"0x10", 0, 100, false, 0},
                      {"1e3", 0, 10000, false, 0},
                      {"96k", 0, 100000, false, 0},
                      {"5.0", 0, 10, false, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("'") + row.text + "'");
    std::int64_t value = 12345;  // a sentinel: untouched on refusal
    EXPECT_EQ(ParseWholeNumber(row.text, row.min, row.max, &value), row.accepted);
    EXPECT_EQ(value, row.accepted ? row.value : 12345);
  }
}

const ProgramText kProgram = {"kit-test", "Usage: kit-test [--flag] [--count N] FILE...\n",
                              "\nHelp body.\n"};
const OptionEntry kOptions[] = {{"--flag", nullptr}, {"--count", "N"}};
const std::string kUsageTail =
    "Usage: kit-test [--flag] [--count N] FILE...\nTry 'kit-test --help' for more information.\n";

// The kit's pass over "kit-test" and `args` (kept alive by the caller, with
// the argument vector `argv` made of them).
CommandLine StartKitLine(std::vector<std::string>* args, std::vector<char*>* argv) {
  *argv = {const_cast<char*>("kit-test")};
  for (std::string& arg : *args) argv->push_back(arg.data());
  argv->push_back(nullptr);
  return StartCommandLine(kProgram, kOptions, static_cast<int>(argv->size()) - 1, argv->data());
}

TEST(CommandLineKit, OptionsOperandsHelpVersionAndUsageErrors) {
  const std::string help = "Usage: kit-test [--flag] [--count N] FILE...\n\nHelp body.\n";
  const std::string version = "kit-test (scanmon) " + std::to_string(SCANMON_VERSION_MAJOR) + "." +
                              std::to_string(SCANMON_VERSION_MINOR) + "." +
                              std::to_string(SCANMON_VERSION_PATCH) + "." +
                              std::to_string(SCANMON_VERSION_TWEAK) + "\n";
  struct Row {
    std::vector<std::string> args;
    std::string steps;  // o<option>[=value], f:<operand>; "." at the end of the arguments
    int exit_status;
    std::string out, err;
  };
  const Row rows[] = {
      {{}, ".", -1, "", ""},
      {{"a", "--flag", "b"}, "f:a o0 f:b .", -1, "", ""},
      {{"--count", "5", "--count=-7", "--count", "--flag", "--count="},
       "o1=5 o1=-7 o1=--flag o1= .",
       -1,
       "",
       ""},
      // Negative numbers and "-" alone are operands; "--" ends the options.
      {{"-25", "-", "--", "--flag", "--help", "-x", "--"},
       "f:-25 f:- f:--flag f:--help f:-x f:-- .",
       -1,
       "",
       ""},
      {{"a", "--help", "--bogus"}, "f:a ", 0, help, ""},
      {{"-h"}, "", 0, help, ""},
      {{"--version", "--help"}, "", 0, version, ""},
      {{"--flag", "--bogus"}, "o0 ", 2, "", "kit-test: unknown option --bogus\n" + kUsageTail},
      {{"-x"}, "", 2, "", "kit-test: unknown option -x\n" + kUsageTail},
      {{"--help=1"}, "", 2, "", "kit-test: unknown option --help=1\n" + kUsageTail},
      {{"--fla"}, "", 2, "", "kit-test: unknown option --fla\n" + kUsageTail},
      {{"--flag=yes"}, "", 2, "", "kit-test: --flag takes no value\n" + kUsageTail},
      {{"a", "--count"}, "f:a ", 2, "", "kit-test: missing value for --count\n" + kUsageTail},
  };
  for (Row row : rows) {
    std::vector<char*> argv;
    CommandLine line = StartKitLine(&row.args, &argv);
    std::string steps;
    int exit_status = -1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ArgStep step;
    for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
      if (kind == ArgKind::kExit) {
        exit_status = line.exit_status;
        break;
      }
      steps += kind == ArgKind::kOperand ? "f:" : "o" + std::to_string(step.option);
      if (kind == ArgKind::kOption && step.text != nullptr) steps += "=";
      steps += std::string(step.text != nullptr ? step.text : "") + " ";
    }
    if (exit_status < 0) steps += ".";
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    SCOPED_TRACE(steps + " " + err);
    EXPECT_EQ(steps, row.steps);
    EXPECT_EQ(exit_status, row.exit_status);
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(err, row.err);
  }
}

TEST(CommandLineKit, ProgramOfOneOperandRefusesASecond) {
  struct Row {
    std::vector<std::string> args;
    std::string steps;  // o<option>; "." at the end of the arguments
    std::string operand;
    std::string err;
  };
  const Row rows[] = {
      {{"a", "--flag"}, "o0 .", "a", ""},
      {{"--", "--flag"}, ".", "--flag", ""},
      {{"--flag", "a", "b", "--flag"},
       "o0 ",
       "a",
       "kit-test: expected one FILE, also got 'b'\n" + kUsageTail},
  };
  for (Row row : rows) {
    std::vector<char*> argv;
    CommandLine line = StartKitLine(&row.args, &argv);
    const char* operand = nullptr;
    std::string steps;
    testing::internal::CaptureStderr();
    ArgStep step;
    ArgKind kind;
    while ((kind = NextOptionOfOne(&line, &step, "FILE", &operand)) == ArgKind::kOption) {
      steps += "o" + std::to_string(step.option) + " ";
    }
    if (kind == ArgKind::kEnd) steps += ".";
    const std::string err = testing::internal::GetCapturedStderr();
    SCOPED_TRACE(steps + " " + err);
    EXPECT_EQ(steps, row.steps);
    EXPECT_EQ(operand != nullptr ? operand : "", row.operand);
    EXPECT_EQ(err, row.err);
    EXPECT_EQ(line.exit_status, row.err.empty() ? 0 : kExitUsage);
  }
}

TEST(CommandLineKit, NumberArgumentNamesTheOffendingText) {
  char* argv[] = {const_cast<char*>("kit-test"), nullptr};
  CommandLine line = StartCommandLine(kProgram, 1, argv);
  std::int64_t value = 3;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ParseNumberArgument(&line, "--count", " 9", 0, 99, &value));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kit-test: --count must be a whole number from 0 to 99, not ' 9'\n" + kUsageTail);
  EXPECT_EQ(line.exit_status, kExitUsage);
  EXPECT_EQ(value, 3);
  EXPECT_TRUE(ParseNumberArgument(&line, "--count", "99", 0, 99, &value));
  EXPECT_EQ(value, 99);
  // The 32-bit form: its whole range, nothing beyond, the value untouched.
  std::int32_t narrow = 3;
  EXPECT_TRUE(ParseInt32Argument(&line, "--count", "-2147483648", &narrow));
  EXPECT_EQ(narrow, INT32_MIN);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ParseInt32Argument(&line, "--count", "2147483648", &narrow));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kit-test: --count must be a whole number from -2147483648 to 2147483647, not "
            "'2147483648'\n" +
                kUsageTail);
  EXPECT_EQ(narrow, INT32_MIN);
}

}  // namespace
