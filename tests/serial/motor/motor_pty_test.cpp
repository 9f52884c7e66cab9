// The motor link on a real line: a pseudo-terminal plays the controller.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"
#include "tests/serial/motor/captured_output.h"
#include "tests/serial/motor/line_checks.h"
#include "tests/serial/motor/pty_controller.h"

namespace {

using motor_test::ControllerStep;
using motor_test::PtyController;

using motor_test::Capture;
using motor_test::Output;

class MotorPty : public testing::Test {
 protected:
  void SetUp() override {
    if (!controller_.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    Output output =
        Capture([&] { port_ = OpenMotorPort(controller_.slave_path().c_str(), 19200); });
    ASSERT_NE(port_, nullptr) << output.out << output.err;
    EXPECT_EQ(output.out + output.err, "");
  }
  void TearDown() override {
    if (port_ != nullptr) win::CloseHandle(port_);
  }

  PtyController controller_;
  win::HANDLE port_ = nullptr;
};

TEST_F(MotorPty, OpenSetsRateFramingAndReadTimeoutsOnTheLine) {
  ExpectMotorReadTimeouts(port_);
  if (HasFatalFailure()) return;

  win::DCB dcb;
  std::memset(&dcb, 0xFF, sizeof dcb);
  ASSERT_TRUE(win::GetCommState(port_, &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.Parity, win::NOPARITY);
  EXPECT_EQ(dcb.StopBits, win::ONESTOPBIT);
  EXPECT_EQ(dcb.ByteSize, 8);
}

TEST(MotorPtyMove, SequenceAgainstAnsweringController) {
  const std::string hundred(100, 'h');
  struct Row {
    const char* name;
    std::int32_t position;
    std::vector<ControllerStep> steps;
    std::string sent;
    std::string out;
    std::string err_after_header;
  };
  // clang-format off
  const Row rows[] = {
      {"marker at once",               -25, {{true, 0, "ok!\r"}, {true, 0, "ok\r"}},                          "ma 0,1\rma -25,1\r", "! found, no need to wait\n", ""},
      {"no marker, second reply late", 300, {{true, 0, "ok\r"}, {false, 400, "at 0\r\n"}, {true, 0, "ok\r"}}, "ma 0,1\rma 300,1\r", "", "# 6 |at 0\r\n|\n"},
      {"full second reply",            9,   {{true, 0, "ok\r"}, {false, 200, hundred}, {true, 0, "ok\r"}},    "ma 0,1\rma 9,1\r",   "", "# 100 |" + hundred + "|\n"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PtyController controller;
    if (!controller.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    win::HANDLE port = nullptr;
    Capture([&] { port = OpenMotorPort(controller.slave_path().c_str(), 9600); });
    ASSERT_NE(port, nullptr);
    controller.Start(row.steps);
    int result = -1;
    const Output output = Capture([&] { result = MoveMotor(port, row.position, 1000); });
    EXPECT_EQ(controller.Finish(), row.sent);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(output.out, row.out);
    EXPECT_EQ(output.err, "calling getMotorData\nposition " + std::to_string(row.position) + "\n" +
                              row.err_after_header);
    win::CloseHandle(port);
  }
}

TEST_F(MotorPty, ExchangeTakesTheFirstPieceOfAReplyThatComesInPieces) {
  controller_.Start({{true, 0, "ab"}, {false, 200, "cd\r"}});
  char reply[100];
  std::memset(reply, 0, sizeof reply);
  EXPECT_EQ(MotorExchange(port_, "ma 0,1\r", reply, sizeof reply, 1000), 2u);
  EXPECT_STREQ(reply, "ab");
  EXPECT_EQ(MotorExchange(port_, "", reply, sizeof reply, 1000), 3u);
  EXPECT_STREQ(reply, "cd\r");
  EXPECT_EQ(controller_.Finish(), "ma 0,1\r");
}

TEST_F(MotorPty, ExchangeWithSilentControllerGivesUpAfterItsBound) {
  controller_.Start({});
  ExpectExchangeGivesUpAfterItsBound(port_);
  EXPECT_EQ(controller_.Finish(), "ma 0,1\r");
}

TEST_F(MotorPty, HungUpLineEndsTheMoveAtOnce) {
  controller_.HangUp();
  int result = -1;
  const auto start = std::chrono::steady_clock::now();
  const Output output = Capture([&] { result = MoveMotor(port_, 1, 60000); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(output.err.rfind("calling getMotorData\nposition 1\nMotor - error reading reply: ", 0),
            0u)
      << output.err;
}

TEST_F(MotorPty, InputPendingSeesAByteUntilItIsRead) {
  EXPECT_FALSE(MotorInputPending(port_));
  ASSERT_EQ(write(controller_.master(), "!", 1), 1);
  bool pending = false;
  for (int i = 0; i < 100 && !pending; ++i) {
    pending = MotorInputPending(port_);
    if (!pending) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(pending);
  char reply[4];
  EXPECT_EQ(MotorExchange(port_, "", reply, sizeof reply, 0), 1u);
  EXPECT_FALSE(MotorInputPending(port_));
}

}  // namespace
