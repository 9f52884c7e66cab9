#include "record_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void PrintUsage(std::FILE* stream) {
  std::fprintf(stream,
               "Usage: capture-record [--calibration-value N] [--force] [--ring-mb M] CONFIG\n"
               "\n"
               "Records a capture as the configuration file CONFIG describes it: brings the\n"
               "sensor and the card up, sets the motors' power, waits the stabilisation\n"
               "delay, and writes <base>.prc (and <base>.raw when the configuration asks)\n"
               "until the configured number of samples is recorded. 'x', Ctrl-C or\n"
               "SIGTERM stop early; the files then end on a whole record and their header\n"
               "counts the samples recorded.\n"
               "\n"
               "  --calibration-value N  calibration value for the header (default 0)\n"
               "  --force                replace existing capture files\n"
               "  --ring-mb M            memory between the card and the disk, 1..4096 MB\n"
               "                         (default 48: three seconds at 200 kHz)\n"
               "  --help, --version\n"
               "\n"
               "Exit status: 0 complete, 1 configuration or bring-up failed (or files\n"
               "exist), 2 usage error, 3 stopped by the operator, 4 write failure,\n"
               "5 complete but data lost, 6 a fetch from the card failed.\n");
}

int UsageError(const char* message, const char* arg) {
  std::fprintf(stderr, "capture-record: %s%s\n", message, arg);
  PrintUsage(stderr);
  return kExitUsage;
}

// A whole decimal integer in [low, high], nothing after it.
bool ParseNumber(const char* text, long long low, long long high, long long* out) {
  if (text == nullptr || text[0] == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int ParseRecordOptions(int argc, char** argv, RecordOptions* options) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_done && std::strcmp(arg, "--") == 0) {
      options_done = true;
      continue;
    }
    if (!options_done && std::strcmp(arg, "--help") == 0) {
      PrintUsage(stdout);
      return kExitComplete;
    }
    if (!options_done && std::strcmp(arg, "--version") == 0) {
      std::printf("capture-record (scanmon) %d.%d.%d\n", SCANMON_VERSION_MAJOR,
                  SCANMON_VERSION_MINOR, SCANMON_VERSION_PATCH);
      return kExitComplete;
    }
    if (!options_done && std::strcmp(arg, "--force") == 0) {
      options->force = true;
      continue;
    }
    long long value = 0;
    if (!options_done && std::strcmp(arg, "--calibration-value") == 0) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], INT32_MIN, INT32_MAX, &value)) {
        return UsageError("--calibration-value needs an integer", "");
      }
      options->calibration_value = static_cast<std::int32_t>(value);
      options->calibration_value_given = true;
      ++i;
      continue;
    }
    if (!options_done && std::strcmp(arg, "--ring-mb") == 0) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, kMaxRingMb, &value)) {
        return UsageError("--ring-mb needs a size from 1 to 4096", "");
      }
      options->ring_mb = static_cast<std::size_t>(value);
      ++i;
      continue;
    }
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("unknown option ", arg);
    }
    if (options->config_path != nullptr) return UsageError("expected one configuration file", "");
    options->config_path = arg;
  }
  if (options->config_path == nullptr) return UsageError("no configuration file given", "");
  long long stall = 0;
  const char* seam = std::getenv("SCANMON_RECORD_STALL_MS");
  if (seam != nullptr && ParseNumber(seam, 0, kMaxStallMs, &stall)) {
    options->stall_ms = static_cast<unsigned>(stall);
  }
  const char* every = std::getenv("SCANMON_RECORD_STALL_EVERY");
  if (every != nullptr && ParseNumber(every, 1, 1000000, &stall)) {
    options->stall_every = static_cast<unsigned>(stall);
  }
  return -1;
}
