// Files through CreateFileA/ReadFile/WriteFile: dispositions, exclusive
// sharing, end of file, and the descriptors the layer hands out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/scratch_dir.h"

namespace {

constexpr win::DWORD kSentinel = 0xDEADBEEF;
constexpr win::DWORD kReadWrite = win::GENERIC_READ | win::GENERIC_WRITE;

class Files : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("capture.raw");
    win::SetLastError(kSentinel);
  }
  void Put(const std::string& bytes) { dir_.Write("capture.raw", bytes); }
  std::string Content() { return dir_.Read("capture.raw"); }
  win::HANDLE Open(win::DWORD access, win::DWORD disposition, win::DWORD share = 0) {
    return win::CreateFileA(path_.c_str(), access, share, nullptr, disposition, 0, nullptr);
  }

  test_support::ScratchDir dir_;
  std::string path_;
};

TEST_F(Files, DispositionsCreateKeepOrTruncate) {
  struct Row {
    win::DWORD disposition;
    bool exists;
    win::DWORD error;     // ERROR_SUCCESS: the open succeeds
    std::string content;  // after the open (and closing it)
  };
  const Row rows[] = {
      {win::CREATE_NEW, false, win::ERROR_SUCCESS, ""},
      {win::CREATE_NEW, true, win::ERROR_FILE_EXISTS, "old"},
      {win::CREATE_ALWAYS, true, win::ERROR_SUCCESS, ""},
      {win::CREATE_ALWAYS, false, win::ERROR_SUCCESS, ""},
      {win::OPEN_EXISTING, true, win::ERROR_SUCCESS, "old"},
      {win::OPEN_EXISTING, false, win::ERROR_FILE_NOT_FOUND, "<none>"},
      {win::OPEN_ALWAYS, true, win::ERROR_SUCCESS, "old"},
      {win::OPEN_ALWAYS, false, win::ERROR_SUCCESS, ""},
      {win::TRUNCATE_EXISTING, true, win::ERROR_SUCCESS, ""},
      {win::TRUNCATE_EXISTING, false, win::ERROR_FILE_NOT_FOUND, "<none>"},
      {9, true, win::ERROR_INVALID_PARAMETER, "old"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.disposition << (row.exists ? " exists" : " new"));
    std::remove(path_.c_str());
    if (row.exists) Put("old");
    win::SetLastError(kSentinel);
    win::HANDLE file = Open(kReadWrite, row.disposition);
    if (row.error == win::ERROR_SUCCESS) {
      ASSERT_TRUE(win::IsValidHandle(file));
      EXPECT_TRUE(win::CloseHandle(file));
    } else {
      EXPECT_EQ(file, win::INVALID_HANDLE_VALUE);
      EXPECT_EQ(win::GetLastError(), row.error);
    }
    EXPECT_EQ(Content(), row.content);
  }
}

TEST_F(Files, ShareModeZeroRefusesEveryOtherOpenUntilClosed) {
  Put("keep me");
  win::HANDLE first = Open(win::GENERIC_READ, win::OPEN_EXISTING);
  ASSERT_TRUE(win::IsValidHandle(first));
  for (win::DWORD disposition : {win::OPEN_EXISTING, win::CREATE_ALWAYS, win::TRUNCATE_EXISTING}) {
    win::SetLastError(kSentinel);
    EXPECT_EQ(Open(kReadWrite, disposition, win::FILE_SHARE_READ), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  }
  EXPECT_EQ(Content(), "keep me");  // a refused CREATE_ALWAYS truncated nothing
  EXPECT_TRUE(win::CloseHandle(first));
  win::HANDLE again = Open(win::GENERIC_READ, win::OPEN_EXISTING);
  EXPECT_TRUE(win::IsValidHandle(again));
  win::CloseHandle(again);
}

TEST_F(Files, TransfersReportCountsAndEndOfFileIsAnEmptySuccess) {
  win::HANDLE file = Open(kReadWrite, win::CREATE_ALWAYS);
  ASSERT_TRUE(win::IsValidHandle(file));
  win::DWORD count = kSentinel;
  EXPECT_TRUE(win::WriteFile(file, "0123456789", 10, &count, nullptr));
  EXPECT_EQ(count, 10u);
  win::CloseHandle(file);

  file = Open(win::GENERIC_READ, win::OPEN_EXISTING);
  char buffer[16] = {};
  EXPECT_TRUE(win::ReadFile(file, buffer, 4, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "0123");
  EXPECT_TRUE(win::ReadFile(file, buffer, 16, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "456789");
  count = kSentinel;
  EXPECT_TRUE(win::ReadFile(file, buffer, 16, &count, nullptr));
  EXPECT_EQ(count, 0u);
  win::SetLastError(kSentinel);
  EXPECT_FALSE(win::WriteFile(file, "x", 1, &count, nullptr));  // opened for reading only
  EXPECT_NE(win::GetLastError(), kSentinel);
  // An overlapped block positions the transfer and holds its result.
  win::OVERLAPPED block{};
  block.Offset = 7;
  EXPECT_TRUE(win::ReadFile(file, buffer, 16, nullptr, &block));
  EXPECT_EQ(block.InternalHigh, 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_TRUE(win::GetOverlappedResult(file, &block, &count, win::TRUE));
  EXPECT_EQ(count, 3u);
  // A block whose event slot holds another file's number (a record never
  // cleared) signals nothing into that file.
  win::HANDLE other = win::CreateFileA(dir_.File("other").c_str(), kReadWrite, 0, nullptr,
                                       win::CREATE_ALWAYS, 0, nullptr);
  block.hEvent = win::SlotFromHandle(other);
  EXPECT_TRUE(win::ReadFile(file, buffer, 4, &count, &block));
  EXPECT_TRUE(win::ReadFile(other, buffer, 16, &count, nullptr));
  EXPECT_EQ(count, 0u);
  win::CloseHandle(other);
  win::CloseHandle(file);
}

TEST_F(Files, HandlesAreNeverTheStandardStreams) {
  Put("x");
  const int saved = dup(0);
  close(0);  // the lowest free number is now 0
  win::HANDLE file = Open(win::GENERIC_READ, win::OPEN_EXISTING);
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  dup2(saved, 0);
  close(saved);
  EXPECT_GT(win::SlotFromHandle(file), 2);
  EXPECT_GT(win::SlotFromHandle(event), 2);
  EXPECT_TRUE(win::CloseHandle(file));
  EXPECT_TRUE(win::CloseHandle(event));
}

TEST_F(Files, BadHandlesAndNamesFailWithTheirCodes) {
  struct Row {
    const char* name;
    win::DWORD error;
  };
  std::string too_long(5000, 'a');
  const Row rows[] = {
      {"/tmp", win::ERROR_ACCESS_DENIED},
      {"/no-such-dir/x", win::ERROR_FILE_NOT_FOUND},
      {"\\\\.\\PIPE\\x", win::ERROR_FILE_NOT_FOUND},
      {too_long.c_str(), win::ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name).substr(0, 20));
    win::SetLastError(kSentinel);
    EXPECT_EQ(
        win::CreateFileA(row.name, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
        win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), row.error);
  }
  for (win::HANDLE bad : {win::INVALID_HANDLE_VALUE, win::HANDLE{}, win::HandleFromSlot(1)}) {
    win::SetLastError(kSentinel);
    EXPECT_FALSE(win::CloseHandle(bad));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(win::CreateEventA(nullptr, win::TRUE, win::FALSE, "named"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SUPPORTED);
}

}  // namespace
