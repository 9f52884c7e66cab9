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

#include "capture/capture_config.h"
#include "capture/capture_header.h"
#include "capture/config_warning.h"
#include "health/scan_health.h"
#include "hsif/driver_binding.h"
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

// Fetch buffers, in static storage: nothing is allocated per fetch.
RawSample g_raw[kMaxFetchSamples];
ProcessedSample g_processed[kMaxFetchSamples];
HealthState g_health;
MonitorPortStorage g_port_storage;

double NowSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
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
  StartHealth(g_health, HealthSettings{});
  r.start_s = NowSeconds();
  while (r.recorded < target) {
    if (StopAsked()) {
      r.stopped = true;
      break;
    }
    if (writer->Failed()) break;
    std::uint32_t fetched = 0;
    if (g_driver.HsifGetBufferedSamples(card, g_raw, static_cast<std::int32_t>(capacity), &fetched,
                                        1) == 0) {
      r.fetch_failed = true;
      break;
    }
    if (fetched > capacity) fetched = capacity;
    // The driver's lost-data signal: bit 0 of the first word of the last slot
    // of the buffer handed over, whatever the fetched count.
    const bool lost = (g_raw[capacity - 1].words[0] & kRawLostDataBit) != 0;
    if (lost) {
      // As the monitor does: start the card's buffer afresh and go on.
      g_driver.HsifClearSampleBuffer(card);
      g_driver.HsifSamplingEnable(card);
      ++r.lost_events;
      status->Note("data lost at sample %llu", static_cast<unsigned long long>(r.recorded));
    }
    std::uint64_t left = target - r.recorded;
    std::uint32_t take = left < fetched ? static_cast<std::uint32_t>(left) : fetched;
    if (take > 0) {
      g_driver.HsifProcessSamples(card, g_raw, g_processed, static_cast<std::int32_t>(take));
    }
    FeedHealth(g_health, g_processed, take, lost, config.header.sample_period, NowSeconds());
    if (take > 0) {
      if (writer->Append(g_processed, keep_raw ? g_raw : nullptr, take)) {
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

  // 2. Existing files are refused before the card is touched.
  if (!options.force) {
    const char* existing = FileExists(config.prc_path)                ? config.prc_path
                           : write_raw && FileExists(config.raw_path) ? config.raw_path
                                                                      : nullptr;
    if (existing != nullptr) {
      std::fprintf(stderr, "capture-record: %s exists; --force replaces it\n", existing);
      return kExitSetup;
    }
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
  if (!writer.Open(config.header)) {
    ReportWriteFailure(writer.Failure());
    ReleaseScanner(port, &link);
    return kExitWrite;
  }

  // From here on one path out: motors off, line and card released, priority
  // back, files ended on whole records.
  platform::EnableGracefulStop();
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
    g_driver.HsifSamplingEnable(card);
    StatusLine status(win::_isatty(2) != 0);
    std::fprintf(stderr, "Recording %lu samples ('x' or Ctrl-C stops)\n",
                 static_cast<unsigned long>(config.header.num_samples));
    result = RunCapture(card, config, &writer, &status);
    status.Finish();
  }

  g_driver.HsifSetMotorPower(card, 1, 0);
  g_driver.HsifSetMotorPower(card, 2, 0);
  ReleaseScanner(port, &link);
  if (raised) RestorePriority();

  bool files_ok = true;
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
  PrintSummary(summary);

  if (result.fetch_failed) {
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
