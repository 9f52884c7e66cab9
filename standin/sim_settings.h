// The stand-in's own settings, from HSIF_SIM_* environment variables (never the
// monitor's properties). A malformed value is reported on stderr with the prefix
// "hsif stand-in: " and the default is used.
#pragma once

#include <cstdint>
#include <iterator>

namespace standin {

// A step at which the driver is told to fail (HSIF_SIM_FAIL).
enum class FailStep {
  kNone,
  kOpenPort,
  kOpen,
  kReset,
  kCalibrationData,
  kSamplePeriod,
  kSamplePeriodAgain,
  kCardModel,
  kMinPeriod,
  kCalibrate,
  kSamplingMode,
  kClearEncoder,
  kEncoder1,
  kEncoder2,
  kFetch,
};

inline constexpr int kMaxCards = 16;
inline constexpr int kMaxBufferSamples = 1 << 24;
inline constexpr double kMaxMirrorHz = 1000.0;
inline constexpr double kMaxMirrorWanderPercent = 10.0;
inline constexpr int kMaxPathChars = 1024;
inline constexpr double kMaxClockPpm = 1000.0;
inline constexpr double kMaxFetchDelayMs = 1000.0;

struct SimSettings {
  bool model_200khz = true;               // HSIF_SIM_MODEL 50 | 200
  int cards = 2;                          // HSIF_SIM_CARDS 0 .. kMaxCards
  double mirror_hz = 20.0;                // HSIF_SIM_MIRROR_HZ 0 .. kMaxMirrorHz
  double mirror_wander_percent = 0.3;     // HSIF_SIM_MIRROR_WANDER 0 .. 10
  std::int64_t mirror_slow_after = -1;    // HSIF_SIM_MIRROR_SLOW_AFTER, -1 = never
  double mirror_slow_hz = 0.0;            // HSIF_SIM_MIRROR_SLOW_HZ 0 .. kMaxMirrorHz
  bool unpaced = false;                   // HSIF_SIM_UNPACED 0 | 1
  int buffer_samples = 65536;             // HSIF_SIM_BUFFER 1 .. kMaxBufferSamples
  FailStep fail = FailStep::kNone;        // HSIF_SIM_FAIL
  std::int64_t fail_fetch_after = -1;     // HSIF_SIM_FAIL_FETCH_AFTER, -1 = never
  std::int64_t lose_data_at = 0;          // HSIF_SIM_LOSE_DATA_AT, 0 = never
  char angle_script[kMaxPathChars] = {};  // HSIF_SIM_ANGLE_SCRIPT, empty = mirror
  char log_path[kMaxPathChars] = {};      // HSIF_SIM_LOG, empty = no log
  double clock_ppm = 0.0;                 // HSIF_SIM_CLOCK_PPM -1000 .. 1000
  double fetch_delay_ms = 0.0;            // HSIF_SIM_FETCH_DELAY_MS 0 .. 1000
  std::uint64_t seed = 1;                 // HSIF_SIM_SEED, of the fetch delays
  std::int64_t fetch_stall_every = 0;     // HSIF_SIM_FETCH_STALL_EVERY, 0 = never
  double fetch_stall_ms = 0.0;            // HSIF_SIM_FETCH_STALL_MS 0 .. 1000
};

// The variables the settings come from, in the order ReadSimSettings reads
// them.
inline constexpr const char* kSimSettingNames[] = {
    "HSIF_SIM_MODEL",
    "HSIF_SIM_CARDS",
    "HSIF_SIM_MIRROR_HZ",
    "HSIF_SIM_MIRROR_WANDER",
    "HSIF_SIM_MIRROR_SLOW_AFTER",
    "HSIF_SIM_MIRROR_SLOW_HZ",
    "HSIF_SIM_UNPACED",
    "HSIF_SIM_BUFFER",
    "HSIF_SIM_FAIL",
    "HSIF_SIM_FAIL_FETCH_AFTER",
    "HSIF_SIM_LOSE_DATA_AT",
    "HSIF_SIM_ANGLE_SCRIPT",
    "HSIF_SIM_LOG",
    "HSIF_SIM_CLOCK_PPM",
    "HSIF_SIM_FETCH_DELAY_MS",
    "HSIF_SIM_SEED",
    "HSIF_SIM_FETCH_STALL_EVERY",
    "HSIF_SIM_FETCH_STALL_MS",
};

// Reads `value` (the text of one variable, or null when unset) into the
// settings. Unset and empty values keep the default; malformed ones keep it too
// and print a message naming the variable.
void ApplySetting(SimSettings* settings, const char* name, const char* value);

// Reads every HSIF_SIM_* variable from the environment.
SimSettings ReadSimSettings();

// "openport", "sample-period-again", ... for messages and the log.
const char* FailStepName(FailStep step);

}  // namespace standin
