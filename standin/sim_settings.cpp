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

}  // namespace

const char* FailStepName(FailStep step) {
  for (const FailName& entry : kFailNames) {
    if (entry.step == step) return entry.name;
  }
  return "none";
}

void ApplySetting(SimSettings* s, const char* name, const char* value) {
  if (value == nullptr || value[0] == '\0') return;
  std::int64_t integer = 0;
  if (std::strcmp(name, "HSIF_SIM_MODEL") == 0) {
    if (std::strcmp(value, "50") == 0) {
      s->model_200khz = false;
    } else if (std::strcmp(value, "200") == 0) {
      s->model_200khz = true;
    } else {
      ReportMalformed(name, value, "50 or 200");
    }
  } else if (std::strcmp(name, "HSIF_SIM_CARDS") == 0) {
    if (ParseInteger(value, 0, kMaxCards, &integer)) {
      s->cards = static_cast<int>(integer);
    } else {
      ReportMalformed(name, value, "a card count 0..16");
    }
  } else if (std::strcmp(name, "HSIF_SIM_MIRROR_HZ") == 0) {
    double hz = 0;
    if (ParseNumber(value, 0.0, kMaxMirrorHz, &hz)) {
      s->mirror_hz = hz;
    } else {
      ReportMalformed(name, value, "revolutions per second 0..1000");
    }
  } else if (std::strcmp(name, "HSIF_SIM_MIRROR_WANDER") == 0) {
    double percent = 0;
    if (ParseNumber(value, 0.0, kMaxMirrorWanderPercent, &percent)) {
      s->mirror_wander_percent = percent;
    } else {
      ReportMalformed(name, value, "a percentage 0..10");
    }
  } else if (std::strcmp(name, "HSIF_SIM_MIRROR_SLOW_AFTER") == 0) {
    if (ParseInteger(value, 1, INT64_MAX / 2, &integer)) {
      s->mirror_slow_after = integer;
    } else {
      ReportMalformed(name, value, "a fetch count >= 1");
    }
  } else if (std::strcmp(name, "HSIF_SIM_MIRROR_SLOW_HZ") == 0) {
    double hz = 0;
    if (ParseNumber(value, 0.0, kMaxMirrorHz, &hz)) {
      s->mirror_slow_hz = hz;
    } else {
      ReportMalformed(name, value, "revolutions per second 0..1000");
    }
  } else if (std::strcmp(name, "HSIF_SIM_UNPACED") == 0) {
    if (std::strcmp(value, "1") == 0 || std::strcmp(value, "0") == 0) {
      s->unpaced = value[0] == '1';
    } else {
      ReportMalformed(name, value, "0 or 1");
    }
  } else if (std::strcmp(name, "HSIF_SIM_BUFFER") == 0) {
    if (ParseInteger(value, 1, kMaxBufferSamples, &integer)) {
      s->buffer_samples = static_cast<int>(integer);
    } else {
      ReportMalformed(name, value, "a sample count 1..16777216");
    }
  } else if (std::strcmp(name, "HSIF_SIM_FAIL") == 0) {
    bool known = false;
    for (const FailName& entry : kFailNames) {
      if (std::strcmp(entry.name, value) == 0) {
        s->fail = entry.step;
        known = true;
      }
    }
    if (!known) ReportMalformed(name, value, "a known step name");
  } else if (std::strcmp(name, "HSIF_SIM_FAIL_FETCH_AFTER") == 0) {
    if (ParseInteger(value, 0, INT64_MAX / 2, &integer)) {
      s->fail_fetch_after = integer;
    } else {
      ReportMalformed(name, value, "a fetch count >= 0");
    }
  } else if (std::strcmp(name, "HSIF_SIM_LOSE_DATA_AT") == 0) {
    if (ParseInteger(value, 1, INT64_MAX / 2, &integer)) {
      s->lose_data_at = integer;
    } else {
      ReportMalformed(name, value, "a fetch number >= 1");
    }
  } else if (std::strcmp(name, "HSIF_SIM_ANGLE_SCRIPT") == 0) {
    if (!CopyPath(value, s->angle_script)) ReportMalformed(name, value, "a path of < 1024 chars");
  } else if (std::strcmp(name, "HSIF_SIM_LOG") == 0) {
    if (!CopyPath(value, s->log_path)) ReportMalformed(name, value, "a path of < 1024 chars");
  }
}

SimSettings ReadSimSettings() {
  static constexpr const char* kNames[] = {
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
  };
  SimSettings settings;
  for (const char* name : kNames) ApplySetting(&settings, name, std::getenv(name));
  return settings;
}

}  // namespace standin
