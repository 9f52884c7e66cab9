// The checks of what the monitor's folder holds and names: the settings in
// ./properties.txt, the sensor's serial port, the calibration file.
#include <cstdio>

#include "cli/port_hints.h"
#include "hsif/sensor_line.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "preflight/preflight_checks.h"
#include "serial/serial_port.h"
#include "standin/calibration_file.h"

namespace preflight {

namespace {

void ListCalibrationProblem(int line, const char* /*key*/, const char* what, void* /*context*/) {
  if (line > 0) {
    std::fprintf(stderr, "  line %d: %s\n", line, what);
  } else {
    std::fprintf(stderr, "  %s\n", what);
  }
}

constexpr const char* kUnreadableHint =
    "  hint: calibration_file is read relative to this folder; the driver's\n"
    "        calibration load would fail and stop the monitor.\n";
constexpr const char* kEmptyHint =
    "  hint: the driver's calibration load would fail and stop the monitor; copy\n"
    "        the sensor's calibration data into it.\n";

// "FAILED: the calibration file <name> <problem>", then its hint lines.
int FailCalibrationFile(const char* name, const char* problem, const char* hint) {
  char what[400];
  std::snprintf(what, sizeof what, "the calibration file %s %s", name, problem);
  Fail(what);
  std::fputs(hint, stderr);
  return kNotReady;
}

// The card's own calibration format is its driver's business; the stand-in's
// is ours, so when the stand-in is the driver in use, the file is read by the
// stand-in's own reader and everything it refuses is listed. true when the
// file passes, or the driver is another one.
bool CheckCalibrationFormat(const char* name) {
  if (!DriverIsStandin()) return true;

  static char text[standin::kMaxCalibrationFileBytes + 1];
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return true;  // reported by the caller
  const std::size_t length = std::fread(text, 1, sizeof text, file);
  std::fclose(file);
  char what[400];
  if (length > standin::kMaxCalibrationFileBytes) {
    std::snprintf(what, sizeof what,
                  "the calibration file %s is larger than the stand-in driver takes (64 KiB)",
                  name);
    Fail(what);
    return false;
  }
  const auto count_only = [](int, const char*, const char*, void*) {};
  if (standin::ListCalibrationProblems(text, length, count_only, nullptr) == 0) return true;
  std::snprintf(what, sizeof what, "the stand-in driver refuses the calibration file %s:", name);
  Fail(what);
  standin::ListCalibrationProblems(text, length, ListCalibrationProblem, nullptr);
  std::fprintf(
      stderr,
      "  hint: the first line is \"hsif-calibration 1\", then \"key value\" lines with the\n"
      "        keys range_offset, range_scale and sensor (docs/standin.md); the monitor\n"
      "        would stop at \"ERROR: Could not read calibration file\".\n");
  return false;
}

}  // namespace

int Fail(const char* what) {
  std::fprintf(stderr, "FAILED: %s\n", what);
  return kNotReady;
}

int CheckProperties(RunProperties** properties) {
  *properties = ReadProperties(kPropertiesPath);
  if (*properties == nullptr) {
    Fail("no ./properties.txt in this folder");
    std::fprintf(stderr,
                 "  hint: the monitor reads its settings from properties.txt in the folder it\n"
                 "        is started in. Run the monitor (and this check) in that folder.\n");
    return kNotReady;
  }
  std::printf("properties: %s read\n", kPropertiesPath);
  DumpProperties(stdout, *properties);
  return kReady;
}

int CheckPropertyContent(const RunProperties& properties, PropertyFindings* findings) {
  std::FILE* file = std::fopen(kPropertiesPath, "r");
  if (file != nullptr) {
    CheckPropertyLines(file, "properties.txt", stderr, findings);
    std::fclose(file);
  }
  CheckPropertyValues(properties, stderr, findings);
  if (findings->errors == 0) {
    std::printf("properties: keys and values can be used%s\n",
                findings->notes > 0 ? " (see the notes)" : "");
  }
  return findings->errors;
}

int CheckPort(const RunProperties& properties) {
  int number = properties.laser_serial_port;
  char name[24];
  std::snprintf(name, sizeof name, "COM%d", number);
  char device[256];
  DescribePortDevice(name, device, sizeof device);
  char shown[300];
  ShowPortName(name, device, shown, sizeof shown);

  static SerialPort port{};  // zero-filled: the channel takes a zero slot for "no event"
  win::SetLastError(win::ERROR_SUCCESS);
  if (OpenPort(&port, kSensorBaudRate, number) == 0) {
    win::DWORD code = win::GetLastError();
    char text[platform::kErrorTextSize];
    platform::GetSystemErrorText(code, text, sizeof text);
    platform::TrimLineEnd(text);
    char what[900];
    std::snprintf(what, sizeof what, "the sensor's port %s does not open: error %d: %s", shown,
                  static_cast<int>(code), text);
    Fail(what);
    PrintPortHint(stderr, name, device, code);
    return kNotReady;
  }
  ClosePort(&port);
  std::printf("port: %s opened at %d baud and released\n", shown, kSensorBaudRate);
  return kReady;
}

int CheckCalibrationFile(const RunProperties& properties) {
  const char* name = properties.calibration_file;
  if (name == nullptr) {
    Fail("calibration_file is not set in properties.txt");
    std::fprintf(stderr,
                 "  hint: add a line calibration_file=<file> naming the sensor's "
                 "calibration data.\n");
    return kNotReady;
  }
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) {
    return FailCalibrationFile(name, "cannot be read", kUnreadableHint);
  }
  bool empty = std::fgetc(file) == EOF;
  std::fclose(file);
  if (empty) {
    return FailCalibrationFile(name, "is empty", kEmptyHint);
  }
  if (!CheckCalibrationFormat(name)) return kNotReady;
  std::printf("calibration file: %s can be read\n", name);
  return kReady;
}

}  // namespace preflight
