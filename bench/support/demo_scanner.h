// The scanner the benchmarks open: the stand-in driver with the demo's
// calibration, at the fastest sample period (5 us, a 200 kHz card), 5000
// samples a fetch, the mirror's motor at power 200.
#pragma once

#include <cstdio>

#include "scanmon/scanmon.h"

inline scanmon_scanner_settings DemoScannerSettings() {
  scanmon_scanner_settings settings;
  scanmon_scanner_settings_init(&settings);
  std::snprintf(settings.calibration_file, sizeof settings.calibration_file, "%s",
                SCANMON_DEMO_DIR "/ar4000_demo.cal");
  settings.sample_period_us = 5;
  settings.fetch_samples = 5000;
  settings.motor_power[0] = 200;
  return settings;
}
