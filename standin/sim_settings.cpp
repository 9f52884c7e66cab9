#include "standin/sim_settings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

struct FailName {
  const char* name;
  FailStep step;
};

constexpr FailName kFailNames[] = {
    {"openport", FailStep::kOpenPort},
    {"open", FailStep::kOpen},
    {"reset", FailStep::kReset},
    {"calibration-data", FailStep::kCalibrationData},
    {"sample-period", FailStep::kSamplePeriod},
    {"sample-period-again", FailStep::kSamplePeriodAgain},
    {"card-model", FailStep::kCardModel},
    {"min-period", FailStep::kMinPeriod},
    {"calibrate", FailStep::kCalibrate},
    {"sampling-mode", FailStep::kSamplingMode},
    {"clear-encoder", FailStep::kClearEncoder},
    {"encoder1", FailStep::kEncoder1},
    {"encoder2", FailStep::kEncoder2},
    {"fetch", FailStep::kFetch},
};

void ReportMalformed(const char* name, const char* value, const char* expected) {
  std::fprintf(stderr, "hsif stand-in: %s=\"%.80s\" is not %s; using the default\n", name, value,
               expected);
}

// A whole decimal integer in [low, high]; no sign games, no trailing text.
bool ParseInteger(const char* text, std::int64_t low, std::int64_t high, std::int64_t* out) {
  if (text[0] == '\0' || std::strlen(text) > 20) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseNumber(const char* text, double low, double high, double* out) {
  if (text[0] == '\0' || std::strlen(text) > 40) return false;
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) return false;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool CopyPath(const char* text, char (&out)[kMaxPathChars]) {
  std::size_t length = std::strlen(text);
  if (length >= kMaxPathChars) return false;
  std::memcpy(out, text, length + 1);
  return true;
}

template <typename Integer>
void SetInteger(const char* name, const char* value, std::int64_t low, std::int64_t high,
                Integer* field, const char* expected) {
  std::int64_t integer = 0;
  if (ParseInteger(value, low, high, &integer)) {
    *field = static_cast<Integer>(integer);
  } else {
    ReportMalformed(name, value, expected);
  }
}

void SetPath(const char* name, const char* value, char (&field)[kMaxPathChars]) {
  if (!CopyPath(value, field)) ReportMalformed(name, value, "a path of < 1024 chars");
}

// Reads one variable's value into the settings, or reports it malformed.
using Setter = void (*)(SimSettings* s, const char* name, const char* value);

// One setter per variable, in the order of kSimSettingNames.
constexpr Setter kSetters[] = {
    // HSIF_SIM_MODEL
    [](SimSettings* s, const char* name, const char* value) {
      if (std::strcmp(value, "50") == 0) {
        s->model_200khz = false;
      } else if (std::strcmp(value, "200") == 0) {
        s->model_200khz = true;
      } else {
        ReportMalformed(name, value, "50 or 200");
      }
    },
    // HSIF_SIM_CARDS
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 0, kMaxCards, &s->cards, "a card count 0..16");
    },
    // HSIF_SIM_MIRROR_HZ
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, 0.0, kMaxMirrorHz, &s->mirror_hz)) {
        ReportMalformed(name, value, "revolutions per second 0..1000");
      }
    },
    // HSIF_SIM_MIRROR_WANDER
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, 0.0, kMaxMirrorWanderPercent, &s->mirror_wander_percent)) {
        ReportMalformed(name, value, "a percentage 0..10");
      }
    },
    // HSIF_SIM_MIRROR_SLOW_AFTER
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 1, INT64_MAX / 2, &s->mirror_slow_after, "a fetch count >= 1");
    },
    // HSIF_SIM_MIRROR_SLOW_HZ
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, 0.0, kMaxMirrorHz, &s->mirror_slow_hz)) {
        ReportMalformed(name, value, "revolutions per second 0..1000");
      }
    },
    // HSIF_SIM_UNPACED
    [](SimSettings* s, const char* name, const char* value) {
      if (std::strcmp(value, "1") == 0 || std::strcmp(value, "0") == 0) {
        s->unpaced = value[0] == '1';
      } else {
        ReportMalformed(name, value, "0 or 1");
      }
    },
    // HSIF_SIM_BUFFER
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 1, kMaxBufferSamples, &s->buffer_samples,
                 "a sample count 1..16777216");
    },
    // HSIF_SIM_FAIL
    [](SimSettings* s, const char* name, const char* value) {
      for (const FailName& entry : kFailNames) {
        if (std::strcmp(entry.name, value) == 0) {
          s->fail = entry.step;
          return;
        }
      }
      ReportMalformed(name, value, "a known step name");
    },
    // HSIF_SIM_FAIL_FETCH_AFTER
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 0, INT64_MAX / 2, &s->fail_fetch_after, "a fetch count >= 0");
    },
    // HSIF_SIM_LOSE_DATA_AT
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 1, INT64_MAX / 2, &s->lose_data_at, "a fetch number >= 1");
    },
    // HSIF_SIM_ANGLE_SCRIPT
    [](SimSettings* s, const char* name, const char* value) {
      SetPath(name, value, s->angle_script);
    },
    // HSIF_SIM_LOG
    [](SimSettings* s, const char* name, const char* value) { SetPath(name, value, s->log_path); },
    // HSIF_SIM_CLOCK_PPM
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, -kMaxClockPpm, kMaxClockPpm, &s->clock_ppm)) {
        ReportMalformed(name, value, "parts per million -1000..1000");
      }
    },
    // HSIF_SIM_FETCH_DELAY_MS
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, 0.0, kMaxFetchDelayMs, &s->fetch_delay_ms)) {
        ReportMalformed(name, value, "milliseconds 0..1000");
      }
    },
    // HSIF_SIM_SEED
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 0, INT64_MAX, &s->seed, "a seed 0..9223372036854775807");
    },
    // HSIF_SIM_FETCH_STALL_EVERY
    [](SimSettings* s, const char* name, const char* value) {
      SetInteger(name, value, 0, INT64_MAX / 2, &s->fetch_stall_every, "a fetch count >= 0");
    },
    // HSIF_SIM_FETCH_STALL_MS
    [](SimSettings* s, const char* name, const char* value) {
      if (!ParseNumber(value, 0.0, kMaxFetchDelayMs, &s->fetch_stall_ms)) {
        ReportMalformed(name, value, "milliseconds 0..1000");
      }
    },
};
static_assert(std::size(kSetters) == std::size(kSimSettingNames), "one setter per variable");

}  // namespace

const char* FailStepName(FailStep step) {
  for (const FailName& entry : kFailNames) {
    if (entry.step == step) return entry.name;
  }
  return "none";
}

void ApplySetting(SimSettings* s, const char* name, const char* value) {
  if (value == nullptr || value[0] == '\0') return;
  for (std::size_t i = 0; i < std::size(kSimSettingNames); ++i) {
    if (std::strcmp(name, kSimSettingNames[i]) == 0) kSetters[i](s, name, value);
  }
}

SimSettings ReadSimSettings() {
  SimSettings settings;
  for (const char* name : kSimSettingNames) ApplySetting(&settings, name, std::getenv(name));
  return settings;
}

}  // namespace standin
