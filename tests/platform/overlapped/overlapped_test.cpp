// Overlapped blocks as the serial port record holds them: 20 bytes in the
// 32-bit Windows layout, whatever the process. A transfer made with one is
// finished when the call returns, leaves the result in the block (and only in
// its 20 bytes), and GetOverlappedResult reports that result again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/sleep.h"
#include "tests/support/scratch_dir.h"

namespace {

constexpr win::DWORD kSentinel = 0xDEADBEEF;
constexpr win::DWORD kReadWrite = win::GENERIC_READ | win::GENERIC_WRITE;
constexpr unsigned char kGuard = 0xA5;

// A block between guard bytes, as it sits between other fields of the record:
// a layer that wrote a native 64-bit block (32 bytes) in its place would show.
struct GuardedBlock {
  unsigned char before[8];
  win::OVERLAPPED block;
  unsigned char after[16];
};

GuardedBlock MakeBlock(win::DWORD offset, win::HandleSlot event) {
  GuardedBlock guarded;
  std::memset(&guarded, kGuard, sizeof guarded);
  guarded.block.Offset = offset;
  guarded.block.OffsetHigh = 0;
  guarded.block.hEvent = event;
  return guarded;
}

bool GuardsIntact(const GuardedBlock& guarded) {
  for (unsigned char byte : guarded.before) {
    if (byte != kGuard) return false;
  }
  for (unsigned char byte : guarded.after) {
    if (byte != kGuard) return false;
  }
  return true;
}

class OverlappedFile : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("overlapped.bin");
    // Shared for reading, so that the test can look at the content meanwhile.
    file_ = win::CreateFileA(path_.c_str(), kReadWrite, win::FILE_SHARE_READ, nullptr,
                             win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_TRUE(win::IsValidHandle(file_)) << "cannot create " << path_;
    event_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    ASSERT_TRUE(win::IsValidHandle(event_));
  }
  void TearDown() override {
    if (win::IsValidHandle(file_)) win::CloseHandle(file_);
    if (win::IsValidHandle(event_)) win::CloseHandle(event_);
  }
  std::string Content() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  test_support::ScratchDir dir_;
  std::string path_;
  win::HANDLE file_ = nullptr;
  win::HANDLE event_ = nullptr;
};

TEST_F(OverlappedFile, TransfersGoToTheBlockOffsetAndLeaveTheirResultInTheBlock) {
  struct Row {
    bool write;
    win::DWORD offset;
    std::string data;     // written, or the bytes a read must give
    win::DWORD asked;     // bytes asked for by a read
    std::string content;  // the file afterwards
  };
  const std::string zeros(2, '\0');
  const Row rows[] = {
      {true, 0, "0123456789", 0, "0123456789"},
      {false, 7, "789", 16, "0123456789"},  // cut at the end of the file
      {false, 2, "234", 3, "0123456789"},
      {true, 4, "ab", 0, "0123ab6789"},
      {true, 12, "XY", 0, "0123ab6789" + zeros + "XY"},  // past the end: a gap of zeros
      {false, 0, "0123ab6789" + zeros + "XY", 64, "0123ab6789" + zeros + "XY"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE((row.write ? "write at " : "read at ") + std::to_string(row.offset));
    GuardedBlock guarded = MakeBlock(row.offset, win::SlotFromHandle(event_));
    char buffer[64];
    std::memset(buffer, 0xFF, sizeof buffer);
    win::DWORD count = kSentinel;
    win::SetLastError(kSentinel);
    const win::BOOL result =
        row.write ? win::WriteFile(file_, row.data.data(), static_cast<win::DWORD>(row.data.size()),
                                   &count, &guarded.block)
                  : win::ReadFile(file_, buffer, row.asked, &count, &guarded.block);
    ASSERT_TRUE(result) << "error " << win::GetLastError();
    EXPECT_EQ(count, row.data.size());
    if (!row.write) {
      EXPECT_EQ(std::string(buffer, count), row.data);
    }
    EXPECT_EQ(guarded.block.InternalHigh, row.data.size());
    EXPECT_EQ(guarded.block.Offset, row.offset);
    EXPECT_EQ(guarded.block.OffsetHigh, 0u);
    EXPECT_EQ(guarded.block.hEvent, win::SlotFromHandle(event_));
    EXPECT_TRUE(GuardsIntact(guarded));
    // The stored result, as often as it is asked for, waiting or not.
    for (win::BOOL wait : {win::FALSE, win::TRUE}) {
      count = kSentinel;
      EXPECT_TRUE(win::GetOverlappedResult(file_, &guarded.block, &count, wait));
      EXPECT_EQ(count, row.data.size());
    }
    EXPECT_EQ(Content(), row.content);
  }
}

TEST_F(OverlappedFile, ABlockWithoutAnEventServesToo) {
  GuardedBlock guarded = MakeBlock(0, 0);
  win::DWORD count = kSentinel;
  ASSERT_TRUE(win::WriteFile(file_, "abc", 3, &count, &guarded.block));
  EXPECT_EQ(count, 3u);
  // No count pointer: the block alone tells the count.
  guarded = MakeBlock(1, 0);
  char buffer[8] = {};
  ASSERT_TRUE(win::ReadFile(file_, buffer, 8, nullptr, &guarded.block));
  EXPECT_EQ(guarded.block.InternalHigh, 2u);
  EXPECT_STREQ(buffer, "bc");
  EXPECT_TRUE(GuardsIntact(guarded));
}

TEST_F(OverlappedFile, AReadWithABlockAtOrPastTheEndFailsWithHandleEof) {
  win::DWORD count = kSentinel;
  ASSERT_TRUE(win::WriteFile(file_, "abc", 3, &count, nullptr));
  struct Row {
    win::DWORD offset;
    win::DWORD asked;
    bool succeeds;
    win::DWORD count;
  };
  const Row rows[] = {
      {2, 8, true, 1},  // cut at the end: a success with fewer bytes
      {3, 8, false, 0},
      {10, 8, false, 0},
      {3, 0, true, 0},  // nothing asked: nothing to fail
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.offset) + " " + std::to_string(row.asked));
    GuardedBlock guarded = MakeBlock(row.offset, win::SlotFromHandle(event_));
    char buffer[8];
    count = kSentinel;
    win::SetLastError(kSentinel);
    EXPECT_EQ(win::ReadFile(file_, buffer, row.asked, &count, &guarded.block) != 0, row.succeeds);
    EXPECT_EQ(count, row.count);
    if (!row.succeeds) {
      EXPECT_EQ(win::GetLastError(), win::ERROR_HANDLE_EOF);
    }
    // The block holds the same outcome.
    count = kSentinel;
    win::SetLastError(kSentinel);
    EXPECT_EQ(win::GetOverlappedResult(file_, &guarded.block, &count, win::TRUE) != 0,
              row.succeeds);
    EXPECT_EQ(count, row.count);
    if (!row.succeeds) {
      EXPECT_EQ(win::GetLastError(), win::ERROR_HANDLE_EOF);
    }
    EXPECT_TRUE(GuardsIntact(guarded));
  }
}

TEST(ModuleFileName, ACutPathIsTerminatedAndReportsTheBufferSize) {
  char full[1024];
  const win::DWORD length = win::GetModuleFileNameA(nullptr, full, sizeof full);
  ASSERT_GT(length, 1u);
  ASSERT_LT(length, sizeof full);
  EXPECT_EQ(std::strlen(full), length);

  struct Row {
    win::DWORD size;
    win::DWORD result;
    std::string text;
  };
  const Row rows[] = {
      {1, 1, ""},
      {length, length, std::string(full, length - 1)},
      {length + 1, length, full},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    char path[1024];
    std::memset(path, 'z', sizeof path);
    EXPECT_EQ(win::GetModuleFileNameA(nullptr, path, row.size), row.result);
    EXPECT_EQ(std::string(path), row.text);
    EXPECT_EQ(path[row.size], 'z') << "written past the buffer";
  }
}

// Two COM ports joined by a null-modem cable: under Wine, the pair of
// pseudo-terminals that scripts/wine-run.sh makes.
bool FindPortPair(std::string* first, std::string* second) {
  const char* ports = std::getenv("SCANMON_WINE_PORTS");
  if (ports == nullptr) return false;
  std::istringstream names(ports);
  return static_cast<bool>(names >> *first >> *second);
}

// Closes what a test opened, also when an assertion ends the test early (the
// ports are opened without sharing).
struct HandleCloser {
  win::HANDLE handle;
  ~HandleCloser() {
    if (win::IsValidHandle(handle)) win::CloseHandle(handle);
  }
};

win::HANDLE OpenPort(const std::string& name) {
  win::HANDLE port =
      win::CreateFileA(name.c_str(), kReadWrite, 0, nullptr, win::OPEN_EXISTING,
                       win::FILE_FLAG_OVERLAPPED | win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!win::IsValidHandle(port)) return port;
  // Reads return at once with what has arrived.
  win::COMMTIMEOUTS timeouts{win::MAXDWORD, 0, 0, 0, 1000};
  win::SetCommTimeouts(port, &timeouts);
  return port;
}

TEST(OverlappedSerial, LineSettingsReadBackAsWritten) {
  std::string first, second;
  if (!FindPortPair(&first, &second)) {
    GTEST_SKIP() << "no null-modem pair of COM ports (SCANMON_WINE_PORTS unset)";
  }
  win::HANDLE port = OpenPort(first);
  HandleCloser closer{port};
  ASSERT_TRUE(win::IsValidHandle(port)) << first << ": error " << win::GetLastError();
  struct Row {
    win::DWORD baud;
    win::BYTE byte_size, parity, stop_bits;
  };
  // A pseudo-terminal keeps 8 data bits and no parity whatever it is asked.
  const Row rows[] = {
      {9600, 8, win::NOPARITY, win::ONESTOPBIT},
      {19200, 8, win::NOPARITY, win::TWOSTOPBITS},
      {115200, 8, win::NOPARITY, win::ONESTOPBIT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.baud);
    win::DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    ASSERT_TRUE(win::GetCommState(port, &dcb));
    dcb.BaudRate = row.baud;
    dcb.ByteSize = row.byte_size;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stop_bits;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 0;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = win::DTR_CONTROL_DISABLE;
    dcb.fRtsControl = win::RTS_CONTROL_DISABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(win::SetCommState(port, &dcb)) << "error " << win::GetLastError();
    win::DCB back;
    std::memset(&back, 0xFF, sizeof back);
    ASSERT_TRUE(win::GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, row.baud);
    EXPECT_EQ(back.ByteSize, row.byte_size);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stop_bits);
    EXPECT_EQ(back.fBinary, 1u);
    EXPECT_EQ(back.fOutX, 0u);
    EXPECT_EQ(back.fInX, 0u);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
  }
}

TEST(OverlappedSerial, BytesCrossThePairThroughTheRecordBlocks) {
  std::string first, second;
  if (!FindPortPair(&first, &second)) {
    GTEST_SKIP() << "no null-modem pair of COM ports (SCANMON_WINE_PORTS unset)";
  }
  win::HANDLE sender = OpenPort(first);
  win::HANDLE receiver = OpenPort(second);
  HandleCloser closers[] = {{sender}, {receiver}};
  ASSERT_TRUE(win::IsValidHandle(sender)) << first << ": error " << win::GetLastError();
  ASSERT_TRUE(win::IsValidHandle(receiver)) << second << ": error " << win::GetLastError();
  win::HANDLE write_event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  win::HANDLE read_event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  HandleCloser event_closers[] = {{write_event}, {read_event}};
  win::PurgeComm(receiver, win::PURGE_RXCLEAR | win::PURGE_TXCLEAR);

  const std::string message = "scan 0123456789";
  GuardedBlock write_block = MakeBlock(0, win::SlotFromHandle(write_event));
  win::DWORD count = kSentinel;
  ASSERT_TRUE(win::WriteFile(sender, message.data(), static_cast<win::DWORD>(message.size()),
                             &count, &write_block.block))
      << "error " << win::GetLastError();
  EXPECT_EQ(count, message.size());
  EXPECT_TRUE(GuardsIntact(write_block));
  count = kSentinel;
  EXPECT_TRUE(win::GetOverlappedResult(sender, &write_block.block, &count, win::TRUE));
  EXPECT_EQ(count, message.size());

  // The bytes arrive through the relay between the two terminals: wait for
  // them to be queued (a bounded poll, as the port channel does).
  win::COMSTAT status{};
  for (int poll = 0; poll < 300; ++poll) {
    win::DWORD errors = kSentinel;
    ASSERT_TRUE(win::ClearCommError(receiver, &errors, &status));
    if (status.cbInQue >= message.size()) break;
    win::Sleep(10);
  }
  ASSERT_EQ(status.cbInQue, message.size());

  GuardedBlock read_block = MakeBlock(0, win::SlotFromHandle(read_event));
  char buffer[64];
  std::memset(buffer, 0, sizeof buffer);
  count = kSentinel;
  ASSERT_TRUE(win::ReadFile(receiver, buffer, status.cbInQue, &count, &read_block.block))
      << "error " << win::GetLastError();
  EXPECT_EQ(std::string(buffer, count), message);
  EXPECT_EQ(read_block.block.InternalHigh, message.size());
  EXPECT_EQ(read_block.block.hEvent, win::SlotFromHandle(read_event));
  EXPECT_TRUE(GuardsIntact(read_block));
}

}  // namespace
