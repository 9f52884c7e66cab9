// capture-record: takes a capture from the scanner into its .prc (and .raw)
// files, as the capture configuration describes it.
//
// The samples come from the scanner library's scanner source
// (libscanmon/scanner_source.h), the project's one acquisition path: its fetch
// thread makes every driver call, from the bring-up to the release, and keeps
// the card's pace. It hands each fetch to this program's sink, which copies
// the records once, into the capture writer's rings, whose thread writes the
// files (record/capture_writer.h); the fetch thread never waits for the disk,
// which may lag by as much as the rings hold. The main thread watches: the
// keyboard and stop requests, a silent card, the status line.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "capture/block_index.h"
#include "capture/capture_config.h"
#include "capture/capture_header.h"
#include "capture/config_warning.h"
#include "field_copy.h"
#include "libscanmon/scanner_source.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/error_text.h"
#include "platform/interrupt.h"
#include "record/capture_writer.h"
#include "record/record_status.h"
#include "record/recording.h"
#include "record_options.h"

namespace {

constexpr char kQuitKey = 'x';
// The configuration's largest buffer size; the fetch buffers are this big.
constexpr std::uint32_t kMaxFetchSamples = 30000;

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

// What the configuration file gives, and the block index's name beside the
// .prc file.
struct Configuration : CaptureConfig {
  char idx_path[kCaptureFileNameBytes + 8] = {};
};

bool FileExists(const char* path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
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
  if (!ReadCaptureConfigRecord(options.config_path, &config, report)) {
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
  if (config.prc_file[0] == '\0' || config.header.buf_size == 0 ||
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
  if (!BlockIndexPathFor(config.prc_file, config.idx_path, sizeof config.idx_path)) {
    std::fprintf(stderr, "capture-record: no index file name beside %s\n", config.prc_file);
    return kExitSetup;
  }

  // 2. Existing files are refused before the card is touched: the three this
  // capture writes, and a .raw it does not write (it would sit beside the new
  // .prc describing another capture). --force replaces them and removes that
  // .raw.
  // So is a <base>.fields: another capture's map, or the one --fields replaces.
  FieldCopy fields;
  if (!PrepareFieldCopy(options.fields_path, config.prc_file, &fields)) return kExitSetup;
  const char* existing =
      FileExists(config.prc_file)                                         ? config.prc_file
      : FileExists(config.idx_path)                                       ? config.idx_path
      : config.capture_file[0] != '\0' && FileExists(config.capture_file) ? config.capture_file
      : !fields.same_file && FileExists(fields.destination.c_str()) ? fields.destination.c_str()
                                                                    : nullptr;
  if (existing != nullptr && !options.force) {
    std::fprintf(stderr, "capture-record: %s exists; --force replaces it\n", existing);
    return kExitSetup;
  }

  CaptureWriterSettings settings;
  settings.files[0] = {config.prc_file, kProcessedRecordBytes};
  settings.files[1] = {write_raw ? config.capture_file : nullptr, kRawRecordBytes};
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

  // 3. The sensor and the card, with the configuration's values: brought up
  // by the scanner source's fetch thread, the motors left off for now.
  scanmon_scanner_settings settings_in{};
  scanmon_lib::SettingsFromCaptureConfig(config, &settings_in);
  settings_in.print_messages = 1;
  // Every fetch goes straight from the fetch thread into the writer's rings.
  StatusLine status(win::_isatty(2) != 0);
  RecordingSink sink(config.header.num_samples, config.write_raw == 1, config.header.sample_period,
                     &writer, &status);
  std::unique_ptr<scanmon_lib::StagedScanner> source;
  scanmon_lib::ScannerFailure failure = scanmon_lib::ScannerFailure::kNone;
  const int opened = scanmon_lib::OpenStagedScanner(settings_in, &sink, &source, &failure);
  if (opened != SCANMON_OK) {
    if (failure == scanmon_lib::ScannerFailure::kCardModel) {
      std::fprintf(stderr, "Unknown Hsif card model.\n");
    } else if (failure == scanmon_lib::ScannerFailure::kNone) {
      std::fprintf(stderr, "capture-record: %s\n", scanmon_last_error());
    }
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
  scanmon_capture_header told{};
  source->Header(&told);
  config.header.sensor_model =
      told.sensor_model == SCANMON_MODEL_200KHZ ? kSensorModel200kHz : kSensorModel50kHz;

  // 4. The files, each starting with its header.
  if (!write_raw && config.capture_file[0] != '\0' && FileExists(config.capture_file)) {
    std::error_code ignored;
    std::filesystem::remove(config.capture_file, ignored);
  }
  if (!WriteFieldCopy(fields)) {
    source.reset();
    return kExitWrite;
  }
  if (!writer.Open(config.header)) {
    ReportWriteFailure(writer.Failure());
    RemoveFieldCopy(fields);
    source.reset();  // the card released, the motors never powered
    return writer.Failure().not_disk ? kExitSetup : kExitWrite;
  }

  // From here on one path out: closing the source powers the motors off,
  // releases the line and the card and gives the priority back; the files
  // end on whole records. No stop request may skip it: a repeated one only
  // cuts the final flush short (the reading loop sees a request within
  // kWaitSliceMs; the close waits for the fetch under way, at most about a
  // second).
  platform::EnableFirmStop();
  int exit_status = kExitComplete;
  RecordingResult result;
  switch (StartSampling(source.get(), config.stabilization_delay_ms, StopAsked)) {
    case StartResult::kStopped:
      result.stopped = true;
      break;
    case StartResult::kFailed:
      if (source->Failure() == scanmon_lib::ScannerFailure::kMotors) {
        std::fprintf(stderr, "capture-record: setting the motor power (%u, %u) failed\n",
                     static_cast<unsigned>(config.header.motor1_power),
                     static_cast<unsigned>(config.header.motor2_power));
        exit_status = kExitSetup;
      } else {
        std::fprintf(stderr, "capture-record: starting the card's sampling failed\n");
        result.fetch_failed = true;
      }
      break;
    case StartResult::kSampling: {
      // (Once the source has ended, its priority is given back already.)
      if (!source->PriorityRaised() && source->Phase() != scanmon_lib::ScannerPhase::kEnded) {
        std::fprintf(stderr, "capture-record: priority not raised; recording goes on\n");
      }
      std::fprintf(stderr, "Recording %lu samples ('x' or Ctrl-C stops)\n",
                   static_cast<unsigned long>(config.header.num_samples));
      WatchCapture(source.get(), config.header.sample_period, &writer, &sink, StopAsked, &result);
      result.end_s = platform::MonotonicSeconds();
      break;
    }
  }
  // Nothing fetched after the end is kept.
  sink.Close();
  source.reset();
  {
    const RecordingResult taken = sink.Finish();
    result.recorded = taken.recorded;
    result.lost_events = taken.lost_events;
    result.ring_dropped = taken.ring_dropped;
    result.ring_events = taken.ring_events;
    result.start_s = taken.start_s;
  }
  status.Finish();

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
  summary.health = sink.Totals();
  TakeWriterFigures(writer, &summary);
  summary.index_path = config.idx_path;
  PrintSummary(summary);
  if (!fields.source.empty()) {
    std::printf("Field map: %s, %d fields (from %s)\n", fields.destination.c_str(),
                fields.map.count, fields.source.c_str());
  }

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
