// A serial line shared: a reader thread beside a writer thread, state calls
// from both, and a descriptor that the card's driver closes and opens again
// under the same number (as the stand-in's HsifClosePort/HsifOpenPort do).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

win::COMMTIMEOUTS WriteLimit(win::DWORD constant_ms) {
  win::COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = win::MAXDWORD;  // reads return at once
  timeouts.WriteTotalTimeoutConstant = constant_ms;
  return timeouts;
}

// Nobody reads the far end of the line until `after_ms`: then it is drained,
// so that a write that wrongly blocks ends (and the test reports it) instead of
// hanging the suite.
class LateDrain {
 public:
  LateDrain(int master, int after_ms) : master_(master) {
    thread_ = std::thread([this, after_ms] {
      auto until = Clock::now() + std::chrono::milliseconds(after_ms);
      while (!stop_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      char sink[4096];
      while (!stop_) {
        pollfd watch{master_, POLLIN, 0};
        if (poll(&watch, 1, 10) > 0 && read(master_, sink, sizeof sink) <= 0) break;
      }
    });
  }
  ~LateDrain() {
    stop_ = true;
    thread_.join();
  }

 private:
  int master_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SharedLine : public testing::Test {
 protected:
  void SetUp() override {
    if (!line_.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  }
  // The line as the card's driver opens it: a plain blocking descriptor.
  int OpenLikeTheDriver() const {
    return open(line_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  win::HANDLE OpenThroughTheLayer() const {
    return win::CreateFileA(line_.slave_path().c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                            nullptr, win::OPEN_EXISTING, 0, nullptr);
  }
  test_support::PtyPair line_;
};

// A write that must give up after 100 ms on a line nobody drains, timed.
long TimedFullWrite(win::HANDLE line, win::DWORD* error) {
  std::vector<char> block(64 * 1024, 'w');
  win::DWORD written = 0;
  auto start = Clock::now();
  win::BOOL ok =
      win::WriteFile(line, block.data(), static_cast<win::DWORD>(block.size()), &written, nullptr);
  long took = ElapsedMs(start);
  *error = ok ? win::ERROR_SUCCESS : win::GetLastError();
  return took;
}

TEST_F(SharedLine, ReaderThreadLeavesTheWriteTimeOutOfAnotherAlone) {
  int fd = OpenLikeTheDriver();
  ASSERT_GE(fd, 3);
  win::HANDLE line = win::HandleFromSlot(fd);
  win::COMMTIMEOUTS limits{};
  limits.ReadTotalTimeoutConstant = 50;  // the reader waits in poll, then pauses
  limits.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(win::SetCommTimeouts(line, &limits));
  const int flags = fcntl(fd, F_GETFL);

  std::atomic<bool> stop{false};
  std::thread reader([&] {
    char byte;
    win::DWORD got = 0;
    while (!stop) {
      win::ReadFile(line, &byte, 1, &got, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int attempt = 0; attempt < 4; ++attempt) {
    win::DWORD error = 0;
    long took = 0;
    {
      LateDrain drain(line_.master(), 2000);
      took = TimedFullWrite(line, &error);
    }
    EXPECT_LT(took, 1000) << "attempt " << attempt;
    EXPECT_EQ(error, win::ERROR_TIMEOUT) << "attempt " << attempt;
  }
  stop = true;
  reader.join();
  EXPECT_EQ(fcntl(fd, F_GETFL), flags) << "the driver's open file keeps its flags";
  close(fd);
}

TEST_F(SharedLine, StateCallsOfTwoThreadsLoseNoUpdate) {
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    win::COMSTAT status{};
    win::DWORD errors = 0;
    while (!stop) win::ClearCommError(line, &errors, &status);
  });
  // A lost update stays until the next set: look for it a few times.
  int lost = 0;
  for (win::DWORD round = 1; round <= 20000 && lost == 0; ++round) {
    win::COMMTIMEOUTS set{};
    set.ReadTotalTimeoutConstant = round;
    ASSERT_TRUE(win::SetCommTimeouts(line, &set));
    for (int look = 0; look < 4; ++look) {
      win::COMMTIMEOUTS seen{};
      ASSERT_TRUE(win::GetCommTimeouts(line, &seen));
      if (seen.ReadTotalTimeoutConstant != round) ++lost;
    }
  }
  stop = true;
  poller.join();
  EXPECT_EQ(lost, 0) << "ClearCommError in the other thread undid SetCommTimeouts";
  win::CloseHandle(line);
}

TEST_F(SharedLine, DeviceOpenedAgainUnderTheSameNumberStartsFresh) {
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  win::COMMTIMEOUTS old{};
  old.ReadTotalTimeoutConstant = 1234;
  ASSERT_TRUE(win::SetCommTimeouts(line, &old));

  // Closed and opened again behind the layer's back: same device, same number.
  int fd = win::SlotFromHandle(line);
  close(fd);
  ASSERT_EQ(OpenLikeTheDriver(), fd);
  win::COMMTIMEOUTS seen{};
  ASSERT_TRUE(win::GetCommTimeouts(line, &seen));
  EXPECT_EQ(seen.ReadTotalTimeoutConstant, 0u) << "state of the earlier open";

  // The new open is blocking, unlike the layer's own: the write time-out holds.
  win::COMMTIMEOUTS limit = WriteLimit(100);
  ASSERT_TRUE(win::SetCommTimeouts(line, &limit));
  win::DWORD error = 0;
  long took = 0;
  {
    LateDrain drain(line_.master(), 3000);
    took = TimedFullWrite(line, &error);
  }
  EXPECT_LT(took, 1000);
  EXPECT_EQ(error, win::ERROR_TIMEOUT);
  close(fd);
}

TEST_F(SharedLine, RefusedChangePutsANonStandardRateBack) {
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  win::DCB dcb{};
  ASSERT_TRUE(win::GetCommState(line, &dcb));
  dcb.BaudRate = 250000;
  ASSERT_TRUE(win::SetCommState(line, &dcb));
  win::DCB refused = dcb;
  refused.BaudRate = 9600;
  refused.ByteSize = 7;  // a pseudo-terminal carries 8 data bits only
  EXPECT_FALSE(win::SetCommState(line, &refused));
  win::DCB after{};
  ASSERT_TRUE(win::GetCommState(line, &after));
  EXPECT_EQ(after.BaudRate, 250000u);
  EXPECT_EQ(after.ByteSize, 8);
  win::CloseHandle(line);
}

TEST_F(SharedLine, BytesWithParityErrorsAreNeverDropped) {
  // A line left with IGNPAR by whoever used it before would drop them silently.
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  int fd = win::SlotFromHandle(line);
  termios before{};
  ASSERT_EQ(tcgetattr(fd, &before), 0);
  before.c_iflag |= IGNPAR;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
  win::DCB dcb{};
  ASSERT_TRUE(win::GetCommState(line, &dcb));
  dcb.fParity = 1;
  ASSERT_TRUE(win::SetCommState(line, &dcb));
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(after.c_iflag & IGNPAR, 0u);
  win::CloseHandle(line);
}

TEST_F(SharedLine, EventNumberTakenByAnotherEventfdIsNotSignalled) {
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  int number = win::SlotFromHandle(event);
  win::CloseHandle(event);
  int foreign = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_EQ(foreign, number);

  // A block still naming the closed event completes a transfer.
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  win::OVERLAPPED block{};
  block.hEvent = number;
  win::DWORD written = 0;
  win::WriteFile(line, "x", 1, &written, &block);
  std::uint64_t counter = 0;
  EXPECT_LT(read(foreign, &counter, sizeof counter), 0) << "signalled with " << counter;
  close(foreign);
  win::CloseHandle(line);
}

// Reads, writes and state calls of two threads on one line, the far end
// echoing what it gets. Every call succeeds and every byte comes back once.
void ExerciseTwoThreads(win::HANDLE line, int master) {
  win::COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 5;
  timeouts.ReadTotalTimeoutConstant = 20;
  timeouts.WriteTotalTimeoutConstant = 2000;
  ASSERT_TRUE(win::SetCommTimeouts(line, &timeouts));
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char chunk[512];
    while (!stop) {
      pollfd watch{master, POLLIN, 0};
      if (poll(&watch, 1, 10) <= 0) continue;
      ssize_t got = read(master, chunk, sizeof chunk);
      if (got > 0 && write(master, chunk, static_cast<std::size_t>(got)) != got) break;
    }
  });
  constexpr int kRounds = 300;
  constexpr win::DWORD kBlock = 97;
  std::atomic<int> failures{0};
  std::thread writer([&] {
    std::string block(kBlock, 'a');
    for (int round = 0; round < kRounds; ++round) {
      win::DWORD written = 0;
      if (!win::WriteFile(line, block.data(), kBlock, &written, nullptr) || written != kBlock) {
        ++failures;
      }
      win::COMSTAT status{};
      win::DWORD errors = 0;
      if (!win::ClearCommError(line, &errors, &status)) ++failures;
      if (!win::SetCommTimeouts(line, &timeouts)) ++failures;
      if (!win::SetCommMask(line, win::EV_RXCHAR)) ++failures;
    }
  });
  std::size_t received = 0;
  auto give_up = Clock::now() + std::chrono::seconds(20);
  char buffer[256];
  for (int round = 0; received < kRounds * kBlock && Clock::now() < give_up; ++round) {
    win::DWORD got = 0;
    if (!win::ReadFile(line, buffer, sizeof buffer, &got, nullptr)) ++failures;
    received += got;
    win::DCB dcb{};
    if (!win::GetCommState(line, &dcb)) ++failures;
    if (round % 16 == 0 && !win::SetCommState(line, &dcb)) ++failures;
    win::COMMTIMEOUTS seen{};
    if (!win::GetCommTimeouts(line, &seen) || seen.WriteTotalTimeoutConstant != 2000) ++failures;
  }
  writer.join();
  stop = true;
  echo.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(received, static_cast<std::size_t>(kRounds) * kBlock);
}

TEST_F(SharedLine, TwoThreadsReadWriteAndSetStateOnALineOpenedHere) {
  win::HANDLE line = OpenThroughTheLayer();
  ASSERT_TRUE(win::IsValidHandle(line));
  win::DCB dcb{};
  ASSERT_TRUE(win::GetCommState(line, &dcb));
  dcb.BaudRate = 115200;
  ASSERT_TRUE(win::SetCommState(line, &dcb));  // raw, so the echo is exact
  ExerciseTwoThreads(line, line_.master());
  win::CloseHandle(line);
}

TEST_F(SharedLine, TwoThreadsReadWriteAndSetStateOnADriversBlockingLine) {
  int fd = OpenLikeTheDriver();
  ASSERT_GE(fd, 3);
  win::HANDLE line = win::HandleFromSlot(fd);
  win::DCB dcb{};
  ASSERT_TRUE(win::GetCommState(line, &dcb));
  dcb.BaudRate = 115200;
  ASSERT_TRUE(win::SetCommState(line, &dcb));
  ExerciseTwoThreads(line, line_.master());
  close(fd);
}

}  // namespace
