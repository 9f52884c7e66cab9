// The header's byte form, its transfers and its report, on an in-memory file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_header.h"
#include "capture/header_plausibility.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/fake_platform.h"

namespace {

constexpr win::DWORD kErrorSentinel = 0x5EA1;

CaptureHeader SampleHeader() {
  CaptureHeader h;
  std::memset(&h, 0, sizeof h);
  h.version = 1;
  h.sample_period = 0x01020304;
  h.max_range = 99999;
  h.buf_size = 30000;
  h.num_samples = 0xFFFFFFFEu;
  h.calibration_value = -123456;
  h.motor1_encoder_ppr = 4096;
  h.motor2_encoder_ppr = -2;
  h.motor1_power = 200;
  h.motor2_power = 7;
  h.comport = 254;
  h.card_number = 15;
  // Filler after the terminator is written as the record holds it.
  std::memset(h.cal_file, 0x5A, sizeof h.cal_file);
  std::strcpy(h.cal_file, "lookuphs.cal");
  h.sensor_model = kSensorModel200kHz;
  return h;
}

void Put32(std::vector<unsigned char>& b, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

// SampleHeader() as a file holds it, built byte by byte from the file layout.
std::vector<unsigned char> GoldenBytes(std::uint32_t version = 3) {
  const CaptureHeader h = SampleHeader();
  std::vector<unsigned char> b(kCaptureHeaderBytes, 0);
  Put32(b, 0, version);
  Put32(b, 4, 0x01020304);
  Put32(b, 8, 99999);
  Put32(b, 12, 30000);
  Put32(b, 16, 0xFFFFFFFEu);
  Put32(b, 20, 4096);
  Put32(b, 24, 0xFFFFFFFEu);  // -2
  Put32(b, 28, static_cast<std::uint32_t>(-123456));
  b[32] = 200;
  b[33] = 7;
  b[34] = 254;
  b[35] = 15;
  std::memcpy(&b[36], h.cal_file, 256);
  b[292] = 1;
  return b;
}

void ExpectSameFields(const CaptureHeader& a, const CaptureHeader& b) {
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.sample_period, b.sample_period);
  EXPECT_EQ(a.max_range, b.max_range);
  EXPECT_EQ(a.buf_size, b.buf_size);
  EXPECT_EQ(a.num_samples, b.num_samples);
  EXPECT_EQ(a.calibration_value, b.calibration_value);
  EXPECT_EQ(a.motor1_encoder_ppr, b.motor1_encoder_ppr);
  EXPECT_EQ(a.motor2_encoder_ppr, b.motor2_encoder_ppr);
  EXPECT_EQ(a.motor1_power, b.motor1_power);
  EXPECT_EQ(a.motor2_power, b.motor2_power);
  EXPECT_EQ(a.comport, b.comport);
  EXPECT_EQ(a.card_number, b.card_number);
  EXPECT_EQ(std::memcmp(a.cal_file, b.cal_file, sizeof a.cal_file), 0);
  EXPECT_EQ(a.sensor_model, b.sensor_model);
}

// The fake platform's device as a file: what was written, how many bytes each
// transfer asked for, and how many bytes reading took.
std::vector<unsigned char> Written() {
  const std::string& bytes = fake_platform::TheDevice().output;
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::vector<win::DWORD> Counts(const char* call) {
  std::vector<win::DWORD> counts;
  for (const fake_platform::Call& c : fake_platform::Calls()) {
    if (c.name == call) counts.push_back(static_cast<win::DWORD>(c.args[1]));
  }
  return counts;
}

win::HANDLE CreateFake() {
  return win::CreateFileA("scan.raw", win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, 0,
                          nullptr);
}

class CaptureHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_platform::Reset();
    std::memset(&header_, 0xA5, sizeof header_);
    handle_ = win::HandleFromSlot(12345);
    win::SetLastError(kErrorSentinel);
  }

  int Read(const std::vector<unsigned char>& content, std::string* report) {
    content_size_ = content.size();
    fake_platform::QueueInput(std::string(content.begin(), content.end()));
    ::testing::internal::CaptureStdout();
    const int result = ReadCaptureHeader("scan.raw", &handle_, &header_);
    *report = ::testing::internal::GetCapturedStdout();
    return result;
  }

  // Bytes the reader took from the file.
  std::size_t Position() const { return content_size_ - fake_platform::PendingInputSize(); }
  // The handle the reader read from.
  static win::HANDLE ReadHandle() {
    const fake_platform::Call* read = fake_platform::FindCall("ReadFile");
    return read ? win::HandleFromSlot(static_cast<win::HandleSlot>(read->args[0])) : nullptr;
  }

  CaptureHeader header_;
  win::HANDLE handle_;
  std::size_t content_size_ = 0;
};

TEST_F(CaptureHeaderTest, WritesVersionThreeGoldenBytesFieldByField) {
  const CaptureHeader record = SampleHeader();
  ASSERT_EQ(WriteCaptureHeader(CreateFake(), record), 1);
  EXPECT_EQ(Written(), GoldenBytes());
  const std::vector<win::DWORD> transfers = {4, 4, 4, 4, 4, 4, 4, 4, 1, 1, 1, 1, 256, 1};
  EXPECT_EQ(Counts("WriteFile"), transfers);
  EXPECT_EQ(record.version, 1u);
  EXPECT_EQ(fake_platform::CountCalls("CloseHandle"), 0);
}

TEST_F(CaptureHeaderTest, WriteStopsAtFirstFailedOrShortTransfer) {
  const std::size_t sizes[] = {4, 4, 4, 4, 4, 4, 4, 4, 1, 1, 1, 1, 256, 1};
  for (int failing = 0; failing < 14; ++failing) {
    for (bool outright : {true, false}) {
      SCOPED_TRACE(::testing::Message()
                   << "transfer " << failing << (outright ? " fails" : " short"));
      fake_platform::Reset();
      if (outright) {
        fake_platform::FailCall("WriteFile", failing + 1, win::ERROR_GEN_FAILURE);
      } else {
        fake_platform::ShortenWrite(failing + 1);
      }
      EXPECT_EQ(WriteCaptureHeader(CreateFake(), SampleHeader()), 0);
      EXPECT_EQ(Counts("WriteFile").size(), static_cast<std::size_t>(failing + 1));
      std::size_t before = 0;
      for (int i = 0; i < failing; ++i) before += sizes[i];
      const std::size_t kept = outright ? before : before + sizes[failing] - 1;
      const std::vector<unsigned char> golden = GoldenBytes();
      EXPECT_EQ(Written(), std::vector<unsigned char>(golden.begin(), golden.begin() + kept));
      EXPECT_EQ(fake_platform::CountCalls("CloseHandle"), 0);
    }
  }
}

TEST_F(CaptureHeaderTest, ReadsGoldenHeaderAndPrintsReport) {
  std::vector<unsigned char> file = GoldenBytes();
  file.push_back(0xEE);  // capture data after the header
  std::string report;
  ASSERT_EQ(Read(file, &report), 1);
  const fake_platform::Call* open = fake_platform::FindCall("CreateFileA");
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->text, "scan.raw");
  // access, share mode, disposition, flags
  EXPECT_EQ(open->args, (std::vector<std::uint64_t>{win::GENERIC_READ, 0, win::OPEN_EXISTING, 0}));
  EXPECT_EQ(handle_, ReadHandle());
  EXPECT_EQ(Position(), 293u);
  EXPECT_EQ(fake_platform::CountCalls("CloseHandle"), 0);

  CaptureHeader expected = SampleHeader();
  expected.version = 3;
  ExpectSameFields(header_, expected);
  EXPECT_EQ(report,
            "Read Header\n"
            " Header Version: 3\n"
            " Sampling period: 16909060\n"
            " Max range: 99999 (in)\n"
            " Buf size: 30000\n"
            " Num samples: -2\n"
            " Motor 1 encoder ppr: 4096\n"
            " Motor 2 encoder ppr: -2\n"
            " Motor 1 power: 200\n"
            " Motor 2 power: 7\n"
            " Calibration value: -123456\n"
            " Comport: 254\n"
            " Card number: 15\n"
            " Cal file: lookuphs.cal\n"
            " Sensor Model: AR4000 - 200 kHz\n");
}

TEST_F(CaptureHeaderTest, VersionDecidesLengthAndModel) {
  struct Case {
    std::uint32_t version;
    std::size_t length;  // bytes of the file
    int model_byte;      // byte at offset 292, -1 for none
    int result;
    std::uint8_t model;  // sensor_model afterwards
    std::size_t position;
    const char* last_line;
  };
  const Case cases[] = {
      {3, 293, 0, 1, 0, 293, " Sensor Model: AR4000 - 50 kHz\n"},
      {3, 293, 1, 1, 1, 293, " Sensor Model: AR4000 - 200 kHz\n"},
      {3, 293, 2, 0, 2, 293, nullptr},
      {3, 293, 255, 0, 255, 293, nullptr},
      {3, 292, -1, 0, 0xA5, 292, nullptr},
      {2, 292, -1, 1, 255, 292, " Sensor Model: AR4000 - unknown\n"},
      {7, 293, 1, 1, 255, 292, " Sensor Model: AR4000 - unknown\n"},
      {0, 292, -1, 1, 255, 292, " Sensor Model: AR4000 - unknown\n"},
      {0xFFFFFFFFu, 292, -1, 1, 255, 292, " Sensor Model: AR4000 - unknown\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "version " << c.version << ", " << c.length << " bytes");
    SetUp();
    std::vector<unsigned char> file = GoldenBytes(c.version);
    file.resize(c.length);
    if (c.model_byte >= 0) file[292] = static_cast<unsigned char>(c.model_byte);
    std::string report;
    EXPECT_EQ(Read(file, &report), c.result);
    EXPECT_EQ(header_.version, c.version);
    EXPECT_EQ(header_.sensor_model, c.model);
    EXPECT_EQ(Position(), c.position);
    EXPECT_EQ(handle_, ReadHandle());
    EXPECT_EQ(fake_platform::CountCalls("CloseHandle"), 0);
    if (c.last_line == nullptr) {
      EXPECT_EQ(report, "");
    } else {
      EXPECT_NE(report.find(" Header Version: " +
                            std::to_string(static_cast<std::int32_t>(c.version)) + "\n"),
                std::string::npos);
      EXPECT_TRUE(report.ends_with(c.last_line)) << report;
    }
  }
}

TEST_F(CaptureHeaderTest, EveryTruncationFailsSilentlyKeepingFieldsReadSoFar) {
  for (std::uint32_t version : {3u, 2u}) {
    const std::size_t full = version == 3 ? 293 : 292;
    for (std::size_t length = 0; length < full; ++length) {
      SCOPED_TRACE(::testing::Message() << "version " << version << ", " << length << " bytes");
      SetUp();
      std::vector<unsigned char> file = GoldenBytes(version);
      file.resize(length);
      std::string report;
      EXPECT_EQ(Read(file, &report), 0);
      EXPECT_EQ(report, "");
      EXPECT_EQ(handle_, ReadHandle());
      // A field cut short keeps its old content; whole fields before it arrive.
      EXPECT_EQ(header_.version, length >= 4 ? version : 0xA5A5A5A5u);
      EXPECT_EQ(header_.calibration_value,
                length >= 32 ? -123456 : static_cast<std::int32_t>(0xA5A5A5A5u));
      EXPECT_EQ(header_.card_number, length >= 36 ? 15 : 0xA5);
      EXPECT_EQ(static_cast<unsigned char>(header_.cal_file[0]), length >= 292 ? 'l' : 0xA5);
    }
  }
}

TEST_F(CaptureHeaderTest, ReportBoundsUnterminatedNameAndShowsBytesUnsigned) {
  std::vector<unsigned char> file = GoldenBytes(2);
  file.resize(292);
  std::memset(&file[36], 'N', 256);  // no terminator anywhere in the field
  file[32] = 255;
  file[35] = 128;
  file.push_back('X');  // data after the header must not leak into the name
  std::string report;
  ASSERT_EQ(Read(file, &report), 1);
  EXPECT_NE(report.find(" Motor 1 power: 255\n"), std::string::npos);
  EXPECT_NE(report.find(" Card number: 128\n"), std::string::npos);
  EXPECT_NE(report.find(" Cal file: " + std::string(256, 'N') + "\n"), std::string::npos);
}

TEST_F(CaptureHeaderTest, MissingFileReportsAndLeavesRecordUntouched) {
  fake_platform::FailCall("CreateFileA", 1, win::ERROR_FILE_NOT_FOUND);
  std::string report;
  unsigned char before[sizeof header_];
  std::memcpy(before, &header_, sizeof header_);
  EXPECT_EQ(Read({}, &report), 0);
  EXPECT_EQ(report, "Could not open scan.raw\n");
  EXPECT_EQ(handle_, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::memcmp(&header_, before, sizeof header_), 0);
  EXPECT_EQ(fake_platform::CountCalls("ReadFile"), 0);
}

TEST(HeaderPlausibility, EachFieldAtAndBeyondItsBounds) {
  CaptureHeader good{};
  good.version = 3;
  good.sample_period = 20;
  good.max_range = 1200;
  good.buf_size = 1000;
  good.num_samples = 1;
  good.comport = 1;
  EXPECT_EQ(ReportImplausibleHeaderFields(good, nullptr), 0);
  const struct {
    void (*change)(CaptureHeader&);
    int implausible;
  } cases[] = {
      {[](CaptureHeader& h) { h.version = 1; }, 0},
      {[](CaptureHeader& h) { h.version = 0; }, 1},
      {[](CaptureHeader& h) { h.version = 4; }, 1},
      {[](CaptureHeader& h) { h.sample_period = 5; }, 0},
      {[](CaptureHeader& h) { h.sample_period = 4; }, 1},
      {[](CaptureHeader& h) { h.sample_period = 1000000; }, 0},
      {[](CaptureHeader& h) { h.sample_period = 1000001; }, 1},
      {[](CaptureHeader& h) { h.max_range = 99999; }, 0},
      {[](CaptureHeader& h) { h.max_range = 100000; }, 1},
      {[](CaptureHeader& h) { h.buf_size = 30000; }, 0},
      {[](CaptureHeader& h) { h.buf_size = 30001; }, 1},
      {[](CaptureHeader& h) { h.buf_size = 0; }, 1},
      {[](CaptureHeader& h) { h.num_samples = 0; }, 1},
      {[](CaptureHeader& h) { h.comport = 254; }, 0},
      {[](CaptureHeader& h) { h.comport = 255; }, 1},
      {[](CaptureHeader& h) { h.card_number = 15; }, 0},
      {[](CaptureHeader& h) { h.card_number = 16; }, 1},
      {[](CaptureHeader& h) { std::memset(h.cal_file, 'a', sizeof h.cal_file); }, 1},
      {[](CaptureHeader& h) { h = CaptureHeader{}; }, 5},
  };
  for (const auto& c : cases) {
    CaptureHeader header = good;
    c.change(header);
    EXPECT_EQ(ReportImplausibleHeaderFields(header, nullptr), c.implausible) << (&c - cases);
  }
}

}  // namespace
