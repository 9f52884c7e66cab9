// The fake platform keeps the promises other tests rely on: reads end as the
// Windows read time-outs say, pending requests complete through
// GetOverlappedResult, and scripted failures hit the call they name.
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sleep.h"

namespace {

namespace fp = fake_platform;

win::HANDLE OpenDevice() {
  return win::CreateFileA("COM1", win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                          win::OPEN_EXISTING, 0, nullptr);
}

TEST(FakePlatform, ReadsEndAsTheReadTimeoutsSay) {
  struct Row {
    const char* name;
    win::COMMTIMEOUTS timeouts;
    std::uint32_t first_at, second_at;  // "ab" then "cd" arrive then
    win::DWORD count;
    std::string got;
    std::uint32_t clock_ms;
  };
  const Row rows[] = {
      {"at once with what is there", {win::MAXDWORD, 0, 0, 0, 0}, 0, 5, 10, "ab", 0},
      {"at once with nothing", {win::MAXDWORD, 0, 0, 0, 0}, 3, 5, 10, "", 0},
      {"first byte within constant",
       {win::MAXDWORD, win::MAXDWORD, 50, 0, 0},
       20,
       30,
       10,
       "ab",
       20},
      {"no first byte within constant",
       {win::MAXDWORD, win::MAXDWORD, 50, 0, 0},
       60,
       70,
       10,
       "",
       50},
      {"total limit", {0, 10, 100, 0, 0}, 0, 300, 10, "ab", 200},
      {"interval limit", {10, 10, 100, 0, 0}, 0, 30, 10, "ab", 10},
      {"bytes within the interval join", {10, 10, 100, 0, 0}, 0, 8, 10, "abcd", 18},
      {"count reached", {10, 10, 100, 0, 0}, 0, 8, 3, "abc", 8},
      {"no limits waits for the count", {0, 0, 0, 0, 0}, 40, 90, 4, "abcd", 90},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fp::Reset();
    win::HANDLE device = OpenDevice();
    ASSERT_TRUE(win::SetCommTimeouts(device, &row.timeouts));
    fp::QueueInputAt(row.first_at, "ab");
    fp::QueueInputAt(row.second_at, "cd");
    char buffer[16] = {};
    win::DWORD got = 12345;
    ASSERT_TRUE(win::ReadFile(device, buffer, row.count, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), row.got);
    EXPECT_EQ(fp::NowMs(), row.clock_ms);
    EXPECT_EQ(fp::FindCall("ReadFile")->text, row.got);
  }
}

TEST(FakePlatform, PendingWriteCompletesAfterIncompleteResults) {
  fp::Reset();
  win::HANDLE device = OpenDevice();
  fp::FailCall("WriteFile", 1, win::ERROR_IO_PENDING);
  fp::FailCall("GetOverlappedResult", 1, win::ERROR_IO_INCOMPLETE);
  win::OVERLAPPED block = {};
  win::DWORD count = 99;
  EXPECT_FALSE(win::WriteFile(device, "hello", 5, &count, &block));
  EXPECT_EQ(win::GetLastError(), win::ERROR_IO_PENDING);
  EXPECT_FALSE(win::GetOverlappedResult(device, &block, &count, win::TRUE));
  EXPECT_EQ(win::GetLastError(), win::ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(win::GetOverlappedResult(device, &block, &count, win::TRUE));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(fp::TheDevice().output, "hello");
}

TEST(FakePlatform, ScriptsLinesQueuesEventsAndClock) {
  fp::Reset();
  win::HANDLE device = OpenDevice();
  fp::FailCall("SetCommState", 2, win::ERROR_INVALID_PARAMETER);
  fp::FailCall("CreateEventA", 1, win::ERROR_NOT_ENOUGH_MEMORY);
  win::DCB dcb;
  ASSERT_TRUE(win::GetCommState(device, &dcb));
  dcb.fDtrControl = win::DTR_CONTROL_ENABLE;
  dcb.BaudRate = 57600;
  EXPECT_TRUE(win::SetCommState(device, &dcb));
  EXPECT_TRUE(fp::TheDevice().dtr);
  dcb.BaudRate = 115200;
  EXPECT_FALSE(win::SetCommState(device, &dcb));
  EXPECT_EQ(fp::TheDevice().dcb.BaudRate, 57600u) << "a refused state changes nothing";
  EXPECT_TRUE(win::EscapeCommFunction(device, win::CLRDTR));
  EXPECT_TRUE(win::EscapeCommFunction(device, win::SETRTS));
  EXPECT_FALSE(fp::TheDevice().dtr);
  EXPECT_TRUE(fp::TheDevice().rts);

  EXPECT_EQ(win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr), nullptr);
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  EXPECT_FALSE(win::GetCommState(event, &dcb)) << "an event is not a serial line";

  fp::QueueInputAt(100, "xyz");
  win::COMSTAT status = {};
  EXPECT_TRUE(win::ClearCommError(device, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  win::Sleep(100);
  EXPECT_TRUE(win::ClearCommError(device, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 3u);
  EXPECT_TRUE(win::PurgeComm(device, win::PURGE_RXCLEAR));
  EXPECT_EQ(fp::PendingInputSize(), 0u);

  EXPECT_EQ(fp::OpenHandleCount(), 2);
  EXPECT_TRUE(win::CloseHandle(event));
  EXPECT_TRUE(win::CloseHandle(device));
  EXPECT_FALSE(win::CloseHandle(device));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(fp::FindCall("Sleep")->args, (std::vector<std::uint64_t>{100}));
}

}  // namespace
