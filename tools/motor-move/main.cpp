// motor-move: opens the motor controller's serial device at a bit rate and
// runs one move sequence (to position 0, then to the position given).
// Exit status 0 moved, 1 device not opened or configured, 2 usage,
// 3 the controller did not answer.
#include <cstdint>
#include <cstdio>

#include "cli/command_line.h"
#include "cli/port_hints.h"
#include "platform/comm.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"

namespace {

constexpr int kExitMoved = 0;
constexpr int kExitNoDevice = 1;
constexpr int kExitNoAnswer = 3;

// One hour: longer than any move, short enough to catch a typo of extra zeros.
constexpr std::uint32_t kMaxWaitMs = 3600000;
static_assert(kMotorReplyWaitMs == 30000, "the help text names the default wait");

const ProgramText kProgram = {
    "motor-move", "Usage: motor-move [--wait-ms MS] DEVICE BAUD POSITION\n",
    "\n"
    "Opens the motor controller's serial DEVICE (COM<n>, or a device path such as\n"
    "/dev/ttyUSB0) at BAUD bits per second (a standard rate such as 9600, 19200,\n"
    "38400, 57600 or 115200), no parity, one stop bit, and moves the motor to\n"
    "position 0, then to POSITION (a signed 32-bit step count). Whatever waits on\n"
    "the line from before is discarded first. Prints a \"done\" line once the\n"
    "controller has taken the final move; does not wait for that move to end.\n"
    "\n"
    "Options:\n"
    "  --wait-ms MS   how long to wait for each reply of the controller, 0 to 3600000\n"
    "                 (default 30000)\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 moved, 1 device not opened or configured, 2 usage error,\n"
    "3 the controller did not answer.\n"};

const OptionEntry kOptions[] = {{"--wait-ms", "MS"}};

// Says which device did not open and why, with the system's text, and how to
// mend the causes an operator can mend. The link has already printed its own
// line with the bare code.
void ExplainPortFailure(const char* name, win::DWORD code) {
  char device[256];
  DescribePortDevice(name, device, sizeof device);
  char shown[300];
  ShowPortName(name, device, shown, sizeof shown);
  char error[platform::kErrorDescriptionSize];
  platform::DescribeErrorCode(code, error, sizeof error);
  std::fprintf(stderr, "motor-move: cannot use %s: %s\n", shown, error);
  if (code == win::ERROR_FILE_NOT_FOUND || code == win::ERROR_PATH_NOT_FOUND ||
      code == win::ERROR_ACCESS_DENIED || code == win::ERROR_SHARING_VIOLATION) {
    PrintPortHint(stderr, name, device, code);
  }
}

// A rate the platform sets by name; otherwise writes the nearest standard
// rates below and above `rate` (0 when there is none) and returns false.
bool IsStandardRate(std::int64_t rate, win::DWORD* below, win::DWORD* above) {
  const win::DWORD* rates = nullptr;
  const std::size_t count = platform::StandardBitRates(&rates);
  *below = 0;
  *above = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (rates[i] == rate) return true;
    if (rates[i] < rate) *below = rates[i];
    if (rates[i] > rate && *above == 0) *above = rates[i];
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  const char* positional[3] = {};
  int positional_count = 0;
  std::int64_t wait_ms = kMotorReplyWaitMs;
  ArgStep step;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (kind == ArgKind::kOption) {  // --wait-ms, the only option
      if (!ParseNumberArgument(&line, "--wait-ms", step.text, 0, kMaxWaitMs, &wait_ms)) {
        return line.exit_status;
      }
      continue;
    }
    if (positional_count == 3) return UsageError(&line, "too many arguments: '%s'", step.text);
    positional[positional_count++] = step.text;
  }
  if (positional_count < 3) return UsageError(&line, "DEVICE, BAUD and POSITION are needed");
  if (positional[0][0] == '\0') return UsageError(&line, "empty device name");
  std::int64_t baud = 0;
  if (!ParseNumberArgument(&line, "BAUD", positional[1], 1, INT32_MAX, &baud)) {
    return line.exit_status;
  }
  win::DWORD below = 0;
  win::DWORD above = 0;
  if (!IsStandardRate(baud, &below, &above)) {
    // A controller set to a rate no serial line runs at never answers: better
    // said now than after the reply wait.
    char nearest[64];
    if (below != 0 && above != 0) {
      std::snprintf(nearest, sizeof nearest, "are %lu and %lu", static_cast<unsigned long>(below),
                    static_cast<unsigned long>(above));
    } else {
      std::snprintf(nearest, sizeof nearest, "is %lu", static_cast<unsigned long>(below | above));
    }
    return UsageError(&line, "BAUD %lld is not a standard bit rate; the nearest %s",
                      static_cast<long long>(baud), nearest);
  }
  std::int64_t position = 0;
  if (!ParseNumberArgument(&line, "POSITION", positional[2], INT32_MIN, INT32_MAX, &position)) {
    return line.exit_status;
  }

  win::HANDLE port = OpenMotorPort(positional[0], static_cast<std::int32_t>(baud));
  if (port == nullptr) {
    std::fflush(stdout);
    ExplainPortFailure(positional[0], win::GetLastError());
    return kExitNoDevice;
  }
  // A reply left on the line by an earlier run must not pass for the answer to
  // this run's first command.
  if (!DiscardMotorInput(port)) {
    char error[platform::kErrorDescriptionSize];
    platform::DescribeErrorCode(win::GetLastError(), error, sizeof error);
    std::fprintf(stderr, "motor-move: could not empty the line's input queue: %s\n", error);
  }
  const int moved =
      MoveMotor(port, static_cast<std::int32_t>(position), static_cast<std::uint32_t>(wait_ms));
  win::CloseHandle(port);
  if (moved) {
    std::printf("motor-move: done: the controller took the move to position %lld\n",
                static_cast<long long>(position));
  }
  std::fflush(stdout);
  return moved ? kExitMoved : kExitNoAnswer;
}
