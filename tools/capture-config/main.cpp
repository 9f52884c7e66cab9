// capture-config: reads a capture configuration file, printing the reader's
// echoes and errors; optionally writes the version-3 header that the
// configuration describes into the capture's .raw file.
// Exit status 0 configuration valid (and header written), 1 not, 2 usage.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture_config.h"
#include "capture/capture_header.h"
#include "capture/config_warning.h"
#include "cli/command_line.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;

const ProgramText kProgram = {
    "capture-config", "Usage: capture-config [OPTIONS] CONFIG_FILE\n",
    "\n"
    "Reads a capture configuration file and prints each accepted value and\n"
    "each bad line. A number followed directly by other text (\"12OO\",\n"
    "\"2,000,000\", \"1.5\") is read as the number alone; a warning on stderr\n"
    "names the line, the value read and what was likely meant.\n"
    "\n"
    "Options:\n"
    "  --write-header           also write the version-3 capture header for this\n"
    "                           configuration into the capture's .raw file (the\n"
    "                           base name of line 13 + \".raw\", relative to the\n"
    "                           current directory)\n"
    "  --calibration-value N    calibration value for the header, a 32-bit whole\n"
    "                           number (needed with --write-header)\n"
    "  --sensor-model 50|200    AR4000 model in kHz (needed with --write-header)\n"
    "  --force                  overwrite an existing .raw file\n"
    "  --help                   show this text\n"
    "  --version                show the version\n"
    "\n"
    "Exit status: 0 configuration valid (and header written), 1 configuration\n"
    "invalid or the header could not be written (reason on stderr), 2 usage error.\n"};

// Indexes into kOptions.
enum Option : std::size_t { kWriteHeader, kForce, kCalibrationValue, kSensorModel };
const OptionEntry kOptions[] = {
    {"--write-header", nullptr},
    {"--force", nullptr},
    {"--calibration-value", "N"},
    {"--sensor-model", "50|200"},
};

struct Options {
  const char* config_path = nullptr;
  bool write_header = false;
  bool force = false;
  bool have_calibration = false;
  std::int32_t calibration_value = 0;
  bool have_model = false;
  std::uint8_t sensor_model = kSensorModel50kHz;
};

// Returns -1 when the arguments are good, else the exit status to end with.
int ParseArguments(int argc, char** argv, Options* options) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  for (ArgKind kind; (kind = NextOptionOfOne(&line, &step, "configuration file",
                                             &options->config_path)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    switch (step.option) {
      case kWriteHeader:
        options->write_header = true;
        break;
      case kForce:
        options->force = true;
        break;
      case kCalibrationValue:
        if (!ParseInt32Argument(&line, "--calibration-value", step.text,
                                &options->calibration_value)) {
          return line.exit_status;
        }
        options->have_calibration = true;
        break;
      case kSensorModel:
        if (std::strcmp(step.text, "50") == 0) {
          options->sensor_model = kSensorModel50kHz;
        } else if (std::strcmp(step.text, "200") == 0) {
          options->sensor_model = kSensorModel200kHz;
        } else {
          return UsageError(&line, "--sensor-model must be 50 or 200, not '%s'", step.text);
        }
        options->have_model = true;
        break;
    }
  }
  if (options->config_path == nullptr) return UsageError(&line, "no configuration file given");
  if (options->write_header && (!options->have_calibration || !options->have_model)) {
    return UsageError(&line, "--write-header needs --calibration-value and --sensor-model");
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
      char text[platform::kErrorDescriptionSize];
      platform::DescribeErrorCode(error, text, sizeof text);
      std::fprintf(stderr, "capture-config: cannot create %s: %s\n", raw_name, text);
    }
    return kExitInvalid;
  }
  const int written = WriteCaptureHeader(handle, header);
  const win::DWORD write_error = win::GetLastError();
  const bool closed = win::CloseHandle(handle) != 0;
  if (!written || !closed) {
    // A partial header would pass for a capture file; take it away.
    std::remove(raw_name);
    char text[platform::kErrorDescriptionSize];
    platform::DescribeErrorCode(written ? win::GetLastError() : write_error, text, sizeof text);
    std::fprintf(stderr, "capture-config: writing the header to %s failed: %s; removed it\n",
                 raw_name, text);
    return kExitInvalid;
  }
  std::printf("Wrote %zu-byte capture header to %s\n", kCaptureHeaderBytes, raw_name);
  return kExitValid;
}

// Beside the specified "Error reading parameter" on stdout: the offending text
// and what the line accepts, on stderr.
void ExplainBadLine(int number, const char* line, void* context) {
  char shown[84];
  ShowConfigLine(line, shown, sizeof shown);
  std::fflush(stdout);
  std::fprintf(stderr, "capture-config: %s line %d (%s): \"%s\"; accepted: %s\n",
               static_cast<const char*>(context), number, CaptureConfigDescription(number), shown,
               CaptureConfigAccepted(number));
}

// A number with text right after it is read as the number alone; the reading
// stands, but the operator hears what was read.
void WarnNumberLine(int number, const char* line, std::int32_t value, void* context) {
  std::fflush(stdout);
  WarnNumberWithText(stderr, "capture-config", static_cast<const char*>(context), number, line,
                     value);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parse_status = ParseArguments(argc, argv, &options);
  if (parse_status >= 0) return parse_status;

  CaptureConfig config;
  CaptureConfigReport report;
  report.on_bad_line = ExplainBadLine;
  report.on_number_with_text = WarnNumberLine;
  report.context = const_cast<char*>(options.config_path);
  const int valid = ReadCaptureConfigRecord(options.config_path, &config, report);
  std::fflush(stdout);
  if (!valid) {
    std::fprintf(stderr, "capture-config: %s is not a valid capture configuration%s\n",
                 options.config_path, options.write_header ? "; no header written" : "");
    return kExitInvalid;
  }
  if (!options.write_header) return kExitValid;
  if (config.capture_file[0] == '\0') {
    // A short file that ends before line 13 names no capture.
    std::fprintf(stderr, "capture-config: %s names no capture file (line 13); no header written\n",
                 options.config_path);
    return kExitInvalid;
  }
  config.header.calibration_value = options.calibration_value;
  config.header.sensor_model = options.sensor_model;
  return WriteHeaderFile(config.capture_file, config.header, options.force);
}
