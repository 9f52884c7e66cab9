#include "record_options.h"

#include <cstdint>
#include <cstdlib>

#include "cli/command_line.h"

namespace {

const ProgramText kProgram = {
    "capture-record", "Usage: capture-record [OPTIONS] CONFIG\n",
    "\n"
    "Records a capture as the configuration file CONFIG describes it: brings the\n"
    "sensor and the card up, sets the motors' power, waits the stabilisation\n"
    "delay, and writes <base>.prc (and <base>.raw when the configuration asks)\n"
    "with the block index <base>.idx (each fetch's time and the gaps) until the\n"
    "configured number of samples is recorded. 'x', Ctrl-C or SIGTERM stop\n"
    "early (a second request only skips writing out what memory holds); the\n"
    "files then end on a whole record and their header counts the samples\n"
    "recorded. A card that delivers nothing for 5 s ends the capture (status 6).\n"
    "\n"
    "Options:\n"
    "  --calibration-value N  calibration value for the header (default 0)\n"
    "  --force                replace existing capture files (and remove an\n"
    "                         earlier capture's <base>.fields)\n"
    "  --accept-warnings      record although a number in CONFIG has text right\n"
    "                         after it (\"2,000,000\" is read as 2): without it\n"
    "                         such a warning stops the recorder before the card\n"
    "                         is touched\n"
    "  --ring-mb M            memory between the card and the disk, 1..4096 MB\n"
    "                         (default 48: three seconds at 200 kHz)\n"
    "  --fields FILE          a field map naming the driver's bytes (e.g. the\n"
    "                         demo's standin.fields), checked and copied beside\n"
    "                         the capture as <base>.fields\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Exit status: 0 complete, 1 configuration or bring-up failed (or files\n"
    "exist, a configuration warning without --accept-warnings, or no writer\n"
    "thread), 2 usage error, 3 stopped by the operator, 4 write failure,\n"
    "5 complete but data lost, 6 a fetch from the card failed or the card\n"
    "stopped delivering.\n"};

enum Option { kCalibrationValue, kForce, kRingMb, kAcceptWarnings, kFields };
const OptionEntry kOptions[] = {{"--calibration-value", "N"},
                                {"--force", nullptr},
                                {"--ring-mb", "M"},
                                {"--accept-warnings", nullptr},
                                {"--fields", "FILE"}};

// The test seam's variables: ignored unless a whole number in range.
unsigned SeamValue(const char* name, std::int64_t min, std::int64_t max, unsigned fallback) {
  std::int64_t value = 0;
  const char* text = std::getenv(name);
  return text != nullptr && ParseWholeNumber(text, min, max, &value) ? static_cast<unsigned>(value)
                                                                     : fallback;
}

}  // namespace

int ParseRecordOptions(int argc, char** argv, RecordOptions* options) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  for (ArgKind kind; (kind = NextOptionOfOne(&line, &step, "configuration file",
                                             &options->config_path)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    std::int64_t value = 0;
    switch (step.option) {
      case kCalibrationValue:
        if (!ParseInt32Argument(&line, "--calibration-value", step.text,
                                &options->calibration_value)) {
          return line.exit_status;
        }
        options->calibration_value_given = true;
        break;
      case kForce:
        options->force = true;
        break;
      case kAcceptWarnings:
        options->accept_warnings = true;
        break;
      case kFields:
        options->fields_path = step.text;
        break;
      case kRingMb:
        if (!ParseNumberArgument(&line, "--ring-mb", step.text, 1, kMaxRingMb, &value)) {
          return line.exit_status;
        }
        // Counted in 64 bits: 4096 MB in bytes does not fit a 32-bit size_t.
        if (static_cast<std::uint64_t>(value) > kPlatformRingMb) {
          return UsageError(&line,
                            "--ring-mb %lld: this %u-bit build can hold a ring of at most %llu MB",
                            static_cast<long long>(value), static_cast<unsigned>(8 * sizeof(void*)),
                            static_cast<unsigned long long>(kPlatformRingMb));
        }
        options->ring_mb = static_cast<std::size_t>(value);
        break;
    }
  }
  if (options->config_path == nullptr) return UsageError(&line, "no configuration file given");
  options->stall_ms = SeamValue("SCANMON_RECORD_STALL_MS", 0, kMaxStallMs, 0);
  options->stall_every = SeamValue("SCANMON_RECORD_STALL_EVERY", 1, 1000000, 1);
  options->fail_thread_start = SeamValue("SCANMON_RECORD_FAIL_THREAD", 0, 1, 0) == 1;
  return -1;
}
