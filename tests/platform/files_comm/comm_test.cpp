// Serial lines on pseudo-terminals through the comm calls: the device-control
// block against termios, the read and write time-outs with their Windows
// meanings, overlapped blocks, status, hang-up, and descriptors the layer did
// not open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/linux/bit_rate_linux.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scratch_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr win::DWORD kSentinel = 0xDEADBEEF;

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class Comm : public testing::Test {
 protected:
  void SetUp() override {
    if (!pty_.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    handle_ = win::CreateFileA(pty_.slave_path().c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                               nullptr, win::OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(win::IsValidHandle(handle_));
    win::DCB dcb{};
    ASSERT_TRUE(win::GetCommState(handle_, &dcb));
    dcb.BaudRate = 115200;
    ASSERT_TRUE(win::SetCommState(handle_, &dcb));  // raw, so bytes pass untouched
    win::SetLastError(kSentinel);
  }
  void TearDown() override {
    pty_.WaitForSends();
    if (win::IsValidHandle(handle_)) win::CloseHandle(handle_);
  }
  void Send(const std::string& bytes) { ASSERT_TRUE(pty_.Send(bytes)); }
  void SendLater(int delay_ms, const std::string& bytes) { pty_.SendLater(delay_ms, bytes); }
  // Bytes written to the master reach the line's input queue through the
  // kernel's flush work, which a loaded machine runs late: the count is read
  // until it is `expected` or a second has passed, and then reported.
  win::DWORD InQueue(win::DWORD expected) {
    win::COMSTAT status{};
    for (int tries = 0; tries < 100; ++tries) {
      EXPECT_TRUE(win::ClearCommError(handle_, nullptr, &status));
      if (status.cbInQue == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status.cbInQue;
  }

  test_support::PtyPair pty_;
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

TEST_F(Comm, LineSettingsReachTermiosAndReadBackAsSet) {
  struct Row {
    win::DWORD rate;
    win::BYTE stop_bits;
    bool xon_xoff;
  };
  const Row rows[] = {{9600, win::ONESTOPBIT, false},
                      {115200, win::TWOSTOPBITS, true},
                      {250000, win::ONESTOPBIT, false},  // no Bxxx constant: termios2
                      {921600, win::TWOSTOPBITS, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rate);
    win::DCB dcb{};
    ASSERT_TRUE(win::GetCommState(handle_, &dcb));
    dcb.BaudRate = row.rate;
    dcb.StopBits = row.stop_bits;
    dcb.fOutX = dcb.fInX = row.xon_xoff;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // Fields termios has no place for.
    dcb.XonLim = 77;
    dcb.XoffLim = 33;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    dcb.fNull = 1;
    dcb.fAbortOnError = 1;
    dcb.fTXContinueOnXoff = 1;
    ASSERT_TRUE(win::SetCommState(handle_, &dcb));

    win::DCB back{};
    ASSERT_TRUE(win::GetCommState(handle_, &back));
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
    termios seen{};
    ASSERT_EQ(tcgetattr(pty_.master(), &seen), 0);
    unsigned rate = 0;
    ASSERT_TRUE(platform_linux::GetBitRate(pty_.master(), &rate));
    EXPECT_EQ(rate, row.rate);
    EXPECT_EQ((seen.c_cflag & CSTOPB) != 0, row.stop_bits == win::TWOSTOPBITS);
    EXPECT_EQ((seen.c_iflag & IXON) != 0, row.xon_xoff);
    EXPECT_EQ(seen.c_lflag & ICANON, 0u);
  }
}

TEST_F(Comm, RefusedSettingsFailAndLeaveTheLineAsItWas) {
  win::DCB good{};
  ASSERT_TRUE(win::GetCommState(handle_, &good));
  struct Row {
    const char* name;
    void (*edit)(win::DCB&);
    win::DWORD error;  // 0: whatever the device says
  };
  const Row rows[] = {
      {"9 data bits", [](win::DCB& d) { d.ByteSize = 9; }, win::ERROR_INVALID_PARAMETER},
      {"parity 5", [](win::DCB& d) { d.Parity = 5; }, win::ERROR_INVALID_PARAMETER},
      {"1.5 stop bits at 8 bits", [](win::DCB& d) { d.StopBits = win::ONE5STOPBITS; },
       win::ERROR_INVALID_PARAMETER},
      {"2 stop bits at 5 bits", [](win::DCB& d) { d.ByteSize = 5, d.StopBits = win::TWOSTOPBITS; },
       win::ERROR_INVALID_PARAMETER},
      {"rate 0", [](win::DCB& d) { d.BaudRate = 0; }, win::ERROR_INVALID_PARAMETER},
      {"XON equals XOFF", [](win::DCB& d) { d.fOutX = 1, d.XoffChar = d.XonChar; },
       win::ERROR_INVALID_PARAMETER},
      {"DSR flow control", [](win::DCB& d) { d.fOutxDsrFlow = 1; }, win::ERROR_NOT_SUPPORTED},
      {"DTR handshake", [](win::DCB& d) { d.fDtrControl = win::DTR_CONTROL_HANDSHAKE; },
       win::ERROR_NOT_SUPPORTED},
      // Pseudo-terminals here refuse these in tcsetattr.
      {"7 data bits, even parity", [](win::DCB& d) { d.ByteSize = 7, d.Parity = win::EVENPARITY; },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win::DCB dcb = good;
    row.edit(dcb);
    win::SetLastError(kSentinel);
    win::BOOL taken = win::SetCommState(handle_, &dcb);
    win::DCB back{};
    ASSERT_TRUE(win::GetCommState(handle_, &back));
    if (row.error == 0 && taken) {
      // A device that can do it: it must then really be set.
      EXPECT_EQ(back.ByteSize, dcb.ByteSize);
      EXPECT_EQ(back.Parity, dcb.Parity);
      ASSERT_TRUE(win::SetCommState(handle_, &good));
      continue;
    }
    EXPECT_FALSE(taken);
    EXPECT_EQ(win::GetLastError(), row.error != 0 ? row.error : win::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::memcmp(&back, &good, sizeof good), 0);
  }
}

TEST_F(Comm, ReadsEndAsTheTimeoutsSay) {
  struct Row {
    const char* name;
    win::COMMTIMEOUTS timeouts;
    std::string now, later;  // `later` is sent 40 ms after the row starts
    win::DWORD count;
    std::string got;
    // The read ends no sooner than min_ms after the row starts, and no later
    // than max_ms after the read starts. A descheduled test only lengthens the
    // first span, so that bound is exact; max_ms sits well below the time the
    // wrong rule would take (a full total time-out, or waiting without end).
    long min_ms, max_ms;
  };
  const win::DWORD M = win::MAXDWORD;
  const Row rows[] = {
      {"at once, with what is there", {M, 0, 0, 0, 0}, "ab", "", 10, "ab", 0, 250},
      {"at once, nothing", {M, 0, 0, 0, 0}, "", "", 10, "", 0, 250},
      {"first byte ends it", {M, M, 1000, 0, 0}, "", "xy", 10, "xy", 40, 700},
      {"no first byte", {M, M, 60, 0, 0}, "", "", 10, "", 60, 400},
      {"interval after the first byte", {10, 10, 100, 0, 0}, "abc", "", 100, "abc", 0, 600},
      {"total limit", {0, 10, 50, 0, 0}, "", "", 5, "", 100, 600},
      {"count reached", {0, 0, 0, 0, 0}, "a", "bc", 3, "abc", 40, 600},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(win::PurgeComm(handle_, win::PURGE_RXCLEAR));
    ASSERT_TRUE(win::SetCommTimeouts(handle_, &row.timeouts));
    auto row_start = Clock::now();
    if (!row.now.empty()) Send(row.now);
    if (!row.later.empty()) SendLater(40, row.later);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char buffer[128];
    win::DWORD got = kSentinel;
    auto read_start = Clock::now();
    EXPECT_TRUE(win::ReadFile(handle_, buffer, row.count, &got, nullptr));
    long since_row = ElapsedMs(row_start);
    long since_read = ElapsedMs(read_start);
    pty_.WaitForSends();
    EXPECT_EQ(std::string(buffer, got), row.got);
    EXPECT_GE(since_row, row.min_ms);
    EXPECT_LE(since_read, row.max_ms);
  }
}

TEST_F(Comm, AStuckWriteIsCutShortAndSaysSo) {
  const win::COMMTIMEOUTS timeouts{win::MAXDWORD, 0, 0, 0, 50};
  ASSERT_TRUE(win::SetCommTimeouts(handle_, &timeouts));
  std::vector<char> block(1 << 20, 'w');  // more than the line buffers; nobody reads
  win::DWORD written = kSentinel;
  auto start = Clock::now();
  EXPECT_FALSE(win::WriteFile(handle_, block.data(), block.size(), &written, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_TIMEOUT);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, block.size());
  EXPECT_LT(ElapsedMs(start), 500);
}

TEST_F(Comm, OverlappedRequestsCompleteAndSignalTheirEvent) {
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  ASSERT_TRUE(win::IsValidHandle(event));
  auto signalled = [&] {
    pollfd watch{win::SlotFromHandle(event), POLLIN, 0};
    return poll(&watch, 1, 0) == 1;
  };
  const win::COMMTIMEOUTS timeouts{win::MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(win::SetCommTimeouts(handle_, &timeouts));
  win::OVERLAPPED block{};
  block.hEvent = win::SlotFromHandle(event);
  Send("xyz");
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  char buffer[8];
  EXPECT_TRUE(win::ReadFile(handle_, buffer, 8, nullptr, &block));
  EXPECT_TRUE(signalled());
  EXPECT_EQ(block.Internal, 0u);
  EXPECT_EQ(block.InternalHigh, 3u);
  win::DWORD count = 0;
  EXPECT_TRUE(win::GetOverlappedResult(handle_, &block, &count, win::TRUE));
  EXPECT_EQ(count, 3u);

  pty_.HangUp();  // the line goes away
  EXPECT_FALSE(win::ReadFile(handle_, buffer, 8, nullptr, &block));
  EXPECT_TRUE(signalled());
  EXPECT_FALSE(win::GetOverlappedResult(handle_, &block, &count, win::TRUE));
  EXPECT_EQ(win::GetLastError(), win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(win::CloseHandle(event));
}

TEST_F(Comm, StatusPurgeAndAVanishedLine) {
  Send("12345");
  EXPECT_EQ(InQueue(5), 5u);
  EXPECT_TRUE(win::PurgeComm(handle_, win::PURGE_RXCLEAR | win::PURGE_RXABORT));
  EXPECT_EQ(InQueue(0), 0u);
  EXPECT_FALSE(win::PurgeComm(handle_, 0x10));
  EXPECT_FALSE(win::EscapeCommFunction(handle_, 7));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

  const win::COMMTIMEOUTS forever{0, 0, 0, 0, 0};  // reads would wait without limit
  ASSERT_TRUE(win::SetCommTimeouts(handle_, &forever));
  pty_.HangUp();
  auto start = Clock::now();
  win::COMSTAT status{};
  EXPECT_FALSE(win::ClearCommError(handle_, nullptr, &status));
  EXPECT_EQ(win::GetLastError(), win::ERROR_DEVICE_NOT_CONNECTED);
  char buffer[4];
  win::DWORD count = kSentinel;
  EXPECT_FALSE(win::ReadFile(handle_, buffer, 4, &count, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(win::WriteFile(handle_, "x", 1, &count, nullptr));
  EXPECT_LT(ElapsedMs(start), 500);
}

TEST_F(Comm, DescriptorsOpenedElsewhereAreAdoptedOrRefused) {
  // A line handed over by someone else, as the card's driver hands its own.
  int foreign = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GT(foreign, 2);
  win::HANDLE adopted = win::HandleFromSlot(foreign);
  win::DCB dcb{};
  EXPECT_TRUE(win::GetCommState(adopted, &dcb));
  EXPECT_TRUE(win::SetCommMask(adopted, 0));
  EXPECT_TRUE(win::PurgeComm(adopted, 15));
  EXPECT_TRUE(win::CloseHandle(adopted));

  constexpr int kUnusedNumber = 1000;
  ASSERT_EQ(fcntl(kUnusedNumber, F_GETFD), -1);
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  struct Row {
    const char* name;
    win::HANDLE handle;
    win::DWORD error;
  };
  const Row rows[] = {
      {"pipe", win::HandleFromSlot(pipe_ends[0]), win::ERROR_NOT_SUPPORTED},
      {"event", event, win::ERROR_INVALID_HANDLE},
      {"closed number", win::HandleFromSlot(kUnusedNumber), win::ERROR_INVALID_HANDLE},
      {"standard input", win::HandleFromSlot(0), win::ERROR_INVALID_HANDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win::SetLastError(kSentinel);
    EXPECT_FALSE(win::GetCommState(row.handle, &dcb));
    EXPECT_EQ(win::GetLastError(), row.error);
    EXPECT_FALSE(win::ClearCommError(row.handle, nullptr, nullptr));
  }
  win::CloseHandle(event);
  close(pipe_ends[0]);
  close(pipe_ends[1]);

  // A number the layer knew as a file, closed behind its back and reused for
  // a line: the stale state gives way to the line's.
  test_support::ScratchDir dir;
  const std::string file_name = dir.Write("stale", "");
  win::HANDLE as_file = win::CreateFileA(file_name.c_str(), win::GENERIC_READ, 0, nullptr,
                                         win::OPEN_EXISTING, 0, nullptr);
  int number = win::SlotFromHandle(as_file);
  close(number);
  int line = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line != number) {
    close(line);
    GTEST_SKIP() << "the descriptor number was not reused";
  }
  EXPECT_TRUE(win::GetCommState(as_file, &dcb));
  close(line);
}

}  // namespace
