// Every program of the project answers --help, -h and --version the same way:
// on stdout, status 0, without touching a file; and a usage error ends it with 2.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/run_process.h"

namespace {

namespace fs = std::filesystem;

struct Program {
  const char* name;
  const char* path;
  const char* help_start;  // the first line of --help
};

const Program kPrograms[] = {
    {"capture-config", CAPTURE_CONFIG_EXE, "Usage: capture-config "},
    {"capture-header", CAPTURE_HEADER_EXE, "Usage: capture-header "},
    {"motor-move", MOTOR_MOVE_EXE, "Usage: motor-move "},
    {"scanmon-preflight", PREFLIGHT_EXE, "Usage: scanmon-preflight "},
    {"scanmon", SCANMON_EXE, "usage: scanmon OUTPUT_FILE\n"},
};

class ProgramsCli : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "programs_cli_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  testsupport::ProcessRun Run(const Program& program, const std::string& arg) {
    testsupport::ProcessRequest request;
    request.program = program.path;
    request.args = {arg};
    request.working_directory = folder_.string();
    return testsupport::RunProcess(request);
  }

  fs::path folder_;
};

TEST_F(ProgramsCli, HelpAndVersionPrintAndTouchNothing) {
  const std::string version =
      std::to_string(SCANMON_VERSION_MAJOR) + "." + std::to_string(SCANMON_VERSION_MINOR) + "." +
      std::to_string(SCANMON_VERSION_PATCH) + "." + std::to_string(SCANMON_VERSION_TWEAK);
  for (const Program& program : kPrograms) {
    for (const char* arg : {"--help", "-h", "--version"}) {
      SCOPED_TRACE(std::string(program.name) + " " + arg);
      const testsupport::ProcessRun run = Run(program, arg);
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.err, "");
      if (std::string(arg) == "--version") {
        EXPECT_EQ(run.out, std::string(program.name) + " (scanmon) " + version + "\n");
      } else {
        EXPECT_TRUE(run.out.starts_with(program.help_start)) << run.out;
        EXPECT_NE(run.out.find("--version"), std::string::npos) << run.out;
      }
      EXPECT_TRUE(fs::is_empty(folder_)) << "a file was created";
    }
  }
}

TEST_F(ProgramsCli, UsageErrorsExitTwoAndPointToHelp) {
  for (const Program& program : kPrograms) {
    if (std::string(program.name) == "scanmon") continue;  // any argument is its output file
    SCOPED_TRACE(program.name);
    const testsupport::ProcessRun run = Run(program, "--no-such-option");
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(
        run.err.starts_with(std::string(program.name) + ": unknown option --no-such-option\n"))
        << run.err;
    EXPECT_TRUE(
        run.err.ends_with(std::string("Try '") + program.name + " --help' for more information.\n"))
        << run.err;
  }
}

}  // namespace
