// capture-config: reads a capture configuration file, printing the reader's
// echoes and errors; optionally writes the version-3 header that the
// configuration describes into the capture's .raw file.
// Exit status 0 configuration valid (and header written), 1 not, 2 usage.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/capture_config.h"
#include "capture/capture_header.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* stream) {
  std::fprintf(stream,
               "Usage: capture-config [OPTIONS] CONFIG_FILE\n"
               "\n"
               "Reads a capture configuration file and prints each accepted value and\n"
               "each bad line.\n"
               "\n"
               "Options:\n"
               "  --write-header           also write the version-3 capture header for this\n"
               "                           configuration into the capture's .raw file (the\n"
               "                           base name of line 13 + \".raw\", relative to the\n"
               "                           current directory)\n"
               "  --calibration-value N    calibration value for the header (needed with\n"
               "                           --write-header)\n"
               "  --sensor-model 50|200    AR4000 model in kHz (needed with --write-header)\n"
               "  --force                  overwrite an existing .raw file\n"
               "  --help                   show this text\n"
               "\n"
               "Exit status: 0 configuration valid (and header written), 1 configuration\n"
               "invalid or the header could not be written (reason on stderr), 2 usage error.\n");
}

struct Options {
  const char* config_path = nullptr;
  bool write_header = false;
  bool force = false;
  bool have_calibration = false;
  std::int32_t calibration_value = 0;
  bool have_model = false;
  std::uint8_t sensor_model = kSensorModel50kHz;
};

// A whole-argument decimal integer within 32 bits.
bool ParseInt32(const char* text, std::int32_t* value) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<std::int32_t>(parsed);
  return true;
}

bool ParseModel(const char* text, std::uint8_t* model) {
  if (std::strcmp(text, "50") == 0) {
    *model = kSensorModel50kHz;
  } else if (std::strcmp(text, "200") == 0) {
    *model = kSensorModel200kHz;
  } else {
    return false;
  }
  return true;
}

// "--name value" or "--name=value". Returns the value, or null when `arg` is not
// this option; sets *missing when the option lacks its value.
const char* OptionValue(const char* name, int argc, char** argv, int* i, bool* missing) {
  const char* arg = argv[*i];
  const std::size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0) return nullptr;
  if (arg[length] == '=') return arg + length + 1;
  if (arg[length] != '\0') return nullptr;
  if (*i + 1 >= argc) {
    *missing = true;
    return nullptr;
  }
  ++*i;
  return argv[*i];
}

int UsageError(const char* message, const char* detail) {
  std::fprintf(stderr, "capture-config: %s%s\n", message, detail);
  PrintUsage(stderr);
  return kExitUsage;
}

// Returns -1 when the arguments are good, else the exit status to end with.
int ParseArguments(int argc, char** argv, Options* options) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool missing = false;
    if (!options_done && std::strcmp(arg, "--") == 0) {
      options_done = true;
    } else if (!options_done && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)) {
      PrintUsage(stdout);
      return kExitValid;
    } else if (!options_done && std::strcmp(arg, "--write-header") == 0) {
      options->write_header = true;
    } else if (!options_done && std::strcmp(arg, "--force") == 0) {
      options->force = true;
    } else if (const char* value =
                   options_done ? nullptr
                                : OptionValue("--calibration-value", argc, argv, &i, &missing)) {
      if (!ParseInt32(value, &options->calibration_value)) {
        return UsageError("--calibration-value needs a 32-bit integer, not ", value);
      }
      options->have_calibration = true;
    } else if (const char* model = options_done
                                       ? nullptr
                                       : OptionValue("--sensor-model", argc, argv, &i, &missing)) {
      if (!ParseModel(model, &options->sensor_model)) {
        return UsageError("--sensor-model must be 50 or 200, not ", model);
      }
      options->have_model = true;
    } else if (missing) {
      return UsageError("missing value for ", arg);
    } else if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("unknown option ", arg);
    } else if (options->config_path != nullptr) {
      return UsageError("expected one configuration file, also got ", arg);
    } else {
      options->config_path = arg;
    }
  }
  if (options->config_path == nullptr) return UsageError("no configuration file given", "");
  if (options->write_header && (!options->have_calibration || !options->have_model)) {
    return UsageError("--write-header needs --calibration-value and --sensor-model", "");
  }
  return -1;
}

int WriteHeaderFile(const char* raw_name, const CaptureHeader& header, bool force) {
  // CREATE_NEW refuses an existing capture: its data is not ours to destroy.
  const win::DWORD disposition = force ? win::CREATE_ALWAYS : win::CREATE_NEW;
  win::HANDLE handle = win::CreateFileA(raw_name, win::GENERIC_WRITE, 0, nullptr, disposition,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!win::IsValidHandle(handle)) {
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_FILE_EXISTS) {
      std::fprintf(stderr, "capture-config: %s already exists; use --force to overwrite it\n",
                   raw_name);
    } else {
      std::fprintf(stderr, "capture-config: cannot create %s (error %lu)\n", raw_name,
                   static_cast<unsigned long>(error));
    }
    return kExitInvalid;
  }
  const int written = WriteCaptureHeader(handle, header);
  const win::DWORD write_error = win::GetLastError();
  const bool closed = win::CloseHandle(handle) != 0;
  if (!written || !closed) {
    // A partial header would pass for a capture file; take it away.
    std::remove(raw_name);
    std::fprintf(stderr,
                 "capture-config: writing the header to %s failed (error %lu); removed it\n",
                 raw_name, static_cast<unsigned long>(written ? win::GetLastError() : write_error));
    return kExitInvalid;
  }
  std::printf("Wrote %zu-byte capture header to %s\n", kCaptureHeaderBytes, raw_name);
  return kExitValid;
}

// Beside the specified "Error reading parameter" on stdout: the offending text
// and what the line accepts, on stderr.
void ExplainBadLine(int number, const char* line, void* context) {
  constexpr std::size_t kShownChars = 80;
  char shown[kShownChars + 4];
  std::size_t length = 0;
  for (; line[length] != '\0' && line[length] != '\n' && length < kShownChars; ++length) {
    unsigned char c = static_cast<unsigned char>(line[length]);
    shown[length] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  bool cut = line[length] != '\0' && line[length] != '\n';
  std::memcpy(shown + length, cut ? "..." : "", cut ? 4 : 1);
  std::fflush(stdout);
  std::fprintf(stderr, "capture-config: %s line %d (%s): \"%s\"; accepted: %s\n",
               static_cast<const char*>(context), number, CaptureConfigDescription(number), shown,
               CaptureConfigAccepted(number));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parse_status = ParseArguments(argc, argv, &options);
  if (parse_status >= 0) return parse_status;

  CaptureHeader header{};
  std::int32_t stabilization_delay_ms = 0;
  char capture_file[kCaptureFileNameBytes] = {};
  char prc_file[kCaptureFileNameBytes] = {};
  std::uint8_t single_cpu = 0;
  std::uint8_t write_raw = 0;
  const int valid = ReadCaptureConfigReporting(
      options.config_path, &header, &stabilization_delay_ms, capture_file, prc_file, &single_cpu,
      &write_raw, ExplainBadLine, const_cast<char*>(options.config_path));
  std::fflush(stdout);
  if (!valid) {
    std::fprintf(stderr, "capture-config: %s is not a valid capture configuration%s\n",
                 options.config_path, options.write_header ? "; no header written" : "");
    return kExitInvalid;
  }
  if (!options.write_header) return kExitValid;
  if (capture_file[0] == '\0') {
    // A short file that ends before line 13 names no capture.
    std::fprintf(stderr, "capture-config: %s names no capture file (line 13); no header written\n",
                 options.config_path);
    return kExitInvalid;
  }
  header.calibration_value = options.calibration_value;
  header.sensor_model = options.sensor_model;
  return WriteHeaderFile(capture_file, header, options.force);
}
