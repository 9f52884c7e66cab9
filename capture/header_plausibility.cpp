#include "capture/header_plausibility.h"

#include <cstring>

namespace {

// The capture configuration's ranges (see capture_config.h).
constexpr std::uint32_t kMinSamplePeriodUs = 5;
constexpr std::uint32_t kMaxRangeInches = 99999;
constexpr std::uint32_t kMaxBufferSamples = 30000;
constexpr unsigned kMaxComport = 254;
constexpr unsigned kMaxCardNumber = 15;

int Report(std::FILE* out, const char* field, unsigned long long value, const char* expected) {
  if (out != nullptr) std::fprintf(out, "  %s %llu: %s\n", field, value, expected);
  return 1;
}

}  // namespace

int ReportImplausibleHeaderFields(const CaptureHeader& h, std::FILE* out) {
  int count = 0;
  if (h.version < kOldestCaptureHeaderVersion || h.version > kCaptureHeaderVersion) {
    count += Report(out, "version", h.version, "this system writes 3 and reads 1 to 3");
  }
  if (h.sample_period < kMinSamplePeriodUs || h.sample_period > kMaxPlausibleSamplePeriodUs) {
    count += Report(out, "sampling period", h.sample_period, "expected 5 to 1000000 us");
  }
  if (h.max_range > kMaxRangeInches) {
    count += Report(out, "max range", h.max_range, "expected 0 to 99999 in");
  }
  if (h.buf_size < 1 || h.buf_size > kMaxBufferSamples) {
    count += Report(out, "buf size", h.buf_size, "expected 1 to 30000");
  }
  if (h.num_samples == 0) count += Report(out, "num samples", 0, "expected 1 or more");
  if (h.comport < 1 || h.comport > kMaxComport) {
    count += Report(out, "comport", h.comport, "expected 1 to 254");
  }
  if (h.card_number > kMaxCardNumber) {
    count += Report(out, "card number", h.card_number, "expected 0 to 15");
  }
  if (std::memchr(h.cal_file, '\0', sizeof h.cal_file) == nullptr) {
    if (out != nullptr) {
      std::fprintf(out, "  cal file: no end within its %zu bytes\n", sizeof h.cal_file);
    }
    ++count;
  }
  return count;
}
