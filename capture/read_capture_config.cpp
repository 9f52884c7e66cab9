#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture_config.h"
#include "capture/config_line.h"

namespace {

using capture_config::FindName;
using capture_config::ScanDecimalInt;

constexpr int kParameterCount = 16;

// Quoted by the error message of each line, by parameter number - 1.
constexpr const char* kDescriptions[kParameterCount] = {
    "Config file version",
    "Com port",
    "HSIF card number",
    "Sampling period in microseconds",
    "Max range in inches",
    "Buffer size for intermediate sample storage (30,000 max)",
    "Number of samples to capture",
    "Motor 1 power (0..255)",
    "Motor 2 power (0..255)",
    "Motor 1 encoder pulses per revolution",
    "Motor 2 encoder pulses per revolution",
    "Calibration file (lookuphs)",
    "Output capture data filename",
    "Delay in milliseconds before acquisition starts to allow motors to stabilize",
    "Process affinity - set to 1 for single CPU, else set to 0 for multiple CPUs",
    "Write \".raw\" file - set to 1 to write this file for va_vaz utility",
};

// What each parameter accepts, by parameter number - 1, for the checker's
// explanations.
constexpr const char* kAccepted[kParameterCount] = {
    "a whole number",
    "a whole number 1 to 254",
    "a whole number (0 to 15 is used; others keep the card number as it was)",
    "a whole number of microseconds, 5 or more",
    "a whole number of inches, 0 to 99999",
    "a whole number 1 to 30000",
    "a whole number, not 0",
    "a whole number 0 to 255",
    "a whole number 0 to 255",
    "a whole number",
    "a whole number",
    "a file name of 1 to 255 characters, without blanks",
    "a base name of 1 or more characters, without blanks",
    "a whole number of milliseconds",
    "a whole number (1: one CPU)",
    "a whole number (1: write the .raw file)",
};

// A capture base name may use the whole 256 characters: the name buffers have
// room for it and its extension.
constexpr std::size_t kMaxBaseName = 256;

struct Outputs {
  CaptureHeader* header;
  std::int32_t* stabilization_delay_ms;
  char* capture_file;
  char* prc_file;
  std::uint8_t* single_cpu;
  std::uint8_t* write_raw;
};

// The 32-bit fields hold what the line said, as its two's-complement bit pattern.
bool ScanUnsigned(const char* line, std::uint32_t* field) {
  std::int32_t value = 0;
  if (!ScanDecimalInt(line, &value)) return false;
  *field = static_cast<std::uint32_t>(value);
  return true;
}

int AsSigned(std::uint32_t value) {
  return static_cast<std::int32_t>(value);
}

// A byte setting reaches its field only when it is within [low, high].
bool ScanByteInRange(const char* line, int low, int high, std::uint8_t* field, int* value) {
  if (!ScanDecimalInt(line, value)) return false;
  if (*value < low || *value > high) return false;
  *field = static_cast<std::uint8_t>(*value);
  return true;
}

bool ApplyCalibrationFile(const char* line, CaptureHeader* header) {
  const char* name = nullptr;
  std::size_t length = FindName(line, &name);
  // The field must keep its terminator: a longer name would be silently cut
  // and name another file, so it is refused and the field left as it was.
  if (length >= kCalFileBytes) return false;
  std::memcpy(header->cal_file, name, length);
  header->cal_file[length] = '\0';
  if (length == 0) return false;
  std::printf("Calibration file = %s\n", header->cal_file);
  return true;
}

bool ApplyCaptureName(const char* line, char* capture_file, char* prc_file) {
  const char* name = nullptr;
  std::size_t length = FindName(line, &name);
  if (length > kMaxBaseName) length = kMaxBaseName;
  std::memcpy(capture_file, name, length);
  capture_file[length] = '\0';
  if (length == 0) return false;
  std::memcpy(prc_file, capture_file, length);
  std::memcpy(prc_file + length, ".prc", 5);
  std::memcpy(capture_file + length, ".raw", 5);
  std::printf("Capture file = %s\n", capture_file);
  return true;
}

// Applies parameter `number` (1 to 16) from `line`; prints its echo and returns
// true when the line is accepted.
bool ApplyParameter(int number, const char* line, const Outputs& out) {
  CaptureHeader* h = out.header;
  int value = 0;
  switch (number) {
    case 1:
      if (!ScanUnsigned(line, &h->version)) return false;
      std::printf("Configuration version = %d\n", AsSigned(h->version));
      return true;
    case 2:
      if (!ScanByteInRange(line, 1, 254, &h->comport, &value)) return false;
      std::printf("Comport = %d\n", value);
      return true;
    case 3:
      // A card number out of range is ignored rather than refused.
      if (!ScanDecimalInt(line, &value)) return false;
      if (value >= 0 && value <= 15) h->card_number = static_cast<std::uint8_t>(value);
      std::printf("Card number = %d\n", h->card_number);
      return true;
    case 4:
      if (!ScanUnsigned(line, &h->sample_period) || h->sample_period < 5) return false;
      std::printf("Sampling period = %d us\n", AsSigned(h->sample_period));
      return true;
    case 5:
      if (!ScanUnsigned(line, &h->max_range) || h->max_range > 99999) return false;
      std::printf("Max range = %d\n", AsSigned(h->max_range));
      return true;
    case 6:
      if (!ScanUnsigned(line, &h->buf_size) || h->buf_size < 1 || h->buf_size > 30000) {
        return false;
      }
      std::printf("Buffer Size = %d\n", AsSigned(h->buf_size));
      return true;
    case 7:
      if (!ScanUnsigned(line, &h->num_samples) || h->num_samples == 0) return false;
      std::printf("Number of samples = %d\n", AsSigned(h->num_samples));
      return true;
    case 8:
      if (!ScanByteInRange(line, 0, 255, &h->motor1_power, &value)) return false;
      std::printf("Motor 1 power = %d\n", value);
      return true;
    case 9:
      if (!ScanByteInRange(line, 0, 255, &h->motor2_power, &value)) return false;
      std::printf("Motor 2 power = %d\n", value);
      return true;
    case 10:
      if (!ScanDecimalInt(line, &h->motor1_encoder_ppr)) return false;
      std::printf("Motor 1 encoder ppr = %d\n", h->motor1_encoder_ppr);
      return true;
    case 11:
      if (!ScanDecimalInt(line, &h->motor2_encoder_ppr)) return false;
      std::printf("Motor 2 encoder ppr = %d\n", h->motor2_encoder_ppr);
      return true;
    case 12:
      return ApplyCalibrationFile(line, h);
    case 13:
      return ApplyCaptureName(line, out.capture_file, out.prc_file);
    case 14:
      if (!ScanDecimalInt(line, out.stabilization_delay_ms)) return false;
      std::printf("Motor stabilization delay = %d ms\n", *out.stabilization_delay_ms);
      return true;
    case 15:
      if (!ScanDecimalInt(line, &value)) return false;
      *out.single_cpu = value == 1 ? 1 : 0;
      std::printf("Process affinity = %d \n", value);
      return true;
    case 16:
      if (!ScanDecimalInt(line, &value)) return false;
      *out.write_raw = value == 1 ? 1 : 0;
      std::printf("Write .raw file if runing va_vaz = %d\n", value);
      return true;
    default:
      return false;
  }
}

}  // namespace

const char* CaptureConfigAccepted(int number) {
  return number >= 1 && number <= kParameterCount ? kAccepted[number - 1] : nullptr;
}

const char* CaptureConfigDescription(int number) {
  return number >= 1 && number <= kParameterCount ? kDescriptions[number - 1] : nullptr;
}

int ReadCaptureConfig(const char* path, CaptureHeader* header, std::int32_t* stabilization_delay_ms,
                      char* capture_file, char* prc_file, std::uint8_t* single_cpu,
                      std::uint8_t* write_raw) {
  return ReadCaptureConfigReporting(path, header, stabilization_delay_ms, capture_file, prc_file,
                                    single_cpu, write_raw, nullptr, nullptr);
}

int ReadCaptureConfigReporting(const char* path, CaptureHeader* header,
                               std::int32_t* stabilization_delay_ms, char* capture_file,
                               char* prc_file, std::uint8_t* single_cpu, std::uint8_t* write_raw,
                               BadConfigLineHandler on_bad_line, void* context) {
  std::FILE* file = std::fopen(path, "rt");
  if (file == nullptr) {
    std::printf("Could not open %s\n", path);
    return 0;
  }
  *single_cpu = 0;
  *write_raw = 0;
  const Outputs out{header, stabilization_delay_ms, capture_file, prc_file, single_cpu, write_raw};

  char line[capture_config::kLineBytes];
  int index = 0;
  bool stop = false;
  bool failed = false;
  while (!stop && capture_config::ReadConfigLine(file, line, sizeof line)) {
    const int number = index + 1;
    if (!ApplyParameter(number, line, out)) {
      std::printf("Error reading parameter %d: \"%s\"\n", number, kDescriptions[index]);
      if (on_bad_line != nullptr) on_bad_line(number, line, context);
      failed = true;
    }
    // Files of versions 0 and 1 predate the CPU and .raw settings.
    if (number == 14 && (header->version == 0 || header->version == 1)) stop = true;
    if (number == kParameterCount) stop = true;
    ++index;
  }
  // A file that ends early is fine; one that cannot be read (a directory, an I/O
  // error) must not pass for a valid, empty configuration.
  if (std::ferror(file)) failed = true;
  std::fclose(file);
  if (failed) {
    std::printf("\nERROR: Configuration file parse failed.\n");
    return 0;
  }
  return 1;
}
