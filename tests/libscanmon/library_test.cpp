// The scanner library end to end, through its C interface in the shared
// library: the scanner source against the stand-in driver (blocks in order by
// the stand-in's sample numbers, a stalled reader's exact drop count, the
// motors off and the card released whatever state the source is closed in),
// the capture source on files the test writes (blocks by the index, by fixed
// size, looped, paced), and calls with bad arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hsif/driver_records.h"
#include "scanmon/scanmon.h"
#include "scanmon/scanmon.hpp"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

// The public records are the driver's records, byte for byte.
static_assert(sizeof(scanmon_sample) == sizeof(ProcessedSample));
static_assert(offsetof(scanmon_sample, flags) == offsetof(ProcessedSample, flags));
static_assert(offsetof(scanmon_sample, angle) == offsetof(ProcessedSample, angle));
static_assert(offsetof(scanmon_sample, driver_bytes_16) == 16);
static_assert(SCANMON_SAMPLE_INDEX == kProcessedIndexFlag);
static_assert(sizeof(scanmon_raw_sample) == sizeof(RawSample));
// The block record is the block index file's record.
static_assert(sizeof(scanmon_block) == 64);
static_assert(offsetof(scanmon_block, sequence) == 0);
static_assert(offsetof(scanmon_block, first_sample) == 8);
static_assert(offsetof(scanmon_block, first_record) == 16);
static_assert(offsetof(scanmon_block, count) == 24);
static_assert(offsetof(scanmon_block, flags) == 28);
static_assert(offsetof(scanmon_block, dropped_before) == 32);
static_assert(offsetof(scanmon_block, utc_ns) == 40);
static_assert(offsetof(scanmon_block, mono_ns) == 48);
static_assert(offsetof(scanmon_block, reserved) == 56);
// The same layout on every build (no padding that differs between ABIs).
static_assert(sizeof(scanmon_health) == 200);
static_assert(sizeof(scanmon_source_info) == 56);
static_assert(sizeof(scanmon_capture_header) == 312);
static_assert(sizeof(scanmon_scanner_settings) == 328);
static_assert(sizeof(scanmon_capture_options) == 24);
static_assert(sizeof(scanmon_field) == 80);
static_assert(sizeof(scanmon_block_times) == 128);
static_assert(sizeof(scanmon_revolution) == 72);

namespace {

using test_support::Contains;
using test_support::ReadText;
using test_support::ScratchDir;

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

std::uint32_t SampleNumber(const scanmon_sample& sample) {
  std::uint32_t number;
  std::memcpy(&number, reinterpret_cast<const unsigned char*>(&sample) + 4, sizeof number);
  return number;
}

// A scanner set up in a scratch folder with the demo calibration file and the
// stand-in's call log there; the stand-in's own settings from `variables`.
class Scanner : public testing::Test {
 protected:
  void SetUp() override {
    std::string cal = ReadText(std::string(SCANMON_DEMO_DIR) + "/ar4000_demo.cal");
    cal_path_ = scratch_.Write("ar4000_demo.cal", cal);
    for (const char* name :
         {"HSIF_SIM_FAIL", "HSIF_SIM_FAIL_FETCH_AFTER", "HSIF_SIM_UNPACED", "HSIF_SIM_LOSE_DATA_AT",
          "HSIF_SIM_BUFFER", "HSIF_SIM_CLOCK_PPM", "HSIF_SIM_FETCH_DELAY_MS"}) {
      SetVariable(name, "");
    }
    SetVariable("HSIF_SIM_LOG", log_);
    SetVariable("HSIF_SIM_MIRROR_WANDER", "0");
    scanmon_scanner_settings_init(&settings_);
    std::snprintf(settings_.calibration_file, sizeof settings_.calibration_file, "%s",
                  cal_path_.c_str());
    settings_.sample_period_us = 20;  // 50 kHz: light for a busy machine
    settings_.fetch_samples = 1000;
    settings_.motor_power[0] = 200;
    settings_.motor_power[1] = 100;
  }
  void TearDown() override {
    scanmon_close(source_);
    SetVariable("HSIF_SIM_LOG", "");
  }

  int Open() { return scanmon_open_scanner(&settings_, &source_); }
  std::string Log() const { return ReadText(log_); }

  ScratchDir scratch_;
  std::string cal_path_;
  std::string log_ = scratch_.File("driver.log");
  scanmon_scanner_settings settings_{};
  scanmon_source* source_ = nullptr;
};

// The motors off and the card closed, after the last fetch.
void ExpectReleased(const std::string& log, const char* state) {
  std::size_t off1 = log.rfind("HsifSetMotorPower motor=1 power=0");
  std::size_t off2 = log.rfind("HsifSetMotorPower motor=2 power=0");
  std::size_t close = log.rfind("HsifClose card=0");
  std::size_t fetch = log.rfind("HsifGetBufferedSamples");
  EXPECT_NE(off1, std::string::npos) << state << "\n" << log;
  EXPECT_NE(off2, std::string::npos) << state << "\n" << log;
  EXPECT_NE(close, std::string::npos) << state << "\n" << log;
  if (fetch != std::string::npos) {
    EXPECT_LT(fetch, off1) << state;
  }
  EXPECT_TRUE(Contains(log, "HsifSetMotorPower motor=1 power=200")) << state;
}

TEST_F(Scanner, DeliversEverySampleInOrderWithConsecutiveBlocks) {
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  ASSERT_EQ(scanmon_source_info_get(source_, &info), SCANMON_OK);
  EXPECT_EQ(info.kind, SCANMON_SOURCE_SCANNER);
  EXPECT_EQ(info.max_block_samples, 1000u);
  EXPECT_EQ(info.ring_samples, 50000u);  // one second at 20 us

  std::vector<scanmon_sample> samples(info.max_block_samples);
  scanmon_block previous{};
  std::uint32_t first_number = 0;
  std::uint64_t total = 0;
  for (int i = 0; i < 40; ++i) {
    scanmon_block block{};
    ASSERT_EQ(scanmon_read_block(source_, 5000, &block, samples.data(), nullptr,
                                 static_cast<std::uint32_t>(samples.size())),
              SCANMON_OK)
        << scanmon_last_error();
    ASSERT_GT(block.count, 0u);
    if (i == 0) first_number = SampleNumber(samples[0]);
    EXPECT_EQ(block.sequence, static_cast<std::uint64_t>(i));
    EXPECT_EQ(block.first_sample, total);
    EXPECT_EQ(block.first_record, total);
    EXPECT_EQ(block.dropped_before, 0u);
    EXPECT_EQ(block.flags, 0u);
    for (std::uint32_t k = 0; k < block.count; ++k) {
      ASSERT_EQ(SampleNumber(samples[k]), static_cast<std::uint32_t>(first_number + total + k))
          << "block " << i << " sample " << k;
    }
    if (i > 0) {
      EXPECT_GE(block.mono_ns, previous.mono_ns);
    }
    EXPECT_GT(block.utc_ns, 1600000000LL * 1000000000LL);
    previous = block;
    total += block.count;
  }
  scanmon_health health{};
  health.struct_size = sizeof health;
  ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
  EXPECT_EQ(health.samples_read, total);
  EXPECT_EQ(health.blocks_read, 40u);
  EXPECT_GE(health.samples, total);
  EXPECT_EQ(health.samples_dropped, 0u);
  EXPECT_EQ(health.sampling, 1);

  scanmon_capture_header header{};
  header.struct_size = sizeof header;
  ASSERT_EQ(scanmon_capture_header_get(source_, &header), SCANMON_OK);
  EXPECT_EQ(header.sensor_model, static_cast<std::uint32_t>(SCANMON_MODEL_200KHZ));
  EXPECT_EQ(header.motor1_power, 200u);
  EXPECT_EQ(header.buf_size, 1000u);

  EXPECT_EQ(scanmon_close(source_), SCANMON_OK);
  source_ = nullptr;
  ExpectReleased(Log(), "after reading");
}

TEST_F(Scanner, BlockTimesFollowTheCardsClockNotItsLateFetchReturns) {
  // The card 150 ppm fast, its fetches returning up to 2 ms late: the stand-in
  // writes each sample's true time into its bytes 52-59.
  SetVariable("HSIF_SIM_CLOCK_PPM", "150");
  SetVariable("HSIF_SIM_FETCH_DELAY_MS", "2");
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  scanmon_block_times times{};
  times.struct_size = sizeof times;
  ASSERT_EQ(scanmon_block_times_get(source_, &times), SCANMON_OK);
  EXPECT_EQ(times.clock_state, SCANMON_CLOCK_NONE);
  std::vector<scanmon_sample> samples(1000);
  std::vector<double> clock_errors, return_errors;
  double previous_end = 0.0;
  for (int i = 0; i < 100; ++i) {
    scanmon_block block{};
    ASSERT_EQ(scanmon_read_block(source_, 5000, &block, samples.data(), nullptr, 1000), SCANMON_OK)
        << scanmon_last_error();
    ASSERT_EQ(scanmon_block_times_get(source_, &times), SCANMON_OK);
    ASSERT_EQ(times.sequence, block.sequence);
    EXPECT_EQ(times.run_start, i == 0 ? 1 : 0);
    EXPECT_NE(times.clock_state, SCANMON_CLOCK_NONE);
    std::int64_t first_true = 0, last_true = 0;
    std::memcpy(&first_true, reinterpret_cast<const char*>(&samples[0]) + 52, 8);
    std::memcpy(&last_true, reinterpret_cast<const char*>(&samples[block.count - 1]) + 52, 8);
    ASSERT_NE(first_true, 0);
    EXPECT_NEAR(times.period_ns, 20000 / 1.00015, 20000 * 0.05);
    const double start = static_cast<double>(times.first_mono_ns);
    if (i > 0) {
      EXPECT_GT(start, previous_end) << "block " << i;
    }
    previous_end = start + (block.count - 1) * times.period_ns;
    clock_errors.push_back(std::fabs(start - static_cast<double>(first_true)));
    // The first sample's time as the return alone tells it.
    return_errors.push_back(std::fabs(static_cast<double>(block.mono_ns - last_true)));
    EXPECT_EQ(times.first_utc_ns - times.first_mono_ns, block.utc_ns - block.mono_ns);
  }
  std::sort(clock_errors.begin(), clock_errors.end());
  std::sort(return_errors.begin(), return_errors.end());
  // Uniform delays up to 2 ms: the returns are a millisecond late at the
  // median; the fit of the least late is far closer.
  EXPECT_LT(clock_errors[50], return_errors[50] / 2)
      << "clock " << clock_errors[50] << " ns, returns " << return_errors[50] << " ns";
  EXPECT_GT(times.residual_max_ns, times.residual_median_ns);
  EXPECT_GT(times.rate_hz, 49000.0);
  EXPECT_LT(times.rate_hz, 51000.0);
}

TEST_F(Scanner, RevolutionsComeWholeFromIndexMarkToIndexMark) {
  // The mirror at exactly 20 Hz and 50 kHz samples: 2500 samples a turn.
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  scanmon_revolution_options options;
  ASSERT_EQ(scanmon_revolution_options_init(&options), SCANMON_OK);
  scanmon_revolution_reader* reader = nullptr;
  ASSERT_EQ(scanmon_open_revolutions(source_, &options, &reader), SCANMON_OK)
      << scanmon_last_error();
  std::vector<scanmon_sample> samples(50000);
  scanmon_revolution previous{};
  for (int i = 0; i < 6; ++i) {
    scanmon_revolution r{};
    ASSERT_EQ(scanmon_read_revolution(reader, 5000, &r, samples.data(), 50000), SCANMON_OK)
        << scanmon_last_error();
    EXPECT_EQ(r.number, static_cast<std::uint64_t>(i));
    if (i == 0) {
      EXPECT_EQ(r.flags, SCANMON_REVOLUTION_CUT_START);
    } else {
      EXPECT_EQ(r.flags, 0u);
      EXPECT_NE(samples[0].flags & SCANMON_SAMPLE_INDEX, 0u);
      EXPECT_NEAR(r.count, 2500.0, 2.0);
      EXPECT_NEAR(r.rate_hz, 20.0, 0.25);  // the clock settles at up to 1 % a period
      EXPECT_NEAR(r.completeness, 1.0, 0.001);
      EXPECT_EQ(r.first_sample, previous.first_sample + previous.count);
      EXPECT_NEAR(static_cast<double>(r.start_mono_ns - previous.start_mono_ns),
                  previous.duration_ns, 1.0);
    }
    for (std::uint32_t k = 1; k < r.count; ++k) {
      ASSERT_EQ(samples[k].flags & SCANMON_SAMPLE_INDEX, 0u) << "one mark, at the start";
    }
    previous = r;
  }
  EXPECT_EQ(scanmon_close_revolutions(reader), SCANMON_OK);
  EXPECT_EQ(scanmon_read_revolution(reader, 0, &previous, nullptr, 0), SCANMON_E_ARGUMENT);
  options.max_samples = 10000001;
  EXPECT_EQ(scanmon_open_revolutions(source_, &options, &reader), SCANMON_E_ARGUMENT);
}

TEST_F(Scanner, TheCppReaderGrowsItsBufferAndSkipsTheCutFirstRevolution) {
  // The C++ layer's reader: an empty buffer grown to a whole turn on the first
  // read, complete revolutions only (the first, cut by the start, skipped but
  // counted), the reader closed before its source.
  scanmon::Source source;
  ASSERT_TRUE(scanmon::Source::OpenScanner(settings_, &source));
  scanmon::RevolutionReader reader;
  scanmon::Result r = scanmon::RevolutionReader::Open(source, &reader, true);
  ASSERT_TRUE(r) << r.text;
  std::uint64_t number = 0;
  r = reader.ForEachRevolution(
      [&](const scanmon::Revolution& turn) {
        EXPECT_TRUE(turn.complete());
        EXPECT_NEAR(turn.count(), 2500.0, 2.0);
        EXPECT_GE(turn.samples.size(), turn.count());
        EXPECT_NE(turn.samples[0].flags & SCANMON_SAMPLE_INDEX, 0u);
        number = turn.record.number;
        return number < 3;
      },
      5000);
  EXPECT_TRUE(r) << r.text;
  EXPECT_EQ(number, 3u);
  EXPECT_TRUE(reader.Close());
  EXPECT_FALSE(reader.is_open());
}

TEST_F(Scanner, LostDataIsMarkedOnceOnItsBlockAndTheCardRestarted) {
  // The card loses data on its third fetch, a short one (its buffer holds
  // exactly one fetch): that block carries the flag, though the driver
  // leaves the flag in the buffer's last slot. That buffer lasts 20 ms, so on
  // a busy machine (Wine, parallel tests) it also overflows for real now and
  // then: each block is flagged exactly when the stand-in reported its fetch
  // lost. Every fetch brings samples, so block n is fetch n + 1.
  SetVariable("HSIF_SIM_LOSE_DATA_AT", "3");
  SetVariable("HSIF_SIM_BUFFER", "1000");
  settings_.ring_ms = 5000;  // the reader never a whole ring behind
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  std::vector<scanmon_sample> samples(1000);
  std::vector<std::uint64_t> flagged;
  for (int i = 0; i < 12; ++i) {
    scanmon_block block{};
    ASSERT_EQ(scanmon_read_block(source_, 5000, &block, samples.data(), nullptr, 1000), SCANMON_OK)
        << scanmon_last_error();
    ASSERT_EQ(block.sequence, static_cast<std::uint64_t>(i));
    ASSERT_EQ(block.dropped_before, 0u);
    EXPECT_EQ(block.reserved, 0u) << "the held samples are the clock's note, not the caller's";
    if ((block.flags & SCANMON_BLOCK_LOST_DATA) != 0) flagged.push_back(block.sequence + 1);
  }
  scanmon_health health{};
  health.struct_size = sizeof health;
  ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
  EXPECT_EQ(scanmon_close(source_), SCANMON_OK);
  source_ = nullptr;

  // The stand-in logs its first ten lost fetches (the fetch thread may have
  // made more fetches than the blocks read): with fewer, the log names them all.
  const std::string log = Log();
  const std::size_t logged = test_support::CountOf(log, " lost=1 ");
  std::vector<std::uint64_t> reported;
  for (std::uint64_t fetch = 1; fetch <= 12; ++fetch) {
    if (Contains(log, " lost=1 fetch=" + std::to_string(fetch) + "\n")) reported.push_back(fetch);
  }
  if (logged < 10) {
    EXPECT_EQ(flagged, reported) << log;
    EXPECT_LE(health.lost_events, logged);
  } else {
    for (std::uint64_t fetch : reported) {
      EXPECT_NE(std::find(flagged.begin(), flagged.end(), fetch), flagged.end()) << fetch;
    }
  }
  EXPECT_GE(health.lost_events, flagged.size());
  const std::size_t lost = log.find("lost=1 fetch=3");
  ASSERT_NE(lost, std::string::npos) << log;
  EXPECT_NE(log.find("HsifSamplingEnable card=0", lost), std::string::npos) << log;
}

TEST_F(Scanner, DropsWhatAStalledReaderCannotTakeAndCountsItExactly) {
  settings_.ring_ms = 100;  // 5000 samples: five fetches
  // Unpaced, every fetch comes at once: the ring is full whenever the fetch
  // thread runs at all during the stall, however busy the machine.
  SetVariable("HSIF_SIM_UNPACED", "1");
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  std::vector<scanmon_sample> samples(1000);
  scanmon_block block{};
  ASSERT_EQ(scanmon_read_block(source_, 5000, &block, samples.data(), nullptr, 1000), SCANMON_OK);
  const std::uint32_t first_number = SampleNumber(samples[0]);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the reader stalls

  std::uint64_t expected_next = block.first_sample + block.count;
  std::uint64_t dropped = 0;
  std::uint64_t read = block.count;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(scanmon_read_block(source_, 5000, &block, samples.data(), nullptr, 1000), SCANMON_OK)
        << scanmon_last_error();
    // The block starts where the card's count says, and the stand-in's own
    // sample numbers agree: the gap is exactly what the block says was dropped.
    EXPECT_EQ(block.first_sample, expected_next + block.dropped_before);
    EXPECT_EQ((block.flags & SCANMON_BLOCK_DROPPED) != 0, block.dropped_before > 0);
    EXPECT_EQ(SampleNumber(samples[0]),
              static_cast<std::uint32_t>(first_number + block.first_sample));
    EXPECT_EQ(block.first_record, read);
    dropped += block.dropped_before;
    read += block.count;
    expected_next = block.first_sample + block.count;
  }
  scanmon_health health{};
  health.struct_size = sizeof health;
  ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
  EXPECT_GT(dropped, 0u) << "a reader stalled for 1 s behind a ring of 100 ms";
  // The library's count also holds fetches dropped since the last block read
  // (the unpaced card goes on filling the ring).
  EXPECT_GE(health.samples_dropped, dropped);
  EXPECT_GE(health.drop_events, 1u);
  EXPECT_LE(health.ring_peak_samples, health.ring_samples);
}

TEST_F(Scanner, CloseInAnyStatePowersTheMotorsOffAndReleasesTheCard) {
  const struct {
    const char* state;
    int settle_ms;
    const char* fail_fetch_after;
    int reads;  // blocks read before closing; -1: read until the fetch fails
  } cases[] = {
      {"settling", 60000, "", 0},
      {"running, never read", 0, "", 0},
      {"running, read", 0, "", 3},
      {"after a failed fetch", 0, "3", -1},
  };
  for (const auto& c : cases) {
    std::remove(log_.c_str());
    SetVariable("HSIF_SIM_FAIL_FETCH_AFTER", c.fail_fetch_after);
    settings_.settle_ms = c.settle_ms;
    ASSERT_EQ(Open(), SCANMON_OK) << c.state << ": " << scanmon_last_error();
    scanmon_block block{};
    for (int i = 0; i < c.reads; ++i) {
      ASSERT_EQ(scanmon_read_block(source_, 5000, &block, nullptr, nullptr, 0), SCANMON_OK);
    }
    if (c.reads < 0) {
      int status = SCANMON_OK;
      int blocks = 0;
      while ((status = scanmon_read_block(source_, 5000, &block, nullptr, nullptr, 0)) ==
             SCANMON_OK) {
        ++blocks;
      }
      EXPECT_EQ(status, SCANMON_E_FETCH) << scanmon_last_error();
      EXPECT_EQ(blocks, 3) << "the blocks fetched before the failure are read first";
      EXPECT_TRUE(Contains(scanmon_last_error(), "stopped delivering")) << scanmon_last_error();
    }
    if (c.settle_ms > 0) {
      EXPECT_EQ(scanmon_read_block(source_, 0, &block, nullptr, nullptr, 0), SCANMON_TIMEOUT);
    }
    EXPECT_EQ(scanmon_close(source_), SCANMON_OK);
    source_ = nullptr;
    ExpectReleased(Log(), c.state);
  }
}

TEST_F(Scanner, AFailedBringUpReleasesWhatItOpenedAndQuotesItsMessages) {
  // The message, and for the port and the calibration file the explanation
  // the monitor prints after it (the driver's reason among it).
  const struct {
    const char* step;
    int status;
    const char* message;
    const char* detail;
  } cases[] = {
      {"openport", SCANMON_E_BRING_UP, "Error: Serial Comm port open failed.",
       "driver: told to fail (HSIF_SIM_FAIL=openport)"},
      {"calibration-data", SCANMON_E_BRING_UP, "ERROR: Could not read calibration file",
       ": told to fail (HSIF_SIM_FAIL=calibration-data)"},
      {"encoder2", SCANMON_E_BRING_UP, "Error: Failed to set encoder2", ""},
      {"sample-period", SCANMON_E_BRING_UP, "minimum sample period is 5 us", ""},
  };
  for (const auto& c : cases) {
    std::remove(log_.c_str());
    SetVariable("HSIF_SIM_FAIL", c.step);
    EXPECT_EQ(Open(), c.status) << c.step;
    EXPECT_EQ(source_, nullptr);
    EXPECT_TRUE(Contains(scanmon_last_error(), c.message))
        << c.step << ": " << scanmon_last_error();
    EXPECT_TRUE(Contains(scanmon_last_error(), c.detail)) << c.step << ": " << scanmon_last_error();
    if (std::string(c.step) != "openport") {
      EXPECT_TRUE(Contains(Log(), "HsifClose card=0")) << c.step << "\n" << Log();
    }
    EXPECT_FALSE(Contains(Log(), "HsifSetMotorPower motor=1 power=200")) << c.step;
  }
  SetVariable("HSIF_SIM_FAIL", "");
  // The failed attempts left the process's scanner place free.
  EXPECT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
}

TEST_F(Scanner, OneScannerSourcePerProcess) {
  ASSERT_EQ(Open(), SCANMON_OK) << scanmon_last_error();
  scanmon_source* second = nullptr;
  EXPECT_EQ(scanmon_open_scanner(&settings_, &second), SCANMON_E_BUSY);
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(Contains(scanmon_last_error(), "already open")) << scanmon_last_error();
}

// ---------------------------------------------------------------------------
// Capture files written here: a version-3 header, records whose bytes 4..7
// number them, and a block index.

void PutLe(std::string* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

std::string HeaderBytes(std::uint32_t period_us, std::uint32_t buf_size, std::uint32_t count) {
  std::string h;
  for (std::uint32_t v : {3u, period_us, 1200u, buf_size, count, 4096u, 200u, 0u}) PutLe(&h, v, 4);
  h += std::string("\xc8\x64\x01\x00", 4);
  std::string name = "ar4000_demo.cal";
  name.resize(256, '\0');
  h += name;
  h.push_back(1);
  return h;
}

std::string Records(std::uint32_t count) {
  std::string r;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string record(64, '\0');
    std::uint16_t flags = i % 50 == 0 ? 4 : 0;
    std::memcpy(&record[0], &flags, 2);
    std::memcpy(&record[4], &i, 4);
    double angle = (i % 50) * 0.1;
    std::memcpy(&record[8], &angle, 8);
    r += record;
  }
  return r;
}

struct IndexBlock {
  std::uint32_t count;
  std::int64_t mono_ms;
  std::uint32_t flags = 0;
  std::uint64_t dropped_before = 0;  // the sample numbers jump by as many
};

// `index` with the 8-byte field at `offset` of block `block` set to `value`.
std::string Patched(std::string index, int block, int offset, std::uint64_t value) {
  std::string field;
  PutLe(&field, value, 8);
  index.replace(32 + 64 * block + offset, 8, field);
  return index;
}

std::string IndexBytes(const std::vector<IndexBlock>& blocks, std::uint32_t record_size = 64) {
  std::string x = "SCANMIDX";
  PutLe(&x, 1, 4);
  PutLe(&x, 32, 4);
  PutLe(&x, record_size, 4);
  PutLe(&x, 0, 4);
  PutLe(&x, 0, 8);
  std::uint64_t first = 0;
  std::uint64_t sequence = 0;
  std::uint64_t dropped = 0;
  for (const IndexBlock& b : blocks) {
    std::string r;
    dropped += b.dropped_before;
    PutLe(&r, sequence++, 8);
    PutLe(&r, first + dropped, 8);
    PutLe(&r, first, 8);
    PutLe(&r, b.count, 4);
    PutLe(&r, b.flags, 4);
    PutLe(&r, b.dropped_before, 8);
    PutLe(&r, 1700000000000000000ULL + b.mono_ms * 1000000, 8);
    PutLe(&r, static_cast<std::uint64_t>(b.mono_ms) * 1000000, 8);
    PutLe(&r, 0, 8);
    r.resize(record_size, '\0');
    x += r;
    first += b.count;
  }
  return x;
}

class Capture : public testing::Test {
 protected:
  void Write(std::uint32_t records, const std::vector<IndexBlock>& index) {
    scratch_.Write("cap.prc", HeaderBytes(20, 100, records) + Records(records));
    if (!index.empty()) scratch_.Write("cap.idx", IndexBytes(index));
  }
  int Open(const scanmon_capture_options* options) {
    return scanmon_open_capture(base_.c_str(), options, &source_);
  }
  void TearDown() override { scanmon_close(source_); }

  // Reads until the end (or `limit` blocks): the blocks, each checked against
  // the record numbers.
  std::vector<scanmon_block> ReadAll(int limit = 1000) {
    std::vector<scanmon_block> blocks;
    std::vector<scanmon_sample> samples(400);
    for (int i = 0; i < limit; ++i) {
      scanmon_block block{};
      int status = scanmon_read_block(source_, -1, &block, samples.data(), nullptr, 400);
      if (status == SCANMON_END) break;
      EXPECT_EQ(status, SCANMON_OK) << scanmon_last_error();
      if (status != SCANMON_OK) break;
      for (std::uint32_t k = 0; k < block.count; ++k) {
        EXPECT_EQ(SampleNumber(samples[k]), (block.first_record + k) % records_) << "block " << i;
      }
      blocks.push_back(block);
    }
    return blocks;
  }

  ScratchDir scratch_;
  std::string base_ = scratch_.File("cap");
  std::uint64_t records_ = 0;
  scanmon_source* source_ = nullptr;
};

TEST_F(Capture, ReadsTheBlocksTheIndexNames) {
  records_ = 300;
  Write(300, {{70, 0}, {200, 10}, {30, 14}});
  ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  ASSERT_EQ(scanmon_source_info_get(source_, &info), SCANMON_OK);
  EXPECT_EQ(info.has_index, 1);
  EXPECT_EQ(info.max_block_samples, 200u);
  EXPECT_EQ(info.records, 300u);
  std::vector<scanmon_block> blocks = ReadAll();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1].count, 200u);
  EXPECT_EQ(blocks[1].first_record, 70u);
  EXPECT_EQ(blocks[2].mono_ns, 14000000);
  scanmon_health health{};
  health.struct_size = sizeof health;
  ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
  EXPECT_EQ(health.index_marks, 6u);
  EXPECT_EQ(health.samples_read, 300u);
  scanmon_capture_header header{};
  header.struct_size = sizeof header;
  ASSERT_EQ(scanmon_capture_header_get(source_, &header), SCANMON_OK);
  EXPECT_EQ(header.num_samples, 300u);
  EXPECT_STREQ(header.cal_file, "ar4000_demo.cal");
}

TEST_F(Capture, NoRevolutionIsMeasuredAcrossMissingSamples) {
  // Index marks every 50 samples (1000 rev/s at 20 us); after the first 100
  // records 25 samples are missing, so the records kept go on half a turn
  // later: a revolution measured across the gap would come out 75 samples
  // long (666.7 rev/s).
  const std::string all = Records(325);
  const std::string kept = all.substr(0, 100 * 64) + all.substr(125 * 64);
  const struct {
    const char* why;
    std::vector<IndexBlock> index;
  } cases[] = {
      {"dropped before the block", {{100, 0}, {200, 2, SCANMON_BLOCK_DROPPED, 25}}},
      {"the card lost data on the block before", {{100, 0, SCANMON_BLOCK_LOST_DATA}, {200, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    scratch_.Write("cap.prc", HeaderBytes(20, 100, 300) + kept);
    scratch_.Write("cap.idx", IndexBytes(c.index));
    ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
    std::vector<scanmon_sample> samples(300);
    scanmon_block block{};
    while (scanmon_read_block(source_, -1, &block, samples.data(), nullptr, 300) == SCANMON_OK) {
    }
    scanmon_health health{};
    health.struct_size = sizeof health;
    ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
    EXPECT_DOUBLE_EQ(health.total_rate_min, 1000.0);
    EXPECT_DOUBLE_EQ(health.total_rate_max, 1000.0);
    scanmon_close(source_);
    source_ = nullptr;
  }
}

TEST_F(Capture, WithoutAnIndexCutsBlocksOfTheFetchSizeAndLoops) {
  records_ = 250;
  Write(250, {});
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  options.loop = 1;
  ASSERT_EQ(Open(&options), SCANMON_OK) << scanmon_last_error();
  std::vector<scanmon_block> blocks = ReadAll(7);
  ASSERT_EQ(blocks.size(), 7u);
  const std::uint32_t counts[] = {100, 100, 50, 100, 100, 50, 100};
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].count, counts[i]) << i;
    EXPECT_EQ(blocks[i].sequence, i);
    EXPECT_EQ(blocks[i].mono_ns, static_cast<std::int64_t>(blocks[i].first_sample) * 20000);
  }
  EXPECT_EQ(blocks[3].first_record, 250u) << "a second pass runs on";
}

TEST_F(Capture, ReadsTheRawRecordsBesideTheProcessedOnes) {
  records_ = 150;
  Write(150, {});
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  options.with_raw = 1;
  EXPECT_EQ(Open(&options), SCANMON_E_FILE) << "no .raw file";
  std::string raw = HeaderBytes(20, 100, 150);
  for (std::uint32_t i = 0; i < 150; ++i) {
    for (std::uint32_t word : {0u, 0u, 0u, i}) PutLe(&raw, word, 4);
  }
  scratch_.Write("cap.raw", raw);
  ASSERT_EQ(Open(&options), SCANMON_OK) << scanmon_last_error();
  std::vector<scanmon_raw_sample> raws(100);
  scanmon_block block{};
  for (std::uint64_t first : {0u, 100u}) {
    ASSERT_EQ(scanmon_read_block(source_, 0, &block, nullptr, raws.data(), 100), SCANMON_OK);
    ASSERT_EQ(block.first_record, first);
    for (std::uint32_t k = 0; k < block.count; ++k) ASSERT_EQ(raws[k].words[3], first + k);
  }
  EXPECT_EQ(block.count, 50u);
}

TEST_F(Capture, PacedReadingTakesTheRecordedTime) {
  records_ = 300;
  Write(300, {{100, 0}, {100, 150}, {100, 300}});
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  options.paced = 1;
  ASSERT_EQ(Open(&options), SCANMON_OK);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAll().size(), 3u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(295));
  // The reader's clock measured the run; read unpaced there is no clock to
  // measure by, and the figures say so.
  for (int paced : {1, 0}) {
    SCOPED_TRACE(paced);
    if (paced == 0) {
      scanmon_close(source_);
      options.paced = 0;
      ASSERT_EQ(Open(&options), SCANMON_OK);
      ReadAll();
    }
    scanmon_health health{};
    health.struct_size = sizeof health;
    ASSERT_EQ(scanmon_health_get(source_, &health), SCANMON_OK);
    EXPECT_EQ(health.run_s_known, paced);
    if (paced == 1) {
      EXPECT_GE(health.run_s, 0.29);
    } else {
      EXPECT_EQ(health.run_s, 0.0);
    }
    EXPECT_EQ(health.rates_known, 0) << "under a second of samples";
  }
}

TEST_F(Capture, RefusesFilesItCannotRead) {
  records_ = 100;
  const struct {
    const char* name;
    std::string idx;
    int status;
    const char* message;
  } cases[] = {
      {"another magic", "NOTANIDX" + IndexBytes({{100, 0}}).substr(8), SCANMON_E_FORMAT,
       "no SCANMIDX"},
      {"short header", "SCANMIDX", SCANMON_E_FORMAT, "ends inside its header"},
      // Blocks out of order, as capture-info judges them too.
      {"overlapping blocks", Patched(IndexBytes({{50, 0}, {50, 1}}), 1, 16, 20), SCANMON_E_FORMAT,
       "block 1 starts at record 20 where"},
      {"a fetch number repeated", Patched(IndexBytes({{50, 0}, {50, 1}}), 1, 0, 0),
       SCANMON_E_FORMAT, "not above the previous 0"},
      {"time running back", IndexBytes({{50, 5}, {50, 1}}), SCANMON_E_FORMAT,
       "before the previous block's"},
      {"a span no clock holds",
       Patched(Patched(IndexBytes({{50, 0}, {50, 1}}), 0, 48, 1ULL << 63), 1, 48, (1ULL << 63) - 1),
       SCANMON_E_FORMAT, "further from the first than a clock holds"},
      {"a pass one spacing longer than a clock",
       Patched(IndexBytes({{50, 0}, {50, 1}}), 1, 48, 1ULL << 62), SCANMON_E_FORMAT,
       "span more than a clock holds"},
      {"a block larger than a fetch", Patched(IndexBytes({{100, 0}}), 0, 24, 30001),
       SCANMON_E_FORMAT, "more than the largest fetch (30000)"},
  };
  for (const auto& c : cases) {
    Write(100, {});
    scratch_.Write("cap.idx", c.idx);
    EXPECT_EQ(Open(nullptr), c.status) << c.name;
    EXPECT_TRUE(Contains(scanmon_last_error(), c.message))
        << c.name << ": " << scanmon_last_error();
  }
  EXPECT_EQ(scanmon_open_capture(scratch_.File("missing").c_str(), nullptr, &source_),
            SCANMON_E_FILE);
  scratch_.Write("text.prc", std::string(400, 'x'));
  EXPECT_EQ(scanmon_open_capture(scratch_.File("text").c_str(), nullptr, &source_),
            SCANMON_E_FORMAT);
  // An index cut inside its last record: the whole records count.
  Write(100, {});
  scratch_.Write("cap.idx", IndexBytes({{40, 0}, {60, 1}}).substr(0, 32 + 64 + 10));
  ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
  EXPECT_EQ(ReadAll().size(), 1u);
  EXPECT_TRUE(Contains(scanmon_last_error(), "10 bytes")) << scanmon_last_error();
}

// A field's value by name comes from the map beside the capture; without one
// nothing is decoded, and a bad one is refused at open with its line.
TEST_F(Capture, NamedFieldsComeFromTheMapBesideTheCapture) {
  records_ = 300;
  Write(300, {{100, 0}, {200, 10}});
  ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
  std::uint32_t count = 99;
  ASSERT_EQ(scanmon_field_count(source_, &count), SCANMON_OK);
  EXPECT_EQ(count, 0u);
  scanmon_sample sample{};
  double value = 0;
  EXPECT_EQ(scanmon_field_get(source_, "number", &sample, &value), SCANMON_E_ARGUMENT);
  EXPECT_TRUE(Contains(scanmon_last_error(), "no field map")) << scanmon_last_error();
  scanmon_close(source_);
  source_ = nullptr;

  scratch_.Write("cap.fields", "scanmon-fields 1\nnumber 4 u32 2 counts\n");
  ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
  ASSERT_EQ(scanmon_field_count(source_, &count), SCANMON_OK);
  ASSERT_EQ(count, 1u);
  scanmon_field field{};
  field.struct_size = sizeof field;
  ASSERT_EQ(scanmon_field_info(source_, 0, &field), SCANMON_OK);
  EXPECT_STREQ(field.name, "number");
  EXPECT_STREQ(field.unit, "counts");
  EXPECT_EQ(field.offset, 4u);
  EXPECT_EQ(field.size, 4u);
  EXPECT_EQ(field.type, SCANMON_FIELD_U32);
  EXPECT_EQ(field.scale, 2.0);
  EXPECT_EQ(scanmon_field_info(source_, 1, &field), SCANMON_E_ARGUMENT);
  std::uint32_t index = 9;
  EXPECT_EQ(scanmon_field_find(source_, "range", &index), SCANMON_E_ARGUMENT);
  ASSERT_EQ(scanmon_field_find(source_, "number", &index), SCANMON_OK);
  EXPECT_EQ(index, 0u);

  std::vector<scanmon_sample> samples(200);
  std::vector<double> values(200);
  scanmon_block block{};
  ASSERT_EQ(scanmon_read_block(source_, -1, &block, samples.data(), nullptr, 200), SCANMON_OK);
  ASSERT_EQ(scanmon_read_block(source_, -1, &block, samples.data(), nullptr, 200), SCANMON_OK);
  ASSERT_EQ(scanmon_field_values(source_, index, samples.data(), block.count, values.data()),
            SCANMON_OK);
  for (std::uint32_t k = 0; k < block.count; k += 37) {
    ASSERT_EQ(scanmon_field_get(source_, "number", &samples[k], &value), SCANMON_OK);
    EXPECT_EQ(value, 2.0 * (block.first_record + k));
    EXPECT_EQ(values[k], value);
  }

  // A map given to the source: a missing file keeps the one it had; null
  // takes it away.
  EXPECT_EQ(scanmon_fields_load(source_, scratch_.File("none.fields").c_str()), SCANMON_E_FILE);
  EXPECT_EQ(scanmon_field_count(source_, &count), SCANMON_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(scanmon_fields_load(source_, nullptr), SCANMON_OK);
  EXPECT_EQ(scanmon_field_count(source_, &count), SCANMON_OK);
  EXPECT_EQ(count, 0u);
  scanmon_close(source_);
  source_ = nullptr;

  scratch_.Write("cap.fields", "scanmon-fields 1\n\nnumber 4 u32 2\n");
  EXPECT_EQ(Open(nullptr), SCANMON_E_FORMAT);
  EXPECT_EQ(source_, nullptr);
  EXPECT_TRUE(Contains(scanmon_last_error(), "cap.fields line 3: a field is five words"))
      << scanmon_last_error();
}

TEST_F(Capture, ACutCaptureIsReadToItsLastWholeBlockAndSaysSo) {
  // A recorder killed in its first second leaves a header count of 0: not a
  // cut, and readable. A header or index that promises more than the files
  // hold: the whole blocks are read, with or without the index.
  records_ = 200;
  const struct {
    const char* name;
    std::uint32_t header_count;
    std::vector<IndexBlock> index;
    std::size_t blocks;
    std::uint64_t expected;
  } cases[] = {
      {"header count 0", 0, {}, 2, 0},
      {"header says more, no index", 600, {}, 2, 600},
      {"index past the records", 200, {{80, 0}, {80, 1}, {80, 2}, {80, 3}}, 2, 320},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_.Write("cap.prc", HeaderBytes(20, 100, c.header_count) + Records(200));
    std::filesystem::remove(scratch_.File("cap.idx"));
    if (!c.index.empty()) scratch_.Write("cap.idx", IndexBytes(c.index));
    ASSERT_EQ(Open(nullptr), SCANMON_OK) << scanmon_last_error();
    EXPECT_EQ(ReadAll().size(), c.blocks);
    const bool cut = c.expected > 200;
    EXPECT_EQ(Contains(scanmon_last_error(), "it was cut"), cut) << scanmon_last_error();
    scanmon_source_info info{};
    info.struct_size = sizeof info;
    ASSERT_EQ(scanmon_source_info_get(source_, &info), SCANMON_OK);
    EXPECT_EQ(info.records, 200u);
    EXPECT_EQ(info.records_expected, c.expected);
    EXPECT_EQ(info.cut, cut ? 1 : 0);
    scanmon_close(source_);
    source_ = nullptr;
  }
}

// (On Windows the source opens its files sharing them for reading only: no
// other program can cut them while they are open.)
#if !defined(_WIN32)
TEST_F(Capture, AFailedReadStaysFailed) {
  records_ = 300;
  Write(300, {});
  ASSERT_EQ(Open(nullptr), SCANMON_OK);
  std::vector<scanmon_sample> samples(100);
  scanmon_block block{};
  ASSERT_EQ(scanmon_read_block(source_, 0, &block, samples.data(), nullptr, 100), SCANMON_OK);
  // The file cut under the reader, inside its second block.
  std::filesystem::resize_file(scratch_.File("cap.prc"),
                               HeaderBytes(20, 100, 300).size() + 150 * 64);
  for (int read = 0; read < 2; ++read) {
    EXPECT_EQ(scanmon_read_block(source_, 0, &block, samples.data(), nullptr, 100), SCANMON_E_FILE)
        << read;
    EXPECT_TRUE(Contains(scanmon_last_error(), "cap.prc failed")) << scanmon_last_error();
  }
}
#endif

TEST_F(Capture, OverlappingCallsAreRefusedNotFollowed) {
  // A read waits for a block due 1.5 s on; meanwhile another thread's calls,
  // a close among them, are refused, and nothing is freed under the read.
  records_ = 200;
  Write(200, {{100, 0}, {100, 1500}});
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  options.paced = 1;
  ASSERT_EQ(Open(&options), SCANMON_OK);
  std::vector<scanmon_sample> first(100), second(100);
  scanmon_block block{};
  ASSERT_EQ(scanmon_read_block(source_, 0, &block, first.data(), nullptr, 100), SCANMON_OK);
  int waited = SCANMON_E_ARGUMENT;
  std::thread reader([&] {
    scanmon_block later{};
    do {  // (refused itself while this thread's health call below holds the source)
      waited = scanmon_read_block(source_, -1, &later, second.data(), nullptr, 100);
    } while (waited == SCANMON_E_STATE);
  });
  scanmon_health health{};
  health.struct_size = sizeof health;
  int status = SCANMON_OK;
  for (int i = 0; i < 100 && status == SCANMON_OK; ++i) {
    status = scanmon_health_get(source_, &health);
    if (status == SCANMON_OK) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(status, SCANMON_E_STATE) << "the read is waiting";
  EXPECT_EQ(scanmon_read_block(source_, 0, &block, first.data(), nullptr, 100), SCANMON_E_STATE);
  EXPECT_EQ(scanmon_close(source_), SCANMON_E_STATE);
  EXPECT_TRUE(Contains(scanmon_last_error(), "still running")) << scanmon_last_error();
  reader.join();
  EXPECT_EQ(waited, SCANMON_OK);
  EXPECT_EQ(SampleNumber(second[99]), 199u);
  EXPECT_EQ(scanmon_close(source_), SCANMON_OK);
  source_ = nullptr;
}

TEST(Library, ASettingsFileOutOfRangeIsNamedInOneWholeText) {
  // The text of the settings check is quoted into the file's own: once
  // written over itself while it was read.
  ScratchDir scratch;
  const std::string path = scratch.File("a-properties-file-with-a-longish-name.props");
  const struct {
    const char* line;
    const char* reason;
  } cases[] = {
      {"laser_serial_port=999", "settings: com_port is 999; it must be 1 to 255"},
      {"laser_sample_period=0", "settings: sample_period_us is 0; it must be 5 to 1000000"},
      {"laser_hsif_board=16", "settings: card_number is 16; it must be 0 to 15"},
      {"laser_power_level=300",
       "settings: motor_power[0] is 300; it must be 0 to 255, or -1 (not switched)"},
      {"laser_max_range=-5", "settings: max_range_in is -5; it must be 1 to 99999"},
  };
  for (const auto& c : cases) {
    std::string text =
        "laser_serial_port=1\nlaser_hsif_board=0\nlaser_sample_period=20\nlaser_max_range=1200\n"
        "laser_motor_number=1\nlaser_power_level=200\ncalibration_file=cal.dat\n";
    text += std::string(c.line) + "\n";
    scratch.Write("a-properties-file-with-a-longish-name.props", text);
    scanmon_scanner_settings settings;
    EXPECT_EQ(scanmon_settings_from_properties(path.c_str(), &settings), SCANMON_E_SETTINGS);
    EXPECT_EQ(std::string(scanmon_last_error()), "properties " + path + ": " + c.reason);
  }
}

TEST(Library, SettingsReadOtherwiseThanTypedAreToldAndCanBeRefused) {
  ScratchDir scratch;
  const std::string config = scratch.Write(
      "scan.cfg", "3\n1\n0\n20\n1200\n5O00\n20000\n200\n100\n4096\n200\ncal.dat\nscan\n0\n0\n0\n");
  const std::string properties =
      scratch.Write("p.props",
                    "laser_serial_port=1\nlaser_sample_period=20abc\nlaser_max_range=1200\n"
                    "laser_motor_number=1\ncalibration_file=cal.dat\n");
  using Reader = int (*)(const char*, scanmon_scanner_settings*, scanmon_settings_warnings*);
  const struct {
    const char* path;
    Reader read;
    const char* warning;
  } cases[] = {
      {config.c_str(), scanmon_settings_from_config_checked,
       "line 6 (Buffer size for intermediate sample storage (30,000 max)): \"5O00\" is read as 5"},
      {properties.c_str(), scanmon_settings_from_properties_checked,
       "line 2: laser_sample_period=20abc is read as 20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    scanmon_settings_warnings warnings;
    ASSERT_EQ(scanmon_settings_warnings_init(&warnings), SCANMON_OK);
    scanmon_scanner_settings settings;
    scanmon_scanner_settings_init(&settings);
    ASSERT_EQ(c.read(c.path, &settings, &warnings), SCANMON_OK) << scanmon_last_error();
    EXPECT_EQ(warnings.count, 1);
    EXPECT_TRUE(Contains(warnings.text, c.warning)) << warnings.text;
    warnings.refuse = 1;
    scanmon_scanner_settings kept;
    scanmon_scanner_settings_init(&kept);
    EXPECT_EQ(c.read(c.path, &kept, &warnings), SCANMON_E_SETTINGS);
    EXPECT_TRUE(Contains(scanmon_last_error(), c.warning)) << scanmon_last_error();
    EXPECT_EQ(kept.sample_period_us, 20) << "unchanged";
    EXPECT_EQ(kept.fetch_samples, 5000) << "unchanged";
  }
}

TEST(Library, BadArgumentsAreRefusedNotFollowed) {
  ScratchDir scratch;
  scratch.Write("cap.prc", HeaderBytes(20, 100, 100) + Records(100));
  scanmon_source* source = nullptr;
  ASSERT_EQ(scanmon_open_capture(scratch.File("cap.prc").c_str(), nullptr, &source), SCANMON_OK);
  scanmon_block block{};
  scanmon_sample samples[100];
  scanmon_raw_sample raw[100];
  scanmon_health health{};
  scanmon_source_info info{};
  info.struct_size = 7;
  scanmon_scanner_settings settings;
  scanmon_scanner_settings_init(&settings);  // no calibration file
  scanmon_source* refused = source;          // a refused open sets it to null

  const struct {
    const char* call;
    int status;
  } cases[] = {
      {"read, null source", scanmon_read_block(nullptr, 0, &block, samples, nullptr, 100)},
      {"read, null block", scanmon_read_block(source, 0, nullptr, samples, nullptr, 100)},
      {"read, raw of a source without", scanmon_read_block(source, 0, &block, samples, raw, 100)},
      {"health, no struct_size", scanmon_health_get(source, &health)},
      {"info, wrong struct_size", scanmon_source_info_get(source, &info)},
      {"header, null", scanmon_capture_header_get(source, nullptr)},
      {"open scanner, null out", scanmon_open_scanner(&settings, nullptr)},
      {"open scanner, no calibration file", scanmon_open_scanner(&settings, &refused)},
      {"open capture, null base", scanmon_open_capture(nullptr, nullptr, &refused)},
      {"settings from null path", scanmon_settings_from_config(nullptr, &settings)},
      {"init null", scanmon_scanner_settings_init(nullptr)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, SCANMON_E_ARGUMENT) << c.call;
  EXPECT_EQ(refused, nullptr);

  settings.calibration_file[0] = 'x';
  for (auto* field :
       {&settings.com_port, &settings.fetch_samples, &settings.ring_ms, &settings.motor_power[3]}) {
    const std::int32_t kept = *field;
    *field = 1000000;
    scanmon_source* never = nullptr;
    EXPECT_EQ(scanmon_open_scanner(&settings, &never), SCANMON_E_ARGUMENT) << scanmon_last_error();
    *field = kept;
  }

  // A buffer too small: the block is told, and still the next one to read.
  EXPECT_EQ(scanmon_read_block(source, 0, &block, samples, nullptr, 10), SCANMON_E_BUFFER);
  EXPECT_EQ(block.count, 100u);
  EXPECT_EQ(scanmon_read_block(source, 0, &block, samples, nullptr, 100), SCANMON_OK);
  EXPECT_EQ(SampleNumber(samples[99]), 99u);
  EXPECT_EQ(scanmon_read_block(source, 0, &block, samples, nullptr, 100), SCANMON_END);

  // A caller built against 1.1.0's smaller structs is still served.
  health.struct_size = 192;
  EXPECT_EQ(scanmon_health_get(source, &health), SCANMON_OK);
  info.struct_size = 40;
  EXPECT_EQ(scanmon_source_info_get(source, &info), SCANMON_OK);
  EXPECT_EQ(info.records, 100u);

  EXPECT_EQ(scanmon_close(source), SCANMON_OK);
  EXPECT_EQ(scanmon_close(source), SCANMON_E_ARGUMENT) << "closed twice";
  EXPECT_EQ(scanmon_close(nullptr), SCANMON_OK);

  for (int status = -11; status <= 2; ++status) {
    EXPECT_NE(std::string(scanmon_status_name(status)), "SCANMON_UNKNOWN") << status;
  }
  EXPECT_STREQ(scanmon_status_name(99), "SCANMON_UNKNOWN");
  int major = 0, minor = 0;
  const int version = scanmon_version(&major, &minor, nullptr);
  EXPECT_EQ(version, major * 10000 + minor * 100);
  EXPECT_EQ(major, SCANMON_VERSION_MAJOR);
}

}  // namespace
