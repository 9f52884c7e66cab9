// The motor link against the fake platform: the faults a real line cannot be
// made to show, and the waits measured on the fake clock.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/errors.h"
#include "serial/motor_link.h"
#include "tests/serial/motor/captured_output.h"
#include "tests/support/fake_platform.h"

namespace {

namespace fp = fake_platform;

constexpr win::DWORD kSentinel = 0xDEADBEEF;

using motor_test::Capture;
using motor_test::Output;

class MotorFake : public testing::Test {
 protected:
  void SetUp() override {
    fp::Reset();
    win::SetLastError(kSentinel);
  }
  // A port opened as the link opens it, with the call log cleared after.
  win::HANDLE OpenQuietly() {
    win::HANDLE port = nullptr;
    Capture([&] { port = OpenMotorPort("COM3", 19200); });
    EXPECT_NE(port, nullptr);
    return port;
  }
  // Bytes the controller sends `at_ms` after the start on the fake clock.
  struct Arrival {
    std::uint32_t at_ms;
    std::string bytes;
  };
  // After a fresh start, a port opened quietly on which `arrivals` come and
  // read number `failing_read` (1 the first; 0 none) fails as an unplugged
  // device's.
  win::HANDLE OpenWithArrivals(const std::vector<Arrival>& arrivals, int failing_read) {
    fp::Reset();
    win::HANDLE port = OpenQuietly();
    for (const Arrival& a : arrivals) fp::QueueInputAt(a.at_ms, a.bytes);
    if (failing_read) fp::FailCall("ReadFile", failing_read, win::ERROR_DEVICE_NOT_CONNECTED);
    return port;
  }
};

TEST_F(MotorFake, OpenChangesOnlyRateParityStopBitsAndReadTimeouts) {
  // A device set up with 7 data bits, even parity, two stop bits, hardware
  // flow control and write time-outs of its own.
  win::DCB before = fp::TheDevice().dcb;
  before.ByteSize = 7;
  before.Parity = win::EVENPARITY;
  before.StopBits = win::TWOSTOPBITS;
  before.fOutxCtsFlow = 1;
  before.fRtsControl = win::RTS_CONTROL_HANDSHAKE;
  before.fDtrControl = win::DTR_CONTROL_HANDSHAKE;
  before.XonLim = 77;
  before.EvtChar = 'E';
  fp::TheDevice().dcb = before;
  fp::TheDevice().timeouts = {win::MAXDWORD, 0, 0, 7, 900};

  win::HANDLE port = nullptr;
  const Output output = Capture([&] { port = OpenMotorPort("/dev/ttyUSB0", 19200); });

  ASSERT_TRUE(win::IsValidHandle(port));
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(fp::CallNames(),
            (std::vector<std::string>{"CreateFileA", "GetCommState", "SetCommState",
                                      "GetCommTimeouts", "SetCommTimeouts"}));
  const fp::Call& open = fp::Calls()[0];
  EXPECT_EQ(open.text, "/dev/ttyUSB0");
  EXPECT_EQ(open.args, (std::vector<std::uint64_t>{0xC0000000u, 0, win::OPEN_EXISTING, 4}));

  win::DCB expected = before;
  expected.BaudRate = 19200;
  expected.Parity = win::NOPARITY;
  expected.StopBits = win::ONESTOPBIT;
  EXPECT_EQ(std::memcmp(&fp::TheDevice().dcb, &expected, sizeof expected), 0);
  EXPECT_EQ(fp::TheDevice().dcb.ByteSize, 7);

  const win::COMMTIMEOUTS& t = fp::TheDevice().timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 900u);
  EXPECT_EQ(fp::OpenHandleCount(), 1);
}

TEST_F(MotorFake, EachFailedOpenStepReportsClosesAndYieldsNone) {
  struct Row {
    const char* failing_call;
    win::DWORD error;
    const char* out;
    const char* err;
    bool line_settings_written;
  };
  const Row rows[] = {
      {"CreateFileA", 2, "Motor - could not open serial port, 2\n", "", false},
      {"CreateFileA", 5, "Motor - could not open serial port, 5\n", "", false},
      {"GetCommState", 31, "", "Motor - error getting comm: 31\n", false},
      {"SetCommState", 87, "", "Motor - error setting comm: 87\n", false},
      {"GetCommTimeouts", 50, "", " Motor - error getting comm timeouts:50/n", true},
      {"SetCommTimeouts", 1167, "", "Motor - error setting comm timeouts:1167\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.failing_call) + " " + std::to_string(row.error));
    fp::Reset();
    fp::FailCall(row.failing_call, 1, row.error);
    win::HANDLE port = win::INVALID_HANDLE_VALUE;
    const Output output = Capture([&] { port = OpenMotorPort("COM3", 4800); });
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(output.out, row.out);
    EXPECT_EQ(output.err, row.err);
    EXPECT_EQ(fp::OpenHandleCount(), 0);
    const bool opened = std::string(row.failing_call) != "CreateFileA";
    EXPECT_EQ(fp::CountCalls("CloseHandle"), opened ? 1 : 0);
    EXPECT_EQ(fp::TheDevice().dcb_set, row.line_settings_written);
    EXPECT_FALSE(fp::TheDevice().timeouts_set);
  }
}

TEST_F(MotorFake, OpenWithoutNameFailsLikeAMissingDevice) {
  win::HANDLE port = win::INVALID_HANDLE_VALUE;
  const Output output = Capture([&] { port = OpenMotorPort(nullptr, 9600); });
  EXPECT_EQ(port, nullptr);
  EXPECT_EQ(output.out, "Motor - could not open serial port, 87\n");
  EXPECT_EQ(fp::CountCalls("CreateFileA"), 0);
}

// Each read of 100 bytes waits 10 * 100 + 100 ms on the fake clock when
// nothing comes, so waits are counted in 1,100 ms steps.
TEST_F(MotorFake, ExchangeWaitsForTheFirstBytesWithinItsBound) {
  struct Row {
    const char* name;
    const char* command;
    std::vector<Arrival> arrivals;
    std::uint32_t size;
    std::uint32_t wait_ms;
    int failing_read;  // 0: none
    std::uint32_t count;
    std::string reply;
    int reads;
    std::uint32_t clock_ms;
    win::DWORD error;
  };
  const std::string r100(100, 'r');
  // clang-format off
  const Row rows[] = {
      // name                        command    arrivals            size  wait   fail count reply reads clock error
      {"answers at once",            "ma 0,1\r", {{0, "OK\r"}},      100, 30000, 0, 3,   "OK\r", 1, 10,    kSentinel},
      {"answers late",               "ma 0,1\r", {{5000, "!"}},      100, 30000, 0, 1,   "!",    5, 5010,  kSentinel},
      {"reply longer than buffer",   "x\r",      {{0, r100 + "s"}},  100, 30000, 0, 100, r100,   1, 0,     kSentinel},
      {"never answers",              "ma 0,1\r", {},                 100, 30000, 0, 0,   "",     28, 30800, win::ERROR_TIMEOUT},
      {"never answers, small reads", "x\r",      {},                 5,   1000,  0, 0,   "",     7, 1050,  win::ERROR_TIMEOUT},
      {"zero wait still reads once", "x\r",      {},                 100, 0,     0, 0,   "",     1, 1100,  win::ERROR_TIMEOUT},
      {"answer after the bound",     "x\r",      {{2300, "late"}},   100, 2200,  0, 0,   "",     2, 2200,  win::ERROR_TIMEOUT},
      {"failing read ends at once",  "x\r",      {{9000, "z"}},      100, 30000, 2, 0,   "",     2, 1100,  win::ERROR_DEVICE_NOT_CONNECTED},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win::HANDLE port = OpenWithArrivals(row.arrivals, row.failing_read);
    std::vector<char> reply(row.size + 8, '\x7f');
    win::SetLastError(kSentinel);

    const std::uint32_t count =
        MotorExchange(port, row.command, reply.data(), row.size, row.wait_ms);

    EXPECT_EQ(count, row.count);
    EXPECT_EQ(std::string(reply.data(), count), row.reply);
    if (count < row.size) {
      EXPECT_EQ(reply[count], '\x7f') << "no terminator is written";
    }
    for (std::uint32_t i = row.size; i < row.size + 8; ++i) ASSERT_EQ(reply[i], '\x7f');
    EXPECT_EQ(fp::CountCalls("ReadFile"), row.reads);
    EXPECT_EQ(fp::NowMs(), row.clock_ms);
    EXPECT_EQ(win::GetLastError(), row.error);
    EXPECT_EQ(fp::TheDevice().output, row.command);
    const fp::Call* write = fp::FindCall("WriteFile");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->args[2], 0u) << "the motor line is never overlapped";
  }
}

TEST_F(MotorFake, ExchangeWithEmptyCommandOnlyReads) {
  win::HANDLE port = OpenQuietly();
  fp::QueueInputAt(3000, "done\r");
  char reply[100];
  std::memset(reply, 0, sizeof reply);
  EXPECT_EQ(MotorExchange(port, "", reply, sizeof reply), 5u);
  EXPECT_STREQ(reply, "done\r");
  EXPECT_EQ(fp::CountCalls("WriteFile"), 0);
  EXPECT_EQ(MotorExchange(port, nullptr, reply, 1, 0), 0u);
  EXPECT_EQ(fp::CountCalls("WriteFile"), 0);
}

TEST_F(MotorFake, ExchangeRefusesNoBufferAndSendsNothing) {
  win::HANDLE port = OpenQuietly();
  char reply[4];
  for (auto [buffer, size] : {std::pair<char*, std::uint32_t>{nullptr, 4}, {reply, 0}}) {
    win::SetLastError(kSentinel);
    EXPECT_EQ(MotorExchange(port, "ma 0,1\r", buffer, size), 0u);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(fp::CountCalls("WriteFile") + fp::CountCalls("ReadFile"), 0);
}

TEST_F(MotorFake, InputPendingFollowsTheQueueAndIsFalseWhenStatusFails) {
  win::HANDLE port = OpenQuietly();
  EXPECT_FALSE(MotorInputPending(port));
  fp::TheDevice().line_errors = win::CE_FRAME;
  fp::QueueInputAt(500, "!");
  EXPECT_FALSE(MotorInputPending(port));
  EXPECT_EQ(fp::TheDevice().line_errors, 0u) << "the status call clears line errors";
  fp::AdvanceMs(500);
  EXPECT_TRUE(MotorInputPending(port));
  EXPECT_TRUE(MotorInputPending(port)) << "asking does not consume the byte";

  fp::FailCall("ClearCommError", 0, win::ERROR_INVALID_HANDLE);
  win::SetLastError(kSentinel);
  EXPECT_FALSE(MotorInputPending(port));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST_F(MotorFake, MoveSequenceFollowsTheReplies) {
  const std::string full_a(100, 'a');
  const std::string full_b(100, 'b');
  struct Row {
    const char* name;
    std::int32_t position;
    std::vector<Arrival> arrivals;
    int failing_read;
    int result;
    std::string sent;
    std::string out;
    std::string err_after_header;
  };
  const std::string kNoReply = "Motor - no reply from the controller within 4000 ms\n";
  const std::string kFound = "! found, no need to wait\n";
  // clang-format off
  const Row rows[] = {
      {"marker in the first reply",         -25,     {{0, "ma 0,1!\r"}, {2000, "ok"}},                       0, 1, "ma 0,1\rma -25,1\r",          kFound, ""},
      {"marker at the end of a full reply", 7,       {{0, std::string(99, 'a') + "!"}, {2000, "ok"}},        0, 1, "ma 0,1\rma 7,1\r",            kFound, ""},
      {"no marker: one more reply",         1200,    {{0, "ok\r"}, {4000, "in\tpos\r"}, {6000, "x"}},        0, 1, "ma 0,1\rma 1200,1\r",         "", "# 7 |in\tpos\r|\n"},
      {"NUL before the marker hides it",    3,       {{0, std::string("a\0!", 3)}, {2000, "b"}, {3000, "c"}}, 0, 1, "ma 0,1\rma 3,1\r",           "", "# 1 |b|\n"},
      {"full replies print in the buffer",  INT_MIN, {{0, full_a}, {2000, full_b}, {3000, "c"}},             0, 1, "ma 0,1\rma -2147483648,1\r",  "", "# 100 |" + full_b + "|\n"},
      {"no reply to the move to 0",         5,       {},                                                     0, 0, "ma 0,1\r",                    "", kNoReply},
      {"no second reply",                   5,       {{0, "ok"}},                                            0, 0, "ma 0,1\r",                    "", kNoReply},
      {"no reply to the move",              INT_MAX, {{0, "!"}},                                             0, 0, "ma 0,1\rma 2147483647,1\r",   kFound, kNoReply},
      {"device fails",                      5,       {{5000, "!"}},                                          2, 0, "ma 0,1\r",                    "", "Motor - error reading reply: 1167\n"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win::HANDLE port = OpenWithArrivals(row.arrivals, row.failing_read);
    int result = -1;
    const Output output = Capture([&] { result = MoveMotor(port, row.position, 4000); });
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(fp::TheDevice().output, row.sent);
    EXPECT_EQ(output.out, row.out);
    EXPECT_EQ(output.err, "calling getMotorData\nposition " + std::to_string(row.position) + "\n" +
                              row.err_after_header);
  }
}

}  // namespace
