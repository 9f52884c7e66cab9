// The stand-in driver's state: its settings, the cards and the serial lines it
// has opened. One instance for the library; the driver is called from one
// thread, as the closed driver is.
#pragma once

#include <cstdint>
#include <cstdio>

#include "standin/raw_records.h"
#include "standin/sample_stream.h"
#include "standin/sensor.h"
#include "standin/sim_line.h"
#include "standin/sim_settings.h"

namespace standin {

inline constexpr int kMaxLines = 16;
inline constexpr int kRegisterCount = 64;
inline constexpr int kMaxAddedFunctions = 8;
inline constexpr int kMaxRangeLimit = 12000;  // inches
inline constexpr int kMaxSamplePeriodUs = 1000000;
inline constexpr std::int32_t kFpgaVersion = 0x0104;
inline constexpr std::int64_t kMaxFetchWaitNs = 1000000000;
inline constexpr std::int64_t kIdleFetchWaitNs = 20000000;

struct Card {
  bool open = false;
  SampleStream stream;
  ScanSetup setup;
  std::int64_t mirror_epoch_ns = 0;  // the mirror's time origin
  int poll_mode = 0;
  int motor_power[5] = {};
  bool interrupts = true;
  std::int32_t registers[kRegisterCount] = {};
  int added_functions[kMaxAddedFunctions] = {};
  int added_function_count = 0;
  // Fault injection and diagnostics.
  int set_period_calls = 0;
  std::int64_t fetches = 0;
  std::int64_t last_copy_ns = 0;
  std::int64_t last_fetch_log_ns = 0;
  std::int64_t last_process_log_ns = 0;
  std::int64_t processes = 0;
  int special_fetches_logged = 0;
  // The fetch delays' generator (HSIF_SIM_SEED), one sequence per card.
  std::uint64_t delay_state = 0;
  // The angle script, when one replaces the mirror.
  std::FILE* script = nullptr;
  std::int64_t script_line = 0;
};

struct Line {
  bool used = false;
  std::int32_t caller_slot = -1;
  SensorEnd sensor_end = kNoSensorEnd;
  SensorState sensor;
};

struct DriverState {
  bool settings_read = false;
  SimSettings settings;
  Card cards[kMaxCards];
  Line lines[kMaxLines];
  int script_warnings = 0;
  // Why the last HsifOpenPort or HsifLoadCalibrationData failed; "" after a success.
  char last_error[200] = {};
};

// Keeps `reason` as the driver's last error (null or "" clears it).
void SetLastErrorText(const char* reason);

// The driver's state, its settings read from the environment on first use.
DriverState& Driver();

// Re-reads the settings (HsifDllInit): closes every card first.
void ResetDriver();

// The open card with this handle, or null.
Card* FindOpenCard(std::int32_t handle);

// Puts an open card into its power-on state.
void ResetCard(Card* card, const SimSettings& settings);

// Closes a card and its script.
void CloseCard(Card* card);

// The sensor model's shortest sample period, in microseconds.
int MinSamplePeriodUs(const SimSettings& settings);

}  // namespace standin
