// Every program of the project answers --help, -h and --version the same way
// (stdout, status 0, no file touched), and ends a usage error with status 2.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/run_process.h"
#include "tests/support/scratch_dir.h"

namespace {

struct Program {
  std::string name;
  const char* path;
  std::string usage;  // the first line of --help and of a usage error
};

TEST(ProgramsCli, HelpVersionAndUsageErrors) {
  const Program programs[] = {
      {"capture-config", CAPTURE_CONFIG_EXE, "Usage: capture-config [OPTIONS] CONFIG_FILE\n"},
      {"capture-header", CAPTURE_HEADER_EXE,
       "Usage: capture-header [--help] [--version] CAPTURE_FILE\n"},
      {"capture-record", CAPTURE_RECORD_EXE, "Usage: capture-record [OPTIONS] CONFIG\n"},
      {"capture-info", CAPTURE_INFO_EXE,
       "Usage: capture-info [--help] [--version] [--repair] FILE...\n"},
      {"motor-move", MOTOR_MOVE_EXE, "Usage: motor-move [--wait-ms MS] DEVICE BAUD POSITION\n"},
      {"scanmon-preflight", PREFLIGHT_EXE, "Usage: scanmon-preflight [--no-port]\n"},
      {"scanmon", SCANMON_EXE,
       "Usage: scanmon [--status] OUTPUT_FILE\n  or:  scanmon --help | --version\n"},
  };
  const std::string version =
      std::to_string(SCANMON_VERSION_MAJOR) + "." + std::to_string(SCANMON_VERSION_MINOR) + "." +
      std::to_string(SCANMON_VERSION_PATCH) + "." + std::to_string(SCANMON_VERSION_TWEAK);
  const test_support::ScratchDir scratch;
  const std::string folder = scratch.str();
  for (const Program& program : programs) {
    // Any argument but these is the monitor's output file.
    const bool takes_options = program.name != "scanmon";
    for (const char* arg : {"--help", "-h", "--version", "--no-such-option"}) {
      if (!takes_options && std::string(arg) == "--no-such-option") continue;
      SCOPED_TRACE(program.name + " " + arg);
      test_support::ProcessRequest request;
      request.program = program.path;
      request.args = {arg};
      request.working_directory = folder;
      const test_support::ProcessRun run = test_support::RunProcess(request);
      if (std::string(arg) == "--version") {
        EXPECT_EQ(run.out, program.name + " (scanmon) " + version + "\n");
      } else if (std::string(arg) == "--no-such-option") {
        EXPECT_EQ(run.err, program.name + ": unknown option --no-such-option\n" + program.usage +
                               "Try '" + program.name + " --help' for more information.\n");
      } else {
        EXPECT_TRUE(run.out.starts_with(program.usage)) << run.out;
        EXPECT_NE(run.out.find("--version"), std::string::npos) << run.out;
      }
      const bool usage_error = std::string(arg) == "--no-such-option";
      EXPECT_EQ(run.exit_status, usage_error ? 2 : 0);
      EXPECT_EQ(usage_error ? run.out : run.err, "");
      EXPECT_TRUE(std::filesystem::is_empty(folder)) << "a file was created";
    }
  }
}

}  // namespace
