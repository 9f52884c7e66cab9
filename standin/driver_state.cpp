#include "standin/driver_state.h"

#include <cstdio>

#include "standin/sim_clock.h"
#include "standin/sim_log.h"

namespace standin {

namespace {

DriverState g_driver;

void ReadSettings(DriverState* driver) {
  driver->settings = ReadSimSettings();
  driver->settings_read = true;
  SetLogPath(driver->settings.log_path);
}

}  // namespace

DriverState& Driver() {
  if (!g_driver.settings_read) ReadSettings(&g_driver);
  return g_driver;
}

void ResetDriver() {
  for (Card& card : g_driver.cards) {
    if (card.open) CloseCard(&card);
  }
  g_driver.script_warnings = 0;
  ReadSettings(&g_driver);
}

void SetLastErrorText(const char* reason) {
  std::snprintf(g_driver.last_error, sizeof g_driver.last_error, "%s",
                reason != nullptr ? reason : "");
}

Card* FindOpenCard(std::int32_t handle) {
  DriverState& driver = Driver();
  if (handle < 0 || handle >= kMaxCards || handle >= driver.settings.cards) return nullptr;
  Card* card = &driver.cards[handle];
  return card->open ? card : nullptr;
}

int MinSamplePeriodUs(const SimSettings& settings) {
  return settings.model_200khz ? 5 : 20;
}

void ResetCard(Card* card, const SimSettings& settings) {
  CalibrationData calibration = card->setup.calibration;  // loaded data survives a reset
  card->setup = ScanSetup{};
  card->setup.calibration = calibration;
  card->setup.mirror_hz = settings.mirror_hz;
  card->setup.wander_share = settings.mirror_wander_percent / 100.0;
  card->stream = SampleStream{};
  card->stream.buffer_samples = settings.buffer_samples;
  card->stream.period_ns = static_cast<std::int64_t>(MinSamplePeriodUs(settings)) * 1000;
  card->stream.drift_ppm = settings.clock_ppm;
  card->delay_state = settings.seed + static_cast<std::uint64_t>(card - Driver().cards);
  card->poll_mode = 0;
  for (int& power : card->motor_power) power = 0;
  card->interrupts = true;
  for (std::int32_t& word : card->registers) word = 0;
  card->registers[0] = kFpgaVersion;
  card->added_function_count = 0;
}

void CloseCard(Card* card) {
  if (card->script != nullptr) std::fclose(card->script);
  *card = Card{};
}

}  // namespace standin
