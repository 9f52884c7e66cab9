// scanmon-preflight: run in the folder the monitor will run in, it checks what
// the monitor needs before it brings the card up, in the monitor's order, and
// lists everything that would stop the monitor, each with a hint:
//   1. ./properties.txt is read (and printed as read), and its keys and values
//      are checked (unknown keys, values that are not numbers, values the card
//      cannot take);
//   2. the driver library binds (all fifty entry points); its path and file
//      version are printed; on 32-bit x86, the calling convention its entry
//      points use, seen in calls that touch no card (CheckDriverCalls);
//   3. the sensor's serial port COM<laser_serial_port> opens at 9600 baud, and
//      is released again;
//   4. the calibration file named in the properties can be read (and, with the
//      stand-in as the driver, passes the stand-in's own reader).
// Nothing is brought up on the card: the only driver calls are those of
// CheckDriverCalls, on 32-bit x86. Only a missing properties file or driver
// stops the checks early.
// Exit status: 0 ready (notes allowed), 1 a check failed, 2 usage error.
#include <cstdint>
#include <cstdio>

#include "cli/command_line.h"
#include "cli/port_hints.h"
#include "hsif/driver_binding.h"
#include "hsif/sensor_line.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/library.h"
#include "procenv/module_version.h"
#include "properties/properties.h"
#include "properties/property_check.h"
#include "serial/serial_port.h"
#include "standin/calibration_file.h"
#include "tools/scanmon-preflight/preflight_hints.h"

namespace {

constexpr int kExitReady = 0;
constexpr int kExitNotReady = 1;

constexpr win::DWORD kPathSize = win::kMaxPath;

// Only the stand-in driver exports this name (standin/hsif_standin.h).
constexpr const char* kStandinMark = "HsifStandinLastError";

// The settings live for the whole run, as in the monitor.
RunProperties* g_properties = nullptr;

const ProgramText kProgram = {
    "scanmon-preflight", "Usage: scanmon-preflight [--no-port]\n",
    "\n"
    "Run in the folder the monitor will run in. Checks, in the monitor's order,\n"
    "what it needs before it brings the card up, and lists every problem with\n"
    "a hint:\n"
    "  1. ./properties.txt is read; the settings are printed as read; unknown\n"
    "     keys, values that are not numbers and values the card cannot take\n"
    "     are reported;\n"
    "  2. the driver library (hsif) binds with all its entry points; its path and\n"
    "     file version are printed; on 32-bit Windows, the calling convention of\n"
    "     its entry points (seen in queries for no card);\n"
    "  3. the sensor's serial port, COM<laser_serial_port>, opens at 9600 baud\n"
    "     (and is released again);\n"
    "  4. the calibration file named by calibration_file can be read and is\n"
    "     not empty; when the driver is the stand-in, its own reader checks the\n"
    "     file and every line it refuses is listed (line, key).\n"
    "Nothing is started on the card.\n"
    "\n"
    "Options:\n"
    "  --no-port   skip check 3 (the stand-in driver simulates the sensor's line)\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 ready, 1 a check failed, 2 usage error.\n"};

const OptionEntry kOptions[] = {{"--no-port", nullptr}};

int Fail(const char* what) {
  std::fprintf(stderr, "FAILED: %s\n", what);
  return kExitNotReady;
}

int CheckProperties(RunProperties** properties) {
  *properties = ReadProperties(kPropertiesPath);
  if (*properties == nullptr) {
    Fail("no ./properties.txt in this folder");
    std::fprintf(stderr,
                 "  hint: the monitor reads its settings from properties.txt in the folder it\n"
                 "        is started in. Run the monitor (and this check) in that folder.\n");
    return kExitNotReady;
  }
  std::printf("properties: %s read\n", kPropertiesPath);
  DumpProperties(stdout, *properties);
  return kExitReady;
}

// Every problem with the keys and values; the number of errors.
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

// Tells a library that is missing from one that lacks entry points, which
// LoadDriver does not distinguish.
void ExplainDriverRefusal() {
  win::HMODULE module = win::LoadLibraryExA(DriverName(), nullptr, 0);
  if (module == nullptr) {
    win::DWORD code = win::GetLastError();
    const char* loader = win::LastLoaderMessage();
    if (code == win::ERROR_MOD_NOT_FOUND) {
      PrintDriverSearchHint(stderr, DriverName());
    } else if (code == win::ERROR_DLL_NOT_FOUND) {
      std::fprintf(stderr,
                   "  hint: a %s library was found, but a library it needs is missing. Install\n"
                   "        that library, or name its folder in the library search path.\n",
                   DriverName());
    } else {
      std::fprintf(stderr,
                   "  hint: a %s library was found but cannot be loaded: it is not built for\n"
                   "        this machine (32/64-bit, processor), or it needs a name that no\n"
                   "        loaded library defines.\n",
                   DriverName());
    }
    if (loader[0] != '\0') std::fprintf(stderr, "  loader: %s\n", loader);
    return;
  }
  char path[kPathSize];
  path[0] = '\0';
  win::GetModuleFileNameA(module, path, kPathSize);
  path[kPathSize - 1] = '\0';
  std::fprintf(stderr, "  hint: %s lacks entry points the monitor needs:", path);
  for (const char* name : kDriverEntryNames) {
    if (win::GetProcAddress(module, name) == nullptr) std::fprintf(stderr, " %s", name);
  }
  std::fprintf(stderr, "\n        It is not the driver version the monitor was built for.\n");
  win::FreeLibrary(module);
}

int CheckDriver() {
  win::HMODULE module = LoadDriver();
  if (module == nullptr) {
    char what[64];
    std::snprintf(what, sizeof what, "Unable to load %s.dll", DriverName());
    Fail(what);
    ExplainDriverRefusal();
    return kExitNotReady;
  }
  char path[kPathSize];
  path[0] = '\0';
  win::DWORD length = win::GetModuleFileNameA(module, path, kPathSize);
  path[kPathSize - 1] = '\0';
  char version[kVersionTextSize];
  std::printf("driver: %s bound (all %zu entry points) from %s\n", DriverName(), kDriverEntryCount,
              length > 0 ? path : "(path unknown)");
  if (length > 0 && length < kPathSize && GetModuleVersion(path, version, sizeof version)) {
    std::printf("driver: file version %s\n", version);
  } else {
    std::printf("driver: file version unknown (the file carries no version information)\n");
  }
  return kExitReady;
}

// On 32-bit x86 a driver's entry points either remove their arguments from
// the stack (__stdcall) or leave them to the caller (__cdecl). The monitor's
// calls are right under either; this names the one the driver uses, from what
// it does in calls that cannot touch a card: HsifDllInit, which the monitor
// calls first too, right after binding (it takes no arguments, so it shows
// nothing by itself), then the two queries HsifGetCardModel and
// HsifGetMinSamplePeriod for the no-card handle, -1: no card is open in this
// process, and a handle the driver itself gives for "no card" names none, so
// they fail without reading or changing a card (the stand-in fails them so).
// Returns 1 when the driver removes amounts of arguments that fit neither
// convention (another driver version), else 0. Elsewhere there is one
// convention: nothing is called or printed.
int CheckDriverCalls() {
  if (!kDriverConventionVaries) return 0;
  g_driver.HsifDllInit();
  std::int32_t value = 0;
  g_driver.HsifGetCardModel(kNoCard, &value);
  g_driver.HsifGetMinSamplePeriod(kNoCard, &value);
  char text[400];
  DescribeDriverConvention(text, sizeof text);
  if (ObservedDriverConvention() == DriverConvention::kOtherArguments) {
    char what[480];
    std::snprintf(what, sizeof what, "driver calls: %s", text);
    Fail(what);
    std::fprintf(stderr,
                 "  hint: the driver reads other arguments than the monitor passes. It is not\n"
                 "        the driver version the monitor was built for.\n");
    return 1;
  }
  std::printf("driver: calls: %s\n", text);
  return 0;
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
    return kExitNotReady;
  }
  ClosePort(&port);
  std::printf("port: %s opened at %d baud and released\n", shown, kSensorBaudRate);
  return kExitReady;
}

void ListCalibrationProblem(int line, const char* /*key*/, const char* what, void* /*context*/) {
  if (line > 0) {
    std::fprintf(stderr, "  line %d: %s\n", line, what);
  } else {
    std::fprintf(stderr, "  %s\n", what);
  }
}

// The card's own calibration format is its driver's business; the stand-in's
// is ours, so when the stand-in is the driver in use, the file is read by the
// stand-in's own reader and everything it refuses is listed. true when the
// file passes, or the driver is another one.
bool CheckCalibrationFormat(const char* name) {
  win::HMODULE module = win::LoadLibraryExA(DriverName(), nullptr, 0);
  if (module == nullptr) return true;
  const bool standin = win::GetProcAddress(module, kStandinMark) != nullptr;
  win::FreeLibrary(module);
  if (!standin) return true;

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

int CheckCalibrationFile(const RunProperties& properties) {
  const char* name = properties.calibration_file;
  if (name == nullptr) {
    Fail("calibration_file is not set in properties.txt");
    std::fprintf(stderr,
                 "  hint: add a line calibration_file=<file> naming the sensor's "
                 "calibration data.\n");
    return kExitNotReady;
  }
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) {
    char what[400];
    std::snprintf(what, sizeof what, "the calibration file %s cannot be read", name);
    Fail(what);
    std::fprintf(stderr,
                 "  hint: calibration_file is read relative to this folder; the driver's\n"
                 "        calibration load would fail and stop the monitor.\n");
    return kExitNotReady;
  }
  bool empty = std::fgetc(file) == EOF;
  std::fclose(file);
  if (empty) {
    char what[400];
    std::snprintf(what, sizeof what, "the calibration file %s is empty", name);
    Fail(what);
    std::fprintf(stderr,
                 "  hint: the driver's calibration load would fail and stop the monitor; copy\n"
                 "        the sensor's calibration data into it.\n");
    return kExitNotReady;
  }
  if (!CheckCalibrationFormat(name)) return kExitNotReady;
  std::printf("calibration file: %s can be read\n", name);
  return kExitReady;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  bool check_port = true;
  ArgStep step;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (kind == ArgKind::kOperand) return UsageError(&line, "unexpected argument '%s'", step.text);
    check_port = false;  // --no-port, the only option
  }
  // Lines appear in order even when both streams go to one pipe.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  char version[kVersionTextSize];
  if (!GetModuleVersion(nullptr, version, sizeof version))
    std::snprintf(version, sizeof version, "?");
  std::printf("scanmon-preflight %s\n", version);

  if (CheckProperties(&g_properties) != kExitReady) return kExitNotReady;
  const RunProperties* properties = g_properties;
  static PropertyFindings findings;
  int problems = CheckPropertyContent(*properties, &findings);
  if (CheckDriver() != kExitReady) return kExitNotReady;
  problems += CheckDriverCalls();
  if (check_port && properties->laser_serial_port <= 0) {
    std::printf("port: not checked (no port number; see above)\n");
  } else if (check_port) {
    if (CheckPort(*properties) != kExitReady) ++problems;
  } else {
    std::printf("port: not checked (--no-port)\n");
  }
  if (CheckCalibrationFile(*properties) != kExitReady) ++problems;
  if (problems > 0) {
    std::printf("not ready: %d problem%s found (listed on standard error)\n", problems,
                problems == 1 ? "" : "s");
    return kExitNotReady;
  }
  std::printf("ready: nothing found that would stop the monitor before the card\n");
  return kExitReady;
}
