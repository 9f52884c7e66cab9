// Entry points of the card itself: opening, reset, calibration, sample period,
// encoders, motor and laser.
#include <cstdio>
#include <cstring>

#include "standin/calibration_file.h"
#include "standin/driver_state.h"
#include "standin/hsif_standin.h"
#include "standin/serial_service.h"
#include "standin/sim_clock.h"
#include "standin/sim_log.h"

using namespace standin;

namespace {

bool Failing(FailStep step) {
  return Driver().settings.fail == step;
}

// Logs "<name> card=<h> -> <result>" for the calls that take only a card.
hsif_i32 LogCardCall(const char* name, hsif_i32 card, hsif_i32 result) {
  LogLine("%s card=%d -> %d", name, card, result);
  return result;
}

// The settings that differ from the defaults, on one line after HsifDllInit's,
// so a test reading the log sees which simulation it ran against (paced or
// not, the card's buffer, the faults injected). Nothing when all are defaults.
void LogSettings(const SimSettings& s) {
  const SimSettings defaults;
  char line[256] = "settings";
  std::size_t used = std::strlen(line);
  auto add = [&](const char* format, auto value) {
    if (used < sizeof line) {
      int n = std::snprintf(line + used, sizeof line - used, format, value);
      if (n > 0) used += static_cast<std::size_t>(n);
    }
  };
  if (s.model_200khz != defaults.model_200khz) add(" model=%d", s.model_200khz ? 200 : 50);
  if (s.unpaced != defaults.unpaced) add(" unpaced=%d", s.unpaced ? 1 : 0);
  if (s.buffer_samples != defaults.buffer_samples) add(" buffer=%d", s.buffer_samples);
  if (s.mirror_hz != defaults.mirror_hz) add(" mirror_hz=%g", s.mirror_hz);
  if (s.fail != defaults.fail) add(" fail=%s", FailStepName(s.fail));
  if (s.fail_fetch_after != defaults.fail_fetch_after) {
    add(" fail_fetch_after=%lld", static_cast<long long>(s.fail_fetch_after));
  }
  if (s.lose_data_at != defaults.lose_data_at) {
    add(" lose_data_at=%lld", static_cast<long long>(s.lose_data_at));
  }
  if (s.angle_script[0] != '\0') add(" angle_script=%s", "set");
  if (s.clock_ppm != defaults.clock_ppm) add(" clock_ppm=%g", s.clock_ppm);
  if (s.fetch_delay_ms != defaults.fetch_delay_ms) add(" fetch_delay_ms=%g", s.fetch_delay_ms);
  if (s.seed != defaults.seed) add(" seed=%llu", static_cast<unsigned long long>(s.seed));
  if (s.fetch_stall_every != defaults.fetch_stall_every) {
    add(" fetch_stall_every=%lld", static_cast<long long>(s.fetch_stall_every));
  }
  if (s.fetch_stall_ms != defaults.fetch_stall_ms) {
    add(" fetch_stall_ms=%g", s.fetch_stall_ms);
  }
  if (used > std::strlen("settings")) LogLine("%s", line);
}

}  // namespace

HSIF_API hsif_i32 HSIF_CALLCONV HsifDllInit() {
  ResetDriver();
  LogLine("HsifDllInit -> 1");
  LogSettings(Driver().settings);
  return 1;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifOpen(hsif_i32 card_number, SerialPort* /*port*/) {
  DriverState& driver = Driver();
  // Whatever the sensor was sent before the card opens has arrived by now.
  ServiceAllSensors();
  hsif_i32 result = -1;
  if (!Failing(FailStep::kOpen) && card_number >= 0 && card_number < driver.settings.cards) {
    Card* card = &driver.cards[card_number];
    if (card->open) CloseCard(card);
    ResetCard(card, driver.settings);
    card->open = true;
    card->mirror_epoch_ns = MonotonicNs();
    if (driver.settings.angle_script[0] != '\0') {
      card->script = std::fopen(driver.settings.angle_script, "r");
      if (card->script == nullptr) {
        std::fprintf(stderr,
                     "hsif stand-in: cannot open the angle script %s; the mirror spins instead\n",
                     driver.settings.angle_script);
      }
    }
    result = card_number;
  }
  LogLine("HsifOpen card=%d -> %d", card_number, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClose(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) CloseCard(c);
  return LogCardCall("HsifClose", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifResetBoard(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && !Failing(FailStep::kReset)) {
    ResetCard(c, Driver().settings);
    result = 1;
  }
  return LogCardCall("HsifResetBoard", card, result);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifLoadCalibrationData(hsif_i32 card, const char* path) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  char reason[160] = "no such card";
  if (c != nullptr && Failing(FailStep::kCalibrationData)) {
    std::snprintf(reason, sizeof reason, "told to fail (HSIF_SIM_FAIL=calibration-data)");
  } else if (c != nullptr) {
    CalibrationData data;
    if (ReadCalibrationFile(path, &data, reason, sizeof reason)) {
      c->setup.calibration = data;
      result = 1;
    }
  }
  char quoted[300];
  if (path != nullptr) {
    QuoteForLog(path, static_cast<int>(std::strlen(path)), quoted, sizeof quoted);
  } else {
    std::snprintf(quoted, sizeof quoted, "(null)");
  }
  SetLastErrorText(result == 1 ? "" : reason);
  if (result == 1) {
    LogLine("HsifLoadCalibrationData path=%s card=%d -> 1", quoted, card);
  } else {
    char why[200];
    QuoteForLog(reason, static_cast<int>(std::strlen(reason)), why, sizeof why);
    LogLine("HsifLoadCalibrationData path=%s card=%d -> 0 reason=%s", quoted, card, why);
  }
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSamplePeriod(hsif_i32 card, hsif_i32 mode,
                                                    hsif_i32 max_range, hsif_i32 sample_period) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr) {
    const SimSettings& settings = Driver().settings;
    int call = ++c->set_period_calls;
    bool refused = (settings.fail == FailStep::kSamplePeriod && call == 1) ||
                   (settings.fail == FailStep::kSamplePeriodAgain && call == 2) ||
                   settings.fail == FailStep::kCardModel || settings.fail == FailStep::kMinPeriod;
    bool valid = mode == 0 && max_range >= 1 && max_range <= kMaxRangeLimit &&
                 sample_period >= MinSamplePeriodUs(settings) &&
                 sample_period <= kMaxSamplePeriodUs;
    if (!refused && valid) {
      c->setup.max_range = max_range;
      ChangeStreamPeriod(&c->stream, MonotonicNs(),
                         static_cast<std::int64_t>(sample_period) * 1000);
      result = 1;
    }
  }
  LogLine("HsifSetSamplePeriod mode=%d range=%d period=%d card=%d -> %d", mode, max_range,
          sample_period, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetCardModel(hsif_i32 card, hsif_i32* model) {
  Card* c = FindOpenCard(card);
  if (c == nullptr || model == nullptr || Failing(FailStep::kCardModel)) {
    return LogCardCall("HsifGetCardModel", card, 0);
  }
  *model = Driver().settings.model_200khz ? 1 : 0;
  LogLine("HsifGetCardModel card=%d -> 1 model=%d", card, *model);
  return 1;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetMinSamplePeriod(hsif_i32 card, hsif_i32* period) {
  Card* c = FindOpenCard(card);
  if (c == nullptr || period == nullptr || Failing(FailStep::kMinPeriod)) {
    return LogCardCall("HsifGetMinSamplePeriod", card, 0);
  }
  *period = MinSamplePeriodUs(Driver().settings);
  LogLine("HsifGetMinSamplePeriod card=%d -> 1 period=%d", card, *period);
  return 1;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetPollMode(hsif_i32 card, hsif_i32 mode) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && (mode == 0 || mode == 1)) {
    c->poll_mode = mode;
    result = 1;
  }
  LogLine("HsifSetPollMode mode=%d card=%d -> %d", mode, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifCalibrate(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && Failing(FailStep::kCalibrate)) {
    result = 2;  // the card's "no calibration value" answer
  } else if (c != nullptr) {
    // The range channel's zero, as the card measures it with the laser blanked.
    c->setup.cal_value = 384 + 16 * card;
    result = 1;
  }
  return LogCardCall("HsifCalibrate", card, result);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingModeInit(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  return LogCardCall("HsifSamplingModeInit", card,
                     c != nullptr && !Failing(FailStep::kSamplingMode) ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClearEncoder(hsif_i32 card, hsif_i32 which, hsif_i32 value) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && !Failing(FailStep::kClearEncoder) && which >= 1 && which <= 3 &&
      (value == 0 || value == 1)) {
    if (value == 1 && (which & 2)) c->setup.encoder2_offset = 0;
    result = 1;
  }
  LogLine("HsifClearEncoder which=%d value=%d card=%d -> %d", which, value, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifCalibrateEncoder(hsif_i32 card, hsif_i32 encoder,
                                                     hsif_i32 offset, hsif_i32 counts) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  bool told_to_fail = (encoder == 1 && Failing(FailStep::kEncoder1)) ||
                      (encoder == 2 && Failing(FailStep::kEncoder2));
  bool valid = (encoder == 1 || encoder == 2) && counts >= 1 && counts <= 65536 && offset >= 0 &&
               offset < counts;
  if (c != nullptr && !told_to_fail && valid) {
    if (encoder == 1) {
      c->setup.encoder1_counts = counts;
      c->setup.encoder1_offset = offset;
    } else {
      c->setup.encoder2_offset = offset;
    }
    result = 1;
  }
  LogLine("HsifCalibrateEncoder encoder=%d offset=%d counts=%d card=%d -> %d", encoder, offset,
          counts, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetMotorPower(hsif_i32 card, hsif_i32 motor, hsif_i32 power) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && motor >= 1 && motor <= 4 && power >= 0 && power <= 255) {
    c->motor_power[motor] = power;
    result = 1;
  }
  LogLine("HsifSetMotorPower motor=%d power=%d card=%d -> %d", motor, power, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifLaserOn(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) c->setup.laser_on = true;
  return LogCardCall("HsifLaserOn", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifLaserOff(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) c->setup.laser_on = false;
  return LogCardCall("HsifLaserOff", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifStandinLastError(char* text, hsif_i32 size) {
  if (text == nullptr || size < 1) return -1;
  const char* reason = Driver().last_error;
  std::snprintf(text, static_cast<std::size_t>(size), "%s", reason);
  return static_cast<hsif_i32>(std::strlen(reason));
}
