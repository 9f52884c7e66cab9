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
// This file is the command line and the order of the checks; the checks
// themselves are preflight/preflight_checks.h.
#include <cstdio>

#include "cli/command_line.h"
#include "preflight/preflight_checks.h"
#include "procenv/module_version.h"

namespace {

using preflight::kNotReady;
using preflight::kReady;

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

  if (preflight::CheckProperties(&g_properties) != kReady) return kNotReady;
  const RunProperties* properties = g_properties;
  static PropertyFindings findings;
  int problems = preflight::CheckPropertyContent(*properties, &findings);
  if (preflight::CheckDriver() != kReady) return kNotReady;
  problems += preflight::CheckDriverCalls();
  if (check_port && properties->laser_serial_port <= 0) {
    std::printf("port: not checked (no port number; see above)\n");
  } else if (check_port) {
    if (preflight::CheckPort(*properties) != kReady) ++problems;
  } else {
    std::printf("port: not checked (--no-port)\n");
  }
  if (preflight::CheckCalibrationFile(*properties) != kReady) ++problems;
  if (problems > 0) {
    std::printf("not ready: %d problem%s found (listed on standard error)\n", problems,
                problems == 1 ? "" : "s");
    return kNotReady;
  }
  std::printf("ready: nothing found that would stop the monitor before the card\n");
  return kReady;
}
