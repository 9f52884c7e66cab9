// The command-line kit: its number rule and its option rules, as tables.
#include "tools/common/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(CommandLineKit, WholeNumbers) {
  struct Row {
    const char* text;
    std::int64_t min;
    std::int64_t max;
    bool accepted;
    std::int64_t value;
  };
  const Row rows[] = {
      {"0", 0, 10, true, 0},
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
      {"5.0", 0, 10, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("'") + row.text + "'");
    std::int64_t value = 12345;  // a sentinel: untouched on refusal
    EXPECT_EQ(ParseWholeNumber(row.text, row.min, row.max, &value), row.accepted);
    EXPECT_EQ(value, row.accepted ? row.value : 12345);
  }
}

const ProgramText kProgram = {"kit-test", "Usage: kit-test [--flag] [--count N] FILE...\n",
                              "\nHelp body.\n"};
const OptionSpec kOptions[] = {{"--flag", nullptr}, {"--count", "N"}};

struct Outcome {
  std::string steps;  // "o0 o1=5 f:name ." : option, option with value, operand, end
  int exit_status = -1;
  std::string out;
  std::string err;
};

Outcome Walk(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "kit-test";
  argv.push_back(program.data());
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  CommandLine line =
      StartCommandLine(kProgram, kOptions, static_cast<int>(argv.size()) - 1, argv.data());
  Outcome outcome;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ArgStep step;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) {
      outcome.exit_status = line.exit_status;
      break;
    }
    if (kind == ArgKind::kOperand) {
      outcome.steps += "f:" + std::string(step.text) + " ";
    } else {
      outcome.steps += "o" + std::to_string(step.option);
      if (step.text != nullptr) outcome.steps += "=" + std::string(step.text);
      outcome.steps += " ";
    }
  }
  if (outcome.exit_status < 0) outcome.steps += ".";
  std::fflush(stdout);
  outcome.out = testing::internal::GetCapturedStdout();
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

const char kUsageTail[] =
    "Usage: kit-test [--flag] [--count N] FILE...\n"
    "Try 'kit-test --help' for more information.\n";

TEST(CommandLineKit, OptionsAndOperands) {
  struct Row {
    std::vector<std::string> args;
    const char* steps;
  };
  const Row rows[] = {
      {{}, "."},
      {{"a", "--flag", "b"}, "f:a o0 f:b ."},
      {{"--count", "5", "--count=-7", "--count", "--flag"}, "o1=5 o1=-7 o1=--flag ."},
      {{"--count="}, "o1= ."},
      // Negative numbers and "-" alone are operands; "--" ends the options.
      {{"-25", "-", "--", "--flag", "--help", "-x"}, "f:-25 f:- f:--flag f:--help f:-x ."},
      {{"--", "--"}, "f:-- ."},
  };
  for (const Row& row : rows) {
    const Outcome outcome = Walk(row.args);
    SCOPED_TRACE(outcome.steps);
    EXPECT_EQ(outcome.steps, row.steps);
    EXPECT_EQ(outcome.exit_status, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(CommandLineKit, HelpVersionAndUsageErrorsEndTheWalk) {
  const std::string version = "kit-test (scanmon) " + std::to_string(SCANMON_VERSION_MAJOR) + "." +
                              std::to_string(SCANMON_VERSION_MINOR) + "." +
                              std::to_string(SCANMON_VERSION_PATCH) + "." +
                              std::to_string(SCANMON_VERSION_TWEAK) + "\n";
  const std::string help = "Usage: kit-test [--flag] [--count N] FILE...\n\nHelp body.\n";
  struct Row {
    std::vector<std::string> args;
    const char* steps;  // what was taken before the end
    int exit_status;
    std::string out;
    std::string err;
  };
  const Row rows[] = {
      {{"a", "--help", "--bogus"}, "f:a ", 0, help, ""},
      {{"-h"}, "", 0, help, ""},
      {{"--version", "--help"}, "", 0, version, ""},
      {{"--flag", "--bogus"},
       "o0 ",
       2,
       "",
       std::string("kit-test: unknown option --bogus\n") + kUsageTail},
      {{"-x"}, "", 2, "", std::string("kit-test: unknown option -x\n") + kUsageTail},
      {{"--help=1"}, "", 2, "", std::string("kit-test: unknown option --help=1\n") + kUsageTail},
      {{"--fla"}, "", 2, "", std::string("kit-test: unknown option --fla\n") + kUsageTail},
      {{"--flag=yes"}, "", 2, "", std::string("kit-test: --flag takes no value\n") + kUsageTail},
      {{"a", "--count"},
       "f:a ",
       2,
       "",
       std::string("kit-test: missing value for --count\n") + kUsageTail},
  };
  for (const Row& row : rows) {
    const Outcome outcome = Walk(row.args);
    SCOPED_TRACE(outcome.steps + " " + outcome.err);
    EXPECT_EQ(outcome.steps, row.steps);
    EXPECT_EQ(outcome.exit_status, row.exit_status);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
  }
}

TEST(CommandLineKit, NumberArgumentNamesTheOffendingText) {
  char program[] = "kit-test";
  char* argv[] = {program, nullptr};
  CommandLine line = StartCommandLine(kProgram, 1, argv);
  std::int64_t value = 3;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ParseNumberArgument(&line, "--count", " 9", 0, 99, &value));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("kit-test: --count must be a whole number from 0 to 99, not ' 9'\n") +
                kUsageTail);
  EXPECT_EQ(line.exit_status, kExitUsage);
  EXPECT_EQ(value, 3);
  EXPECT_TRUE(ParseNumberArgument(&line, "--count", "99", 0, 99, &value));
  EXPECT_EQ(value, 99);
}

}  // namespace
