// The port channel against the fake platform: the call sequence of the open,
// the lines a pseudo-terminal cannot show (DTR, RTS), refused settings, failed
// events, pending and failing requests, and the idle time-outs counted on the
// fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "serial/serial_port.h"
#include "tests/support/fake_platform.h"

namespace {

namespace fp = fake_platform;

constexpr win::DWORD kSentinel = 0xDEADBEEF;
constexpr win::DWORD kPurgeAll = 15;

class PortFake : public testing::Test {
 protected:
  void SetUp() override {
    fp::Reset();
    std::memset(&port_, 0, sizeof port_);
    win::SetLastError(kSentinel);
  }
  // Opens the port and forgets the calls of the open.
  void OpenQuietly() {
    ASSERT_NE(OpenPort(&port_, 19200, 7), 0);
    Forget();
  }
  void Forget() {
    // Reset would also forget the handles; keep them, drop only the log.
    calls_before_ = static_cast<int>(fp::Calls().size());
  }
  std::vector<std::string> NamesSince() const {
    std::vector<std::string> names = fp::CallNames();
    return {names.begin() + calls_before_, names.end()};
  }
  int SleepsSince() const {
    int sleeps = 0;
    for (const std::string& name : NamesSince()) sleeps += name == "Sleep";
    return sleeps;
  }

  SerialPort port_;
  int calls_before_ = 0;
};

TEST_F(PortFake, OpenMakesTheCallsInOrderAndLeavesALineWithDtrUpAndRtsDown) {
  // Settings of the device the line set-up must keep, and a record whose
  // default copies must not reach the line.
  fp::TheDevice().dcb.fParity = 1;
  fp::TheDevice().dcb.ErrorChar = 0x3F;
  fp::TheDevice().dcb.EofChar = 0x1A;
  fp::TheDevice().dcb.EvtChar = 0x07;
  fp::TheDevice().dcb.ByteSize = 7;
  fp::TheDevice().dcb.fOutX = 1;
  port_.baud_rate = 300;
  port_.handshake = 0;

  ASSERT_NE(OpenPort(&port_, 57600, 7), 0);

  const std::vector<std::string> expected = {
      "CreateFileA",     "SetCommMask",        "SetupComm",    "PurgeComm",
      "SetCommTimeouts", "CreateEventA",       "CreateEventA", "GetCommState",
      "SetCommState",    "EscapeCommFunction", "PurgeComm"};
  EXPECT_EQ(fp::CallNames(), expected);
  const fp::Call* open = fp::FindCall("CreateFileA");
  EXPECT_EQ(open->text, "COM7");
  EXPECT_EQ(open->args, (std::vector<std::uint64_t>{0xC0000000u, 0, 3, 0x40000080u}));
  EXPECT_EQ(fp::FindCall("SetCommMask")->args[1], win::EV_RXCHAR);
  EXPECT_EQ(fp::FindCall("SetupComm")->args,
            (std::vector<std::uint64_t>{fp::FindCall("SetupComm")->args[0], 4096, 4096}));
  EXPECT_EQ(fp::FindCall("PurgeComm", 1)->args[1], kPurgeAll);
  EXPECT_EQ(fp::FindCall("PurgeComm", 2)->args[1], kPurgeAll);
  const win::COMMTIMEOUTS& t = fp::TheDevice().timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, win::MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(fp::FindCall("EscapeCommFunction")->args[1], win::SETDTR);

  const win::DCB& dcb = fp::TheDevice().dcb;
  EXPECT_EQ(dcb.BaudRate, 57600u);  // the argument, never the record's copy
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, win::NOPARITY);
  EXPECT_EQ(dcb.StopBits, win::ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutxDsrFlow + dcb.fOutX + dcb.fInX, 0u);
  EXPECT_EQ(dcb.fDtrControl, win::DTR_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fRtsControl, win::RTS_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fAbortOnError + dcb.fNull + dcb.fErrorChar + dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.XonLim, 10);
  EXPECT_EQ(dcb.XoffLim, 10);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.ErrorChar, 0x3F);
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, 0x07);
  EXPECT_TRUE(fp::TheDevice().dtr);
  EXPECT_FALSE(fp::TheDevice().rts);

  EXPECT_EQ(port_.is_open, 1);
  EXPECT_EQ(port_.handshake, 4);
  EXPECT_EQ(port_.baud_rate, 9600);
  EXPECT_NE(port_.read_overlapped.hEvent, 0);
  EXPECT_NE(port_.write_overlapped.hEvent, 0);
  EXPECT_NE(port_.read_overlapped.hEvent, port_.write_overlapped.hEvent);
  EXPECT_EQ(fp::OpenHandleCount(), 3);

  ClosePort(&port_);
  EXPECT_FALSE(fp::TheDevice().dtr);
  EXPECT_EQ(fp::OpenHandleCount(), 0);
}

TEST_F(PortFake, FailedOpensLeaveNothingOpen) {
  struct Row {
    const char* failing_call;
    win::HandleSlot handle_after;
    std::int32_t is_open_after;  // 77: untouched
  };
  const Row rows[] = {
      {"CreateFileA", -1, 77},  // no such port, or held by another
      {"SetCommState", -1, 0},  // the port refused the line settings
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failing_call);
    fp::Reset();
    std::memset(&port_, 0, sizeof port_);
    port_.is_open = 77;
    fp::FailCall(row.failing_call, 1, win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenPort(&port_, 9600, 3), 0);
    EXPECT_EQ(port_.handle, row.handle_after);
    EXPECT_EQ(port_.is_open, row.is_open_after);
    EXPECT_EQ(port_.read_overlapped.hEvent, 0);
    EXPECT_EQ(port_.write_overlapped.hEvent, 0);
    EXPECT_EQ(fp::OpenHandleCount(), 0);
  }
}

TEST_F(PortFake, EventFailuresLeaveNoEventAndTheLineStillOpens) {
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing);
    fp::Reset();
    std::memset(&port_, 0, sizeof port_);
    fp::FailCall("CreateEventA", failing, win::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(InitPortRecord(&port_), -1);
    EXPECT_EQ(port_.read_overlapped.hEvent, 0);
    EXPECT_EQ(port_.write_overlapped.hEvent, 0);
    EXPECT_EQ(fp::OpenHandleCount(), 0);
    EXPECT_EQ(port_.handshake, 4);  // the defaults are stored all the same
  }
  fp::Reset();
  std::memset(&port_, 0, sizeof port_);
  fp::FailCall("CreateEventA", 0, win::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_NE(OpenPort(&port_, 9600, 3), 0);
  EXPECT_EQ(port_.is_open, 1);
  EXPECT_EQ(fp::OpenHandleCount(), 1);
}

TEST_F(PortFake, EachLineSetUpReplacesTheEventPairWithoutLeaking) {
  OpenQuietly();
  const win::HandleSlot old_read = port_.read_overlapped.hEvent;
  for (int round = 0; round < 3; ++round) EXPECT_NE(ConfigureLine(&port_, 4800), 0);
  EXPECT_EQ(fp::OpenHandleCount(), 3);
  EXPECT_NE(port_.read_overlapped.hEvent, old_read);
  EXPECT_EQ(fp::TheDevice().dcb.BaudRate, 4800u);
}

TEST(FormatBounded, CutsTerminatesAndReports) {
  struct Row {
    std::uint32_t capacity;
    int number;
    std::uint32_t result;
    const char* text;  // null: nothing written
  };
  const Row rows[] = {
      {10, 7, kFormatOk, "COM7"},
      {10, 123456, kFormatOk, "COM123456"},  // exactly capacity - 1 characters
      {10, 1234567, kFormatBufferTooSmall, "COM123456"},
      {10, -12345678, kFormatBufferTooSmall, "COM-12345"},
      {1, 7, kFormatBufferTooSmall, ""},
      {0, 7, kFormatInvalidArgument, nullptr},
      {0x80000000u, 7, kFormatInvalidArgument, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.number);
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FormatBounded(buffer, row.capacity, "COM%d", row.number), row.result);
    if (row.text == nullptr) {
      EXPECT_EQ(buffer[0], 'x');
    } else {
      EXPECT_STREQ(buffer, row.text);
      EXPECT_EQ(buffer[10], 'x');  // nothing past the capacity
    }
  }
}

TEST_F(PortFake, SilenceEndsEachReadAfterItsBudget) {
  OpenQuietly();
  char buffer[32];
  struct Row {
    const char* name;
    int (*read)(SerialPort*, char*);
    int result;
    int sleeps;
  };
  const Row rows[] = {
      {"exact", [](SerialPort* p, char* b) { return ReadPort(p, b, 8, 1); }, kReadIdleTimeout, 602},
      {"any", [](SerialPort* p, char* b) { return ReadPort(p, b, 8, 0); }, 0, 1},
      {"count 0", [](SerialPort* p, char* b) { return ReadPort(p, b, 0, 1); }, 0, 0},
      {"line 100 ms", [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 32, 1, 100); },
       kReadIdleTimeout, 11},
      {"line 0 ms", [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 32, 1, 0); },
       kReadIdleTimeout, 1},
      {"line -5 ms", [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 32, 1, -5); },
       kReadIdleTimeout, 1},
      {"bytes 55 ms", [](SerialPort* p, char* b) { return BinaryReadBytes(p, b, 4, 55); },
       kReadIdleTimeout, 6},
      {"bytes none", [](SerialPort* p, char* b) { return BinaryReadBytes(p, b, 0, 55); }, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Forget();
    EXPECT_EQ(row.read(&port_, buffer), row.result);
    EXPECT_EQ(SleepsSince(), row.sleeps);
  }
}

TEST_F(PortFake, AByteInTheSilenceStartsTheCountAgain) {
  OpenQuietly();
  // One byte after 3 s, then silence: 300 empty polls, a byte, 602 more.
  fp::QueueInputAt(3000, "x");
  char buffer[8];
  EXPECT_EQ(ReadPort(&port_, buffer, 2, 1), kReadIdleTimeout);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(SleepsSince(), 300 + 602);
  Forget();
  fp::QueueInputAt(fp::NowMs() + 50, "abc\n");
  EXPECT_EQ(AsciiReadLine(&port_, buffer, 8, 0, 60), 3);
  EXPECT_STREQ(buffer, "abc");
}

TEST_F(PortFake, BrokenPollsAndRequestsEndReadsInsteadOfSpinning) {
  OpenQuietly();
  char buffer[8];
  fp::FailCall("ClearCommError", 0, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 1), kReadIdleTimeout);
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 0), 0);
  EXPECT_EQ(AsciiReadLine(&port_, buffer, 8, 1, 1000), kReadIdleTimeout);
  EXPECT_EQ(SleepsSince(), 0);

  fp::Reset();
  OpenQuietly();
  fp::QueueInput("abcd");  // reported as queued, yet every request fails
  fp::FailCall("ReadFile", 0, win::ERROR_GEN_FAILURE);
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 1), kReadIdleTimeout);
  EXPECT_EQ(BinaryReadBytes(&port_, buffer, 4, 100), kReadIdleTimeout);
}

TEST_F(PortFake, PendingReadRequestsAreCollectedAndCounted) {
  OpenQuietly();
  fp::QueueInput("abcdefgh\n");
  fp::FailCall("ReadFile", 1, win::ERROR_IO_PENDING);
  fp::FailCall("ReadFile", 3, win::ERROR_IO_PENDING);
  char buffer[16];
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 1), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(AsciiReadLine(&port_, buffer, 16, 0, 100), 4);
  EXPECT_STREQ(buffer, "efgh");
  EXPECT_EQ(fp::CountCalls("GetOverlappedResult"), 2);
  EXPECT_EQ(SleepsSince(), 0);  // no back-off: the request was waited for
}

TEST_F(PortFake, WritesReportOnlyCompleteTransfers) {
  struct Row {
    const char* name;
    std::vector<std::pair<const char*, win::DWORD>> failures;  // each on its 1st call...
    int result;
  };
  const Row rows[] = {
      {"at once", {}, 1},
      {"failed at once", {{"WriteFile", win::ERROR_GEN_FAILURE}}, 0},
      {"cut short by the time-out", {{"WriteFile", win::ERROR_TIMEOUT}}, 0},
      {"pending, then done", {{"WriteFile", win::ERROR_IO_PENDING}}, 1},
      {"pending, incomplete, then done",
       {{"WriteFile", win::ERROR_IO_PENDING}, {"GetOverlappedResult", win::ERROR_IO_INCOMPLETE}},
       1},
      {"pending, then failed",
       {{"WriteFile", win::ERROR_IO_PENDING},
        {"GetOverlappedResult", win::ERROR_OPERATION_ABORTED}},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fp::Reset();
    OpenQuietly();
    for (const auto& [call, error] : row.failures) fp::FailCall(call, 1, error);
    EXPECT_EQ(WritePort(&port_, "hello", 5), row.result);
    EXPECT_EQ(fp::CountCalls("ClearCommError"), row.result == 0 ? 1 : 0);
  }
}

TEST_F(PortFake, ShortWriteThatSucceedsIsNoCompleteWrite) {
  // Windows ends a write cut by its time-out with success and fewer bytes.
  for (bool pending : {false, true}) {
    SCOPED_TRACE(pending ? "pending" : "at once");
    fp::Reset();
    OpenQuietly();
    fp::TheDevice().write_limit = 3;
    if (pending) fp::FailCall("WriteFile", 1, win::ERROR_IO_PENDING);
    EXPECT_EQ(WritePort(&port_, "hello", 5), 0);
    EXPECT_EQ(fp::TheDevice().output, "hel");
    EXPECT_EQ(fp::CountCalls("ClearCommError"), 1);
  }
}

TEST_F(PortFake, StringAndBlockWrites) {
  OpenQuietly();
  EXPECT_EQ(SendStr(&port_, ""), 1);
  EXPECT_EQ(fp::FindCall("WriteFile")->args[1], 0u);  // a request of 0 bytes
  EXPECT_EQ(SendStr(&port_, "I"), 1);
  const unsigned char block[] = {0xFF, 0x01};
  EXPECT_EQ(SendBinary(&port_, block, 2), 256);
  EXPECT_EQ(SendBinary(&port_, block, 0), 0);
  EXPECT_EQ(SendBinary(&port_, block, -1), 0);
  EXPECT_EQ(fp::TheDevice().output, std::string("I\xFF\x01"));
  EXPECT_EQ(fp::CountCalls("WriteFile"), 4);  // the negative length wrote nothing
  fp::FailCall("WriteFile", 5, win::ERROR_GEN_FAILURE);
  EXPECT_EQ(SendBinary(&port_, block, 2), 256);  // the sum, whatever the write gave
}

TEST_F(PortFake, DefaultPortIsUsableOnlyOnceOpened) {
  EXPECT_EQ(SendStrDefault(&port_, "never opened"), 0);
  ASSERT_NE(OpenPort(&DefaultPort, 9600, 2), 0);
  EXPECT_EQ(SendStrDefault(nullptr, "hi"), 1);
  EXPECT_EQ(fp::TheDevice().output, "hi");
  ClosePort(&DefaultPort);
  std::memset(&DefaultPort, 0, sizeof DefaultPort);
}

}  // namespace
