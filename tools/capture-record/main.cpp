// capture-record: takes a capture from the scanner into its .prc (and .raw)
// files, as the capture configuration describes it.
//
// The fetch loop runs on the main thread and never waits for the disk: each
// fetch is processed and handed to the capture writer's rings, whose thread
// writes the files (record/capture_writer.h). The loop keeps the card's pace;
// the disk may lag by as much as the rings hold.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "capture/block_index.h"
#include "capture/capture_config.h"
#include "capture/capture_header.h"
#include "capture/config_warning.h"
#include "health/scan_health.h"
#include "hsif/driver_binding.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/error_text.h"
#include "platform/interrupt.h"
#include "platform/sleep.h"
#include "procenv/process_settings.h"
#include "record/capture_writer.h"
#include "record_options.h"
#include "record_status.h"
#include "scanner/bring_up.h"

namespace {

constexpr char kQuitKey = 'x';
// The configuration's largest buffer size; the fetch buffers are this big.
constexpr std::uint32_t kMaxFetchSamples = 30000;
// The stabilisation wait looks for a stop this often.
constexpr win::DWORD kWaitSliceMs = 50;
// A card that answers fetches without samples for this long (or for ten sample
// periods, when that is longer) has stopped delivering: the capture ends as
// after a failed fetch.
constexpr double kSilenceSeconds = 5.0;
constexpr double kSilencePeriods = 10.0;

// Fetch buffers, in static storage: nothing is allocated per fetch.
RawSample g_raw[kMaxFetchSamples];
ProcessedSample g_processed[kMaxFetchSamples];
HealthState g_health;
MonitorPortStorage g_port_storage;

double NowSeconds() {
  return platform::MonotonicSeconds();
}

// A repeated stop request: the end skips writing out what the rings hold.
bool HurryAsked() {
  return platform::StopRequestCount() >= 2;
}

bool StopAsked() {
  if (platform::StopRequested()) return true;
  while (win::_kbhit() != 0) {
    if (win::_getch() == kQuitKey) return true;
  }
  return false;
}

// What the configuration file gives.
struct Configuration {
  CaptureHeader header{};
  std::int32_t stabilization_ms = 0;
  char raw_path[kCaptureFileNameBytes] = {};
  char prc_path[kCaptureFileNameBytes] = {};
  char idx_path[kCaptureFileNameBytes + 8] = {};
  std::uint8_t single_cpu = 0;
  std::uint8_t write_raw = 0;
};

bool FileExists(const char* path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

// Waits the motors' stabilisation delay; false when a stop came first.
bool WaitForMotors(std::int32_t delay_ms) {
  if (delay_ms <= 0) return !StopAsked();
  std::fprintf(stderr, "Waiting %ld ms for the motors to settle ('x' or Ctrl-C stops)\n",
               static_cast<long>(delay_ms));
  double end = NowSeconds() + delay_ms / 1000.0;
  while (NowSeconds() < end) {
    if (StopAsked()) return false;
    win::Sleep(kWaitSliceMs);
  }
  return !StopAsked();
}

// The fetch loop: until the configured count is recorded, a stop, a failed
// write or a failed fetch.
struct LoopResult {
  std::uint64_t recorded = 0;
  std::uint64_t lost_events = 0;   // fetches on which the card reported lost data
  std::uint64_t ring_dropped = 0;  // samples not kept: the rings were full
  std::uint64_t ring_events = 0;
  bool stopped = false;
  bool fetch_failed = false;
  bool silent = false;  // the card answered without samples for too long
  double silent_s = 0;
  double start_s = 0;
  double end_s = 0;
};

LoopResult RunCapture(CardHandle card, const Configuration& config, CaptureWriter* writer,
                      StatusLine* status) {
  const std::uint32_t capacity = config.header.buf_size;
  const std::uint64_t target = config.header.num_samples;
  const bool keep_raw = config.write_raw == 1;
  LoopResult r;
  std::uint64_t dropping = 0;  // samples not kept since the ring last took a fetch
  // The block index's account: fetches with samples and samples delivered, and
  // what the next kept block must say about the gap before it.
  BlockRecord block{};
  std::uint64_t delivered = 0;
  std::uint32_t pending_flags = 0;
  const double period_s = config.header.sample_period * 1e-6;
  const double silence_limit_s =
      kSilencePeriods * period_s > kSilenceSeconds ? kSilencePeriods * period_s : kSilenceSeconds;
  StartHealth(g_health, HealthSettings{});
  r.start_s = NowSeconds();
  double last_samples_s = r.start_s;
  while (r.recorded < target) {
    if (StopAsked()) {
      r.stopped = true;
      break;
    }
    if (writer->Failed()) break;
    std::uint32_t fetched = 0;
    // The lost-data bit is cleared first, so a driver that writes it only on
    // some fetches cannot repeat an old report.
    g_raw[capacity - 1].words[0] &= ~kRawLostDataBit;
    if (g_driver.HsifGetBufferedSamples(card, g_raw, static_cast<std::int32_t>(capacity), &fetched,
                                        1) == 0) {
      r.fetch_failed = true;
      break;
    }
    const long long utc_ns = platform::UtcNanoseconds();
    const long long mono_ns = platform::MonotonicNanoseconds();
    const double now_s = static_cast<double>(mono_ns) * 1e-9;
    if (fetched > capacity) fetched = capacity;
    // The driver's lost-data signal: bit 0 of the first word of the last slot
    // of the buffer handed over, whatever the fetched count.
    const bool lost = (g_raw[capacity - 1].words[0] & kRawLostDataBit) != 0;
    if (lost) {
      // As the monitor does: start the card's buffer afresh and go on.
      g_driver.HsifClearSampleBuffer(card);
      ++r.lost_events;
      status->Note("data lost at sample %llu", static_cast<unsigned long long>(r.recorded));
      if (g_driver.HsifSamplingEnable(card) == 0) {
        status->Note("restarting the card's sampling after lost data failed");
        r.fetch_failed = true;
        break;
      }
      // This fetch's block (or the next, when it brought none) carries it.
      pending_flags |= SCANMON_BLOCK_CARD_LOST;
    }
    if (fetched == 0 && !lost) {
      if (now_s - last_samples_s >= silence_limit_s) {
        r.fetch_failed = true;
        r.silent = true;
        r.silent_s = now_s - last_samples_s;
        break;
      }
    } else {
      last_samples_s = now_s;
    }
    std::uint64_t left = target - r.recorded;
    std::uint32_t take = left < fetched ? static_cast<std::uint32_t>(left) : fetched;
    if (take > 0) {
      g_driver.HsifProcessSamples(card, g_raw, g_processed, static_cast<std::int32_t>(take));
    }
    FeedHealth(g_health, g_processed, take, lost, config.header.sample_period, now_s);
    // The buffer was started afresh after this fetch: samples are missing
    // after it too, and no revolution may be measured across them.
    if (lost) NoteHealthGap(g_health);
    if (take > 0) {
      block.first_sample = delivered;
      block.first_record = r.recorded;
      block.count = take;
      block.flags = pending_flags | (dropping > 0 ? SCANMON_BLOCK_DROPPED : 0u);
      block.dropped_before = dropping;
      block.utc_ns = utc_ns;
      block.mono_ns = mono_ns;
      ++block.sequence;
      delivered += take;
      BlockRecord kept = block;
      --kept.sequence;  // numbered from 0
      if (writer->Append(g_processed, keep_raw ? g_raw : nullptr, take, kept)) {
        pending_flags = 0;
        if (dropping > 0) {
          status->Note("ring drained: %llu samples not kept at sample %llu",
                       static_cast<unsigned long long>(dropping),
                       static_cast<unsigned long long>(r.recorded));
        }
        dropping = 0;
        r.recorded += take;
      } else {
        // The disk is behind by more than the rings hold: these samples are
        // lost, counted, and said once per episode.
        if (dropping == 0) {
          ++r.ring_events;
          status->Note("ring full at sample %llu: the disk is behind, samples are not kept",
                       static_cast<unsigned long long>(r.recorded));
        }
        dropping += take;
        r.ring_dropped += take;
      }
    }
    const double elapsed = NowSeconds() - r.start_s;
    if (status->Due(elapsed)) {
      status->Update(r.recorded, target, r.lost_events + r.ring_events, writer->BytesWritten(),
                     ReadHealth(g_health), elapsed);
    }
  }
  if (dropping > 0) {
    status->Note("ring still full at the end: %llu samples not kept at sample %llu",
                 static_cast<unsigned long long>(dropping),
                 static_cast<unsigned long long>(r.recorded));
  }
  r.end_s = NowSeconds();
  return r;
}

// The configuration's lines that carry text right after their number.
struct ConfigWarnings {
  const char* path;
  int count;
};

void WarnNumberLine(int number, const char* line, std::int32_t value, void* context) {
  auto* warnings = static_cast<ConfigWarnings*>(context);
  ++warnings->count;
  std::fflush(stdout);
  WarnNumberWithText(stderr, "capture-record", warnings->path, number, line, value);
}

void ReportWriteFailure(const WriteFailure& failure) {
  char reason[platform::kErrorTextSize + 32];
  DescribeError(failure.error, reason, sizeof reason);
  std::fprintf(stderr, "capture-record: %s %s failed: %s\n", failure.action,
               failure.path != nullptr ? failure.path : "(file)", reason);
}

}  // namespace

int main(int argc, char** argv) {
  RecordOptions options;
  int parsed = ParseRecordOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;

  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  platform::InstallStopHandlers();

  // 1. The configuration, echoed as the reader does.
  Configuration config;
  CaptureConfigReport report;
  ConfigWarnings warnings{options.config_path, 0};
  report.on_number_with_text = WarnNumberLine;
  report.context = &warnings;
  if (!ReadCaptureConfigReported(options.config_path, &config.header, &config.stabilization_ms,
                                 config.raw_path, config.prc_path, &config.single_cpu,
                                 &config.write_raw, report)) {
    return kExitSetup;
  }
  if (warnings.count > 0 && !options.accept_warnings) {
    // A capture of 2 samples instead of 2,000,000 is the expensive way to find a comma.
    std::fprintf(stderr,
                 "capture-record: %s: %d line%s read otherwise than typed (see above); nothing "
                 "recorded.\n"
                 "  hint: correct the line%s, or give --accept-warnings if the file is meant so.\n",
                 options.config_path, warnings.count, warnings.count == 1 ? " is" : "s are",
                 warnings.count == 1 ? "" : "s");
    return kExitSetup;
  }
  if (config.prc_path[0] == '\0' || config.header.buf_size == 0 ||
      config.header.buf_size > kMaxFetchSamples || config.header.num_samples == 0) {
    std::fprintf(stderr, "capture-record: %s names no capture file, buffer size or sample count\n",
                 options.config_path);
    return kExitSetup;
  }
  config.header.calibration_value = options.calibration_value;
  if (!options.calibration_value_given) {
    std::printf("No --calibration-value given: the header records calibration value 0.\n");
  }
  const bool write_raw = config.write_raw == 1;
  if (!BlockIndexPathFor(config.prc_path, config.idx_path, sizeof config.idx_path)) {
    std::fprintf(stderr, "capture-record: no index file name beside %s\n", config.prc_path);
    return kExitSetup;
  }

  // 2. Existing files are refused before the card is touched: the three this
  // capture writes, and a .raw it does not write (it would sit beside the new
  // .prc describing another capture). --force replaces them and removes that
  // .raw.
  const char* existing = FileExists(config.prc_path)   ? config.prc_path
                         : FileExists(config.idx_path) ? config.idx_path
                         : config.raw_path[0] != '\0' && FileExists(config.raw_path)
                             ? config.raw_path
                             : nullptr;
  if (existing != nullptr && !options.force) {
    std::fprintf(stderr, "capture-record: %s exists; --force replaces it\n", existing);
    return kExitSetup;
  }

  CaptureWriterSettings settings;
  settings.files[0] = {config.prc_path, kProcessedRecordBytes};
  settings.files[1] = {write_raw ? config.raw_path : nullptr, kRawRecordBytes};
  // ring_mb is at most kPlatformRingMb, so its bytes fit this build's size_t.
  settings.ring_bytes = static_cast<std::size_t>(std::uint64_t{options.ring_mb} << 20);
  settings.fetch_samples = config.header.buf_size;
  settings.overwrite = options.force;
  settings.stall_ms = options.stall_ms;
  settings.stall_every = options.stall_every;
  settings.index_path = config.idx_path;
  settings.hurry = HurryAsked;
  settings.fail_thread_start = options.fail_thread_start;
  CaptureWriter writer;
  if (!writer.MakeRings(settings)) {
    std::fprintf(stderr, "capture-record: cannot reserve %zu MB for the capture ring\n",
                 options.ring_mb);
    return kExitSetup;
  }

  // 3. The sensor and the card, with the configuration's values.
  ScannerSetup setup;
  setup.com_port = config.header.comport;
  setup.card_number = config.header.card_number;
  setup.calibration_file = config.header.cal_file;
  setup.sample_period_us = static_cast<std::int32_t>(config.header.sample_period);
  setup.max_range_in = static_cast<std::int32_t>(config.header.max_range);
  setup.mirror_encoder_counts = config.header.motor1_encoder_ppr;
  setup.second_encoder_counts = config.header.motor2_encoder_ppr;
  setup.mirror_spin_up_ms = 0;  // the configuration's stabilisation delay instead
  SerialPort* port = &g_port_storage.port;
  ScannerLink link;
  CardHandle card = BringUpScanner(setup, port, &link);
  std::int32_t model = 0;
  if (card != kNoCard && g_driver.HsifGetCardModel(card, &model) == 0) {
    std::fprintf(stderr, "Unknown Hsif card model.\n");
    card = kNoCard;
  }
  if (card == kNoCard) {
    ReleaseScanner(port, &link);
    std::fprintf(stderr,
                 "capture-record: bring-up failed (COM%u, card %u, calibration file %s, "
                 "period %lu us, range %lu in, encoders %ld/%ld); see the message above\n",
                 static_cast<unsigned>(config.header.comport),
                 static_cast<unsigned>(config.header.card_number), config.header.cal_file,
                 static_cast<unsigned long>(config.header.sample_period),
                 static_cast<unsigned long>(config.header.max_range),
                 static_cast<long>(config.header.motor1_encoder_ppr),
                 static_cast<long>(config.header.motor2_encoder_ppr));
    return kExitSetup;
  }
  config.header.sensor_model = model != 0 ? kSensorModel200kHz : kSensorModel50kHz;

  // 4. The files, each starting with its header.
  if (!write_raw && config.raw_path[0] != '\0' && FileExists(config.raw_path)) {
    std::error_code ignored;
    std::filesystem::remove(config.raw_path, ignored);
  }
  if (!writer.Open(config.header)) {
    ReportWriteFailure(writer.Failure());
    ReleaseScanner(port, &link);
    return writer.Failure().not_disk ? kExitSetup : kExitWrite;
  }

  // From here on one path out: motors off, line and card released, priority
  // back, files ended on whole records. No stop request may skip it: a
  // repeated one only cuts the final flush short (the fetch loop sees a
  // request within a fetch, at most about a second).
  platform::EnableFirmStop();
  int exit_status = kExitComplete;
  bool raised = false;
  LoopResult result;
  bool motors_ok = g_driver.HsifSetMotorPower(card, 1, config.header.motor1_power) != 0 &&
                   g_driver.HsifSetMotorPower(card, 2, config.header.motor2_power) != 0;
  if (!motors_ok) {
    std::fprintf(stderr, "capture-record: setting the motor power (%u, %u) failed\n",
                 static_cast<unsigned>(config.header.motor1_power),
                 static_cast<unsigned>(config.header.motor2_power));
    exit_status = kExitSetup;
  } else if (!WaitForMotors(config.stabilization_ms)) {
    result.stopped = true;
  } else {
    if (config.single_cpu == 1) PinToFirstCpu();
    raised = RaisePriority() != 0;
    if (!raised) std::fprintf(stderr, "capture-record: priority not raised; recording goes on\n");
    g_driver.HsifClearSampleBuffer(card);
    if (g_driver.HsifSamplingEnable(card) == 0) {
      std::fprintf(stderr, "capture-record: starting the card's sampling failed\n");
      result.fetch_failed = true;
    } else {
      StatusLine status(win::_isatty(2) != 0);
      std::fprintf(stderr, "Recording %lu samples ('x' or Ctrl-C stops)\n",
                   static_cast<unsigned long>(config.header.num_samples));
      result = RunCapture(card, config, &writer, &status);
      status.Finish();
    }
  }

  g_driver.HsifSetMotorPower(card, 1, 0);
  g_driver.HsifSetMotorPower(card, 2, 0);
  ReleaseScanner(port, &link);
  if (raised) RestorePriority();

  bool files_ok = true;
  if (HurryAsked()) writer.Hurry();
  const std::uint64_t in_files = writer.Finish(&files_ok);
  if (!files_ok) ReportWriteFailure(writer.Failure());
  if (in_files != config.header.num_samples) {
    std::printf("Header sample count rewritten to %llu (configured %lu).\n",
                static_cast<unsigned long long>(in_files),
                static_cast<unsigned long>(config.header.num_samples));
  }

  SummaryFigures summary;
  summary.recorded = in_files;
  summary.configured = config.header.num_samples;
  summary.seconds = result.end_s - result.start_s;
  summary.lost_events = result.lost_events;
  summary.ring_events = result.ring_events;
  summary.ring_dropped = result.ring_dropped;
  summary.health = SummarizeHealth(g_health);
  summary.ring_peak = writer.PeakFill();
  summary.ring_bytes = writer.RingBytes();
  for (int i = 0; i < CaptureWriter::kFiles; ++i) {
    summary.paths[i] = writer.FilePath(i);
    summary.bytes[i] = writer.FileBytes(i);
  }
  summary.index_path = config.idx_path;
  summary.index_bytes = writer.IndexBytes();
  summary.syncs = writer.Syncs();
  summary.sync_s = writer.SyncSeconds();
  summary.sync_longest_s = writer.LongestSyncSeconds();
  PrintSummary(summary);

  if (result.silent) {
    std::fprintf(stderr,
                 "capture-record: card %u answered without samples for %.0f s: it has stopped "
                 "delivering; check the sensor and its cable\n",
                 static_cast<unsigned>(config.header.card_number), result.silent_s);
  } else if (result.fetch_failed) {
    std::fprintf(stderr, "capture-record: fetching samples from card %u failed\n",
                 static_cast<unsigned>(config.header.card_number));
  }
  if (exit_status != kExitComplete) return exit_status;
  if (!files_ok) return kExitWrite;
  if (result.fetch_failed) return kExitFetch;
  if (result.stopped) return kExitStopped;
  if (result.lost_events + result.ring_events > 0) return kExitLostData;
  return kExitComplete;
}
