// motor-move: opens the motor controller's serial device at a bit rate and
// runs one move sequence (to position 0, then to the position given).
// Exit status 0 moved, 1 device not opened or configured, 2 usage,
// 3 the controller did not answer.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"

namespace {

constexpr int kExitMoved = 0;
constexpr int kExitNoDevice = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;

// One hour: longer than any move, short enough to catch a typo of extra zeros.
constexpr std::uint32_t kMaxWaitMs = 3600000;

void PrintUsageLine(std::FILE* stream) {
  std::fprintf(stream, "Usage: motor-move [--wait-ms MS] DEVICE BAUD POSITION\n");
}

void PrintHelp() {
  PrintUsageLine(stdout);
  std::printf(
      "\n"
      "Opens the motor controller's serial DEVICE (COM<n>, or a device path such as\n"
      "/dev/ttyUSB0) at BAUD bits per second, no parity, one stop bit, and moves the\n"
      "motor to position 0, then to POSITION (a signed 32-bit step count). Whatever\n"
      "waits on the line from before is discarded first. Prints a \"done\" line once\n"
      "the controller has taken the final move; does not wait for that move to end.\n"
      "\n"
      "Options:\n"
      "  --wait-ms MS   how long to wait for each reply of the controller, 0 to %u\n"
      "                 (default %u)\n"
      "  --help         show this text\n"
      "\n"
      "Exit status: 0 moved, 1 device not opened or configured, 2 usage error,\n"
      "3 the controller did not answer.\n",
      kMaxWaitMs, kMotorReplyWaitMs);
}

// A whole-argument decimal number: an optional minus sign (when allowed), then
// digits only, within [min, max].
bool ParseDecimal(const char* text, bool allow_minus, std::int64_t min, std::int64_t max,
                  std::int64_t* value) {
  const bool negative = allow_minus && *text == '-';
  if (negative) ++text;
  if (*text == '\0') return false;
  std::int64_t magnitude = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > (std::int64_t{1} << 32)) return false;
  }
  const std::int64_t parsed = negative ? -magnitude : magnitude;
  if (parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

int UsageError(const char* reason, const char* arg) {
  std::fprintf(stderr, "motor-move: %s: '%s'\n", reason, arg);
  PrintUsageLine(stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  const char* positional[3] = {};
  int positional_count = 0;
  std::uint32_t wait_ms = kMotorReplyWaitMs;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    // A negative position looks like an option; options never start "-<digit>".
    const bool looks_like_option =
        arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
    if (!options_done && looks_like_option) {
      if (std::strcmp(arg, "--") == 0) {
        options_done = true;
      } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        PrintHelp();
        return kExitMoved;
      } else if (std::strcmp(arg, "--wait-ms") == 0) {
        if (i + 1 >= argc) return UsageError("missing value for", arg);
        std::int64_t value = 0;
        if (!ParseDecimal(argv[++i], false, 0, kMaxWaitMs, &value)) {
          return UsageError("wait must be 0 to 3600000 ms", argv[i]);
        }
        wait_ms = static_cast<std::uint32_t>(value);
      } else {
        return UsageError("unknown option", arg);
      }
      continue;
    }
    if (positional_count == 3) return UsageError("too many arguments", arg);
    positional[positional_count++] = arg;
  }
  if (positional_count < 3) {
    std::fprintf(stderr, "motor-move: DEVICE, BAUD and POSITION are needed\n");
    PrintUsageLine(stderr);
    return kExitUsage;
  }
  if (positional[0][0] == '\0') return UsageError("empty device name", positional[0]);
  std::int64_t baud = 0;
  if (!ParseDecimal(positional[1], false, 1, INT32_MAX, &baud)) {
    return UsageError("bit rate must be a positive whole number", positional[1]);
  }
  std::int64_t position = 0;
  if (!ParseDecimal(positional[2], true, INT32_MIN, INT32_MAX, &position)) {
    return UsageError("position must be a whole number within 32 bits", positional[2]);
  }

  win::HANDLE port = OpenMotorPort(positional[0], static_cast<std::int32_t>(baud));
  if (port == nullptr) return kExitNoDevice;
  // A reply left on the line by an earlier run must not pass for the answer to
  // this run's first command.
  if (!DiscardMotorInput(port)) {
    std::fprintf(stderr, "motor-move: could not empty the line's input queue (error %lu)\n",
                 static_cast<unsigned long>(win::GetLastError()));
  }
  const int moved = MoveMotor(port, static_cast<std::int32_t>(position), wait_ms);
  win::CloseHandle(port);
  if (moved) {
    std::printf("motor-move: done: the controller took the move to position %lld\n",
                static_cast<long long>(position));
  }
  std::fflush(stdout);
  return moved ? kExitMoved : kExitNoAnswer;
}
