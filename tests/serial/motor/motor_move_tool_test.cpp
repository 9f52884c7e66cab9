// The motor-move tool end to end: the binary runs against a pseudo-terminal
// that plays the controller.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/serial/motor/pty_controller.h"
#include "tests/support/run_process.h"

namespace {

using motor_test::ControllerStep;
using motor_test::PtyController;

struct ToolRun {
  int status = -1;  // the exit status, or 128 + the signal that ended the tool
  std::string out;
  std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment = {}) {
  test_support::ProcessRequest request;
  request.program = MOTOR_MOVE_PATH;
  request.args = args;
  request.environment = environment;
  const test_support::ProcessRun run = test_support::RunProcess(request);
  return ToolRun{run.term_signal != 0 ? 128 + run.term_signal : run.exit_status, run.out, run.err};
}

// --help and --version: tests/tools/programs_cli_test.cpp, for every program.
TEST(MotorMoveTool, UsageErrorsExitTwoWithAUsageLine) {
  const std::vector<std::vector<std::string>> rows = {
      {},
      {"/dev/ttyUSB0", "9600"},
      {"/dev/ttyUSB0", "9600", "5", "6"},
      {"", "9600", "5"},
      {"/dev/ttyUSB0", "0", "5"},
      {"/dev/ttyUSB0", "-9600", "5"},
      {"/dev/ttyUSB0", " 9600", "5"},
      {"/dev/ttyUSB0", "96k", "5"},
      {"/dev/ttyUSB0", "2147483648", "5"},
      {"/dev/ttyUSB0", "9600", "2147483648"},
      {"/dev/ttyUSB0", "9600", "-2147483649"},
      {"/dev/ttyUSB0", "9600", "1e3"},
      {"/dev/ttyUSB0", "9600", "-"},
      {"/dev/ttyUSB0", "9600", "99999999999999999999999"},
      {"--fast", "/dev/ttyUSB0", "9600", "5"},
      {"/dev/ttyUSB0", "9600", "5", "--wait-ms"},
      {"--wait-ms", "-1", "/dev/ttyUSB0", "9600", "5"},
      {"--wait-ms", "3600001", "/dev/ttyUSB0", "9600", "5"},
  };
  for (const auto& args : rows) {
    std::string joined;
    for (const auto& arg : args) joined += "[" + arg + "]";
    SCOPED_TRACE(joined);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Usage: motor-move [--wait-ms MS] DEVICE BAUD POSITION\n"),
              std::string::npos);
  }
}

TEST(MotorMoveTool, ARateNoLineRunsAtIsRefusedWithTheNearestStandardOnes) {
  const struct {
    const char* baud;
    const char* reason;
  } cases[] = {
      {"96000",
       "motor-move: BAUD 96000 is not a standard bit rate; the nearest are 57600 and "
       "115200\n"},
      {"9601",
       "motor-move: BAUD 9601 is not a standard bit rate; the nearest are 9600 and 19200\n"},
      {"1", "motor-move: BAUD 1 is not a standard bit rate; the nearest is 50\n"},
      {"2147483647",
       "motor-move: BAUD 2147483647 is not a standard bit rate; the nearest is 4000000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    // Refused before the device is opened: this one does not exist.
    const ToolRun run = RunTool({"/dev/no-such-motor-controller", c.baud, "5"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.err.starts_with(c.reason)) << run.err;
  }
}

TEST(MotorMoveTool, MissingDeviceNamesItsPathWithTheSystemsTextAndAHint) {
  const struct {
    const char* device;
    const char* err;  // the start of stderr
    const char* hint;
  } cases[] = {
      {"/dev/no-such-motor-controller",
       "motor-move: cannot use /dev/no-such-motor-controller: The system cannot find the file "
       "specified. (error 2)\n",
       "  hint: /dev/no-such-motor-controller is a device path; check that the adapter is "
       "plugged in"},
      {"COM9",
       "motor-move: cannot use COM9 (/nonexistent/ttyUSB9): The system cannot find the file "
       "specified. (error 2)\n",
       "  hint: COM9 stands for /nonexistent/ttyUSB9. Bind COM numbers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    const ToolRun run =
        RunTool({c.device, "9600", "5"}, {{"SCANMON_COMPORTS", "COM9=/nonexistent/ttyUSB9"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Motor - could not open serial port, 2\n");
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.hint), std::string::npos) << run.err;
  }
}

TEST(MotorMoveTool, MovesAnAnsweringController) {
  PtyController controller;
  if (!controller.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  controller.Start({{true, 0, "ok!\r"}, {true, 0, "ok\r"}});
  const ToolRun run = RunTool({controller.slave_path(), "38400", "-25"});
  EXPECT_EQ(controller.Finish(), "ma 0,1\rma -25,1\r");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "! found, no need to wait\n"
            "motor-move: done: the controller took the move to position -25\n");
  EXPECT_EQ(run.err, "calling getMotorData\nposition -25\n");
}

TEST(MotorMoveTool, AReplyLeftOnTheLineIsNotTakenForAnAnswer) {
  PtyController controller;
  if (!controller.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  // An earlier run's reply waits on the line; this run's controller first says
  // it is busy, then that the move has ended.
  // (Raw first, so the line does not echo it back as if it were a command.)
  termios raw{};
  ASSERT_EQ(tcgetattr(controller.master(), &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(controller.master(), TCSANOW, &raw), 0);
  ASSERT_EQ(write(controller.master(), "ok!\r", 4), 4);
  controller.Start({{true, 0, "busy\r"}, {false, 100, "done!\r"}, {true, 0, "ok\r"}});
  const ToolRun run = RunTool({controller.slave_path(), "9600", "12"});
  EXPECT_EQ(controller.Finish(), "ma 0,1\rma 12,1\r");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "motor-move: done: the controller took the move to position 12\n");
  EXPECT_EQ(run.err, "calling getMotorData\nposition 12\n# 6 |done!\r|\n");
}

TEST(MotorMoveTool, SilentControllerExitsThree) {
  PtyController controller;
  if (!controller.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  controller.Start({});
  const ToolRun run = RunTool({"--wait-ms", "200", "--", controller.slave_path(), "9600", "-7"});
  EXPECT_EQ(controller.Finish(), "ma 0,1\r");
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "calling getMotorData\nposition -7\n"
            "Motor - no reply from the controller within 200 ms\n");
}

}  // namespace
