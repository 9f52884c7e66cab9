#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture_config.h"
#include "capture/config_line.h"

namespace {

using capture_config::FindName;
using capture_config::ScanDecimalInt;

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

// The 32-bit counts: the field takes what the line said (as the bit pattern of
// a 32-bit integer) and the line is refused when that is outside [low, high];
// the field keeps it then.
constexpr std::uint32_t kNoLimit = UINT32_MAX;
bool ApplyCount(const char* line, std::uint32_t* field, std::uint32_t low, std::uint32_t high,
                const char* echo) {
  if (!ScanUnsigned(line, field) || *field < low || *field > high) return false;
  std::printf(echo, AsSigned(*field));
  return true;
}

// A byte setting reaches its field only when it is within [low, high].
bool ApplyByte(const char* line, int low, int high, std::uint8_t* field, const char* echo) {
  int value = 0;
  if (!ScanDecimalInt(line, &value) || value < low || value > high) return false;
  *field = static_cast<std::uint8_t>(value);
  std::printf(echo, value);
  return true;
}

bool ApplyInteger(const char* line, std::int32_t* field, const char* echo) {
  if (!ScanDecimalInt(line, field)) return false;
  std::printf(echo, *field);
  return true;
}

// A switch: 1 turns it on, any other number off.
bool ApplySwitch(const char* line, std::uint8_t* field, const char* echo) {
  int value = 0;
  if (!ScanDecimalInt(line, &value)) return false;
  *field = value == 1 ? 1 : 0;
  std::printf(echo, value);
  return true;
}

// A card number out of range is ignored rather than refused.
bool ApplyCardNumber(const char* line, CaptureHeader* header) {
  int value = 0;
  if (!ScanDecimalInt(line, &value)) return false;
  if (value >= 0 && value <= 15) header->card_number = static_cast<std::uint8_t>(value);
  std::printf("Card number = %d\n", header->card_number);
  return true;
}

// One parameter, one line of the file, in file order.
struct Parameter {
  // Quoted by the error message of a refused line.
  const char* description;
  // What the line accepts, in words, for the checker's explanations.
  const char* accepted;
  // Applies the line; prints its echo and returns true when it is accepted.
  bool (*apply)(const char* line, const Outputs& out);
};

constexpr int kParameterCount = 16;
// Parameters 12 and 13 hold names; the others numbers.
constexpr bool IsNameParameter(int number) {
  return number == 12 || number == 13;
}
constexpr Parameter kParameters[kParameterCount] = {
    {"Config file version", "a whole number",
     [](const char* line, const Outputs& out) {
       return ApplyCount(line, &out.header->version, 0, kNoLimit, "Configuration version = %d\n");
     }},
    {"Com port", "a whole number 1 to 254",
     [](const char* line, const Outputs& out) {
       return ApplyByte(line, 1, 254, &out.header->comport, "Comport = %d\n");
     }},
    {"HSIF card number", "a whole number (0 to 15 is used; others keep the card number as it was)",
     [](const char* line, const Outputs& out) { return ApplyCardNumber(line, out.header); }},
    {"Sampling period in microseconds", "a whole number of microseconds, 5 or more",
     [](const char* line, const Outputs& out) {
       return ApplyCount(line, &out.header->sample_period, 5, kNoLimit,
                         "Sampling period = %d us\n");
     }},
    {"Max range in inches", "a whole number of inches, 0 to 99999",
     [](const char* line, const Outputs& out) {
       return ApplyCount(line, &out.header->max_range, 0, 99999, "Max range = %d\n");
     }},
    {"Buffer size for intermediate sample storage (30,000 max)", "a whole number 1 to 30000",
     [](const char* line, const Outputs& out) {
       return ApplyCount(line, &out.header->buf_size, 1, 30000, "Buffer Size = %d\n");
     }},
    {"Number of samples to capture", "a whole number, not 0",
     [](const char* line, const Outputs& out) {
       return ApplyCount(line, &out.header->num_samples, 1, kNoLimit, "Number of samples = %d\n");
     }},
    {"Motor 1 power (0..255)", "a whole number 0 to 255",
     [](const char* line, const Outputs& out) {
       return ApplyByte(line, 0, 255, &out.header->motor1_power, "Motor 1 power = %d\n");
     }},
    {"Motor 2 power (0..255)", "a whole number 0 to 255",
     [](const char* line, const Outputs& out) {
       return ApplyByte(line, 0, 255, &out.header->motor2_power, "Motor 2 power = %d\n");
     }},
    {"Motor 1 encoder pulses per revolution", "a whole number",
     [](const char* line, const Outputs& out) {
       return ApplyInteger(line, &out.header->motor1_encoder_ppr, "Motor 1 encoder ppr = %d\n");
     }},
    {"Motor 2 encoder pulses per revolution", "a whole number",
     [](const char* line, const Outputs& out) {
       return ApplyInteger(line, &out.header->motor2_encoder_ppr, "Motor 2 encoder ppr = %d\n");
     }},
    {"Calibration file (lookuphs)", "a file name of 1 to 255 characters, without blanks",
     [](const char* line, const Outputs& out) { return ApplyCalibrationFile(line, out.header); }},
    {"Output capture data filename", "a base name of 1 or more characters, without blanks",
     [](const char* line, const Outputs& out) {
       return ApplyCaptureName(line, out.capture_file, out.prc_file);
     }},
    {"Delay in milliseconds before acquisition starts to allow motors to stabilize",
     "a whole number of milliseconds",
     [](const char* line, const Outputs& out) {
       return ApplyInteger(line, out.stabilization_delay_ms, "Motor stabilization delay = %d ms\n");
     }},
    {"Process affinity - set to 1 for single CPU, else set to 0 for multiple CPUs",
     "a whole number (1: one CPU)",
     [](const char* line, const Outputs& out) {
       return ApplySwitch(line, out.single_cpu, "Process affinity = %d \n");
     }},
    {"Write \".raw\" file - set to 1 to write this file for va_vaz utility",
     "a whole number (1: write the .raw file)",
     [](const char* line, const Outputs& out) {
       return ApplySwitch(line, out.write_raw, "Write .raw file if runing va_vaz = %d\n");
     }},
};

}  // namespace

const char* CaptureConfigAccepted(int number) {
  return number >= 1 && number <= kParameterCount ? kParameters[number - 1].accepted : nullptr;
}

const char* CaptureConfigDescription(int number) {
  return number >= 1 && number <= kParameterCount ? kParameters[number - 1].description : nullptr;
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
  CaptureConfigReport report;
  report.on_bad_line = on_bad_line;
  report.context = context;
  return ReadCaptureConfigReported(path, header, stabilization_delay_ms, capture_file, prc_file,
                                   single_cpu, write_raw, report);
}

int ReadCaptureConfigRecord(const char* path, CaptureConfig* config,
                            const CaptureConfigReport& report) {
  return ReadCaptureConfigReported(path, &config->header, &config->stabilization_delay_ms,
                                   config->capture_file, config->prc_file, &config->single_cpu,
                                   &config->write_raw, report);
}

int ReadCaptureConfigReported(const char* path, CaptureHeader* header,
                              std::int32_t* stabilization_delay_ms, char* capture_file,
                              char* prc_file, std::uint8_t* single_cpu, std::uint8_t* write_raw,
                              const CaptureConfigReport& report) {
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
    const Parameter& parameter = kParameters[index];
    if (!parameter.apply(line, out)) {
      std::printf("Error reading parameter %d: \"%s\"\n", number, parameter.description);
      if (report.on_bad_line != nullptr) report.on_bad_line(number, line, report.context);
      failed = true;
    }
    std::int32_t value = 0;
    if (report.on_number_with_text != nullptr && !IsNameParameter(number) &&
        capture_config::HasTextAfterNumber(line) && ScanDecimalInt(line, &value)) {
      report.on_number_with_text(number, line, value, report.context);
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
