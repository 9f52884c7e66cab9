// The port channel on real lines: pseudo-terminals, with the test playing the
// device on the master side. The line settings are read back from that side.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "platform/comm.h"
#include "platform/linux/bit_rate_linux.h"
#include "platform/linux/handle_table_linux.h"
#include "platform/sleep.h"
#include "serial/serial_port.h"
#include "tests/serial/port/pty_line.h"

// Link seam: this Sleep takes the place of the platform's, so a test can run
// the reads' real loop on a silent line without waiting out the silence.
namespace {
bool g_sleep_for_real = true;
int g_sleeps = 0;
}  // namespace

namespace win {
void Sleep(DWORD milliseconds) {
  ++g_sleeps;
  if (!g_sleep_for_real) return;
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&wait, nullptr);
}
}  // namespace win

namespace {

using port_test::PtyLine;
constexpr int kComNumber = 41;

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

class PortPty : public testing::Test {
 protected:
  void SetUp() override {
    if (!line_.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    line_.Bind(kComNumber);
    std::memset(&port_, 0, sizeof port_);
    g_sleep_for_real = true;
    g_sleeps = 0;
  }
  void TearDown() override {
    if (port_.is_open) ClosePort(&port_);
  }
  void Open(std::int32_t rate = 115200) { ASSERT_NE(OpenPort(&port_, rate, kComNumber), 0); }
  std::uint32_t Queued() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    win::COMSTAT status{};
    EXPECT_TRUE(win::ClearCommError(win::HandleFromSlot(port_.handle), nullptr, &status));
    return status.cbInQue;
  }

  PtyLine line_;
  SerialPort port_;
};

TEST_F(PortPty, OpenSetsARawEightNoneOneLineAtTheAskedRate) {
  for (std::int32_t rate : {9600, 115200, 921600, 250000}) {
    SCOPED_TRACE(rate);
    const int descriptors = OpenDescriptorCount();
    port_.baud_rate = 300;  // the record's copy never reaches the line
    Open(rate);
    termios seen{};
    ASSERT_EQ(tcgetattr(line_.master(), &seen), 0);  // the slave's settings
    unsigned seen_rate = 0;
    ASSERT_TRUE(platform_linux::GetBitRate(line_.master(), &seen_rate));
    EXPECT_EQ(seen_rate, static_cast<unsigned>(rate));
    EXPECT_EQ(seen.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_cc[VSTART], 0x11);
    EXPECT_EQ(seen.c_cc[VSTOP], 0x13);

    win::HANDLE handle = win::HandleFromSlot(port_.handle);
    platform_linux::HandleState state;
    ASSERT_TRUE(platform_linux::LoadHandleState(port_.handle, &state));
    EXPECT_EQ(state.event_mask, win::EV_RXCHAR);
    win::DCB dcb{};
    ASSERT_TRUE(win::GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.XonLim, 10);
    EXPECT_EQ(dcb.XoffLim, 10);

    EXPECT_EQ(ClosePort(&port_), 1);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // line and both events closed
  }
}

TEST_F(PortPty, APortInUseOrMissingDoesNotOpen) {
  Open();
  SerialPort second{};
  second.is_open = 77;
  EXPECT_EQ(OpenPort(&second, 9600, kComNumber), 0);  // Windows never shares a port
  EXPECT_EQ(second.handle, -1);
  EXPECT_EQ(second.is_open, 77);
  EXPECT_EQ(second.read_overlapped.hEvent, 0);
  setenv(platform_linux::kComportsVariable, "COM42=/dev/no-such-line", 1);
  EXPECT_EQ(OpenPort(&second, 9600, 42), 0);
  EXPECT_EQ(second.handle, -1);
}

TEST_F(PortPty, ReadsTakeWhatEachModeAsksFor) {
  struct Row {
    const char* name;
    std::string now, later;  // sent before the call, and 40 ms into it
    std::function<int(SerialPort*, char*)> read;
    int result;
    std::string stored;  // the buffer's first bytes afterwards
    std::uint32_t left;  // bytes still queued afterwards
  };
  const Row rows[] = {
      {"any: what is there", "hello", "",
       [](SerialPort* p, char* b) { return ReadPort(p, b, 100, 0); }, 5, "hello", 0},
      {"any: nothing", "", "", [](SerialPort* p, char* b) { return ReadPort(p, b, 100, 0); }, 0, "",
       0},
      {"exact: bytes come later", "abc", "defghijklm",
       [](SerialPort* p, char* b) { return AsciiRead(p, b, 8); }, 8, "abcdefgh", 5},
      {"line, CR stripped", "ab\r\nnext", "",
       [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 16, 1, 500); }, 2,
       std::string("ab\0\0", 4), 4},
      {"line, CR kept", "ab\r\n", "",
       [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 16, 0, 500); }, 3,
       std::string("ab\r\0", 4), 0},
      {"line in pieces", "12", "34\n",
       [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 16, 1, 500); }, 4,
       std::string("1234\0", 5), 0},
      {"line longer than the buffer", "abcdef\n", "",
       [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 4, 1, 500); }, kReadLineFull,
       std::string("abc\0", 4), 4},
      {"line, silence", "ab", "",
       [](SerialPort* p, char* b) { return AsciiReadLine(p, b, 16, 1, 30); }, kReadIdleTimeout,
       "ab", 0},
      {"bytes", std::string("\0\xFF\r\n!", 5), "",
       [](SerialPort* p, char* b) { return BinaryReadBytes(p, b, 4, 100); }, 4,
       std::string("\0\xFF\r\n", 4), 1},
  };
  Open();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PurgePort(&port_, win::PURGE_RXCLEAR);
    line_.Send(row.now);
    if (!row.later.empty()) line_.SendLater(40, row.later);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(row.read(&port_, buffer), row.result);
    EXPECT_EQ(std::string(buffer, row.stored.size()), row.stored);
    line_.WaitForSends();
    EXPECT_EQ(Queued(), row.left);
  }
}

TEST_F(PortPty, WritesReachTheDevice) {
  Open();
  EXPECT_EQ(SendStr(&port_, "I"), 1);
  const unsigned char block[] = {0xFF, 0x01, 'z'};
  EXPECT_EQ(SendBinary(&port_, block, 3), 0xFF + 0x01 + 'z');
  EXPECT_EQ(line_.Received(), "I\xFF\x01z");
}

TEST_F(PortPty, ASilentLineRunsTheWholeIdleCount) {
  Open();
  g_sleep_for_real = false;
  char buffer[8];
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 1), kReadIdleTimeout);
  EXPECT_EQ(g_sleeps, 602);
}

TEST_F(PortPty, AVanishedLineEndsTransfersAtOnce) {
  Open();
  line_.HangUp();  // an adapter pulled out: the kernel drops what was queued
  char buffer[8];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 1), kReadIdleTimeout);
  EXPECT_EQ(AsciiReadLine(&port_, buffer, 8, 1, 5000), kReadIdleTimeout);
  EXPECT_EQ(ReadPort(&port_, buffer, 4, 0), 0);
  EXPECT_EQ(WritePort(&port_, "x", 1), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(ClosePort(&port_), 1);
}

}  // namespace
