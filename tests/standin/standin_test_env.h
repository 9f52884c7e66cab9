// Per-test settings of the stand-in: every HSIF_SIM_* variable cleared, the
// test's own set, then HsifDllInit so the library reads them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "standin/hsif_standin.h"
#include "standin/sim_settings.h"
#include "tests/support/scratch_dir.h"

inline void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

// An empty value counts as unset for the stand-in, and on Windows it is unset.
inline void ClearVariable(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

class StandinTest : public testing::Test {
 protected:
  test_support::ScratchDir dir_;

  void SetUp() override {
    folder_ = dir_.path();
    log_ = (folder_ / "calls.log").string();
    Configure({});
  }
  void TearDown() override {
    for (const char* name : standin::kSimSettingNames) ClearVariable(name);
    HsifDllInit();  // closes the cards
  }

  // Clears every setting, applies `settings` (and the call log), re-reads.
  void Configure(const std::map<std::string, std::string>& settings) {
    for (const char* name : standin::kSimSettingNames) ClearVariable(name);
    SetVariable("HSIF_SIM_LOG", log_.c_str());
    for (const auto& [name, value] : settings) SetVariable(name.c_str(), value.c_str());
    std::filesystem::remove(log_);
    HsifDllInit();
  }

  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string WriteFile(const std::string& name, const std::string& text) const {
    return dir_.Write(name, text);
  }

  // Opens card 0 and brings it up as the monitor does, up to enabling.
  hsif_i32 BringUp(int period = 5) {
    hsif_i32 card = HsifOpen(0, nullptr);
    EXPECT_EQ(card, 0);
    EXPECT_EQ(HsifSetSamplePeriod(card, 0, 1200, period), 1);
    EXPECT_EQ(HsifCalibrateEncoder(card, 1, 0, 4096), 1);
    HsifClearSampleBuffer(card);
    HsifSamplingEnable(card);
    return card;
  }

  std::filesystem::path folder_;
  std::string log_;
};
