// The header on real files, through the platform's file calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "capture/capture_header.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/scratch_dir.h"

namespace {

class CaptureFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("capture.raw");
    std::memset(&header_, 0xA5, sizeof header_);
  }

  win::HANDLE Create() {
    return win::CreateFileA(path_.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                            win::FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  int Read(win::HANDLE* handle, std::string* report) {
    ::testing::internal::CaptureStdout();
    const int result = ReadCaptureHeader(path_.c_str(), handle, &header_);
    *report = ::testing::internal::GetCapturedStdout();
    return result;
  }

  test_support::ScratchDir dir_;
  std::string path_;
  CaptureHeader header_;
};

CaptureHeader Settings() {
  CaptureHeader h{};
  h.version = 2;
  h.sample_period = 10;
  h.max_range = 4000;
  h.buf_size = 1000;
  h.num_samples = 500000;
  h.calibration_value = -42;
  h.motor1_encoder_ppr = 4096;
  h.motor2_encoder_ppr = 2048;
  h.comport = 4;
  std::strcpy(h.cal_file, "lookuphs.cal");
  h.sensor_model = kSensorModel50kHz;
  return h;
}

TEST_F(CaptureFilesTest, HeaderAndDataRoundTripThroughOneHandle) {
  win::HANDLE out = Create();
  ASSERT_TRUE(win::IsValidHandle(out));
  ASSERT_EQ(WriteCaptureHeader(out, Settings()), 1);
  ASSERT_EQ(WriteExact(out, "DATA", 4), 1);
  ASSERT_TRUE(win::CloseHandle(out));

  win::HANDLE in = win::INVALID_HANDLE_VALUE;
  std::string report;
  ASSERT_EQ(Read(&in, &report), 1);
  ASSERT_TRUE(win::IsValidHandle(in));
  EXPECT_EQ(header_.version, 3u);
  EXPECT_EQ(header_.calibration_value, -42);
  EXPECT_STREQ(header_.cal_file, "lookuphs.cal");
  EXPECT_TRUE(report.ends_with(" Cal file: lookuphs.cal\n Sensor Model: AR4000 - 50 kHz\n"));
  char data[5] = {};
  EXPECT_EQ(ReadExact(in, data, 4), 1);
  EXPECT_STREQ(data, "DATA");
  EXPECT_EQ(ReadExact(in, data, 1), 0);  // end of file
  EXPECT_TRUE(win::CloseHandle(in));
}

TEST_F(CaptureFilesTest, ReaderHoldsTheFileExclusivelyUntilClosed) {
  for (const char* content : {"full header", "100 bytes"}) {
    SCOPED_TRACE(content);
    win::HANDLE out = Create();
    ASSERT_TRUE(win::IsValidHandle(out));
    if (std::strcmp(content, "full header") == 0) {
      ASSERT_EQ(WriteCaptureHeader(out, Settings()), 1);
    } else {
      const char bytes[100] = {3};
      ASSERT_EQ(WriteExact(out, bytes, sizeof bytes), 1);
    }
    win::CloseHandle(out);

    win::HANDLE held = win::INVALID_HANDLE_VALUE;
    std::string report;
    Read(&held, &report);
    ASSERT_TRUE(win::IsValidHandle(held));  // also after a failed read
    for (win::DWORD access : {win::GENERIC_READ, win::GENERIC_WRITE}) {
      win::SetLastError(0x5EA1);
      win::HANDLE second =
          win::CreateFileA(path_.c_str(), access, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                           nullptr, win::OPEN_EXISTING, 0, nullptr);
      EXPECT_EQ(second, win::INVALID_HANDLE_VALUE);
      EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
    }
    ASSERT_TRUE(win::CloseHandle(held));
    win::HANDLE again = win::CreateFileA(path_.c_str(), win::GENERIC_READ, 0, nullptr,
                                         win::OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(win::IsValidHandle(again));
    win::CloseHandle(again);
  }
}

TEST_F(CaptureFilesTest, MissingFileIsReportedAndGivesNoHandle) {
  win::HANDLE handle = win::HandleFromSlot(1234);
  std::string report;
  EXPECT_EQ(Read(&handle, &report), 0);
  EXPECT_EQ(report, "Could not open " + path_ + "\n");
  EXPECT_EQ(handle, win::INVALID_HANDLE_VALUE);
}

TEST_F(CaptureFilesTest, FailedWriteLeavesHandleOpen) {
  // The full device refuses every write.
  win::HANDLE full = win::CreateFileA("/dev/full", win::GENERIC_WRITE, win::FILE_SHARE_WRITE,
                                      nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(full)) GTEST_SKIP() << "/dev/full is not available";
  EXPECT_EQ(WriteCaptureHeader(full, Settings()), 0);
  EXPECT_TRUE(win::CloseHandle(full));
}

}  // namespace
