#include "monitor/monitor.h"

#include <cstdio>
#include <cstring>

#include "health/scan_health.h"
#include "hsif/driver_binding.h"
#include "monitor/sample_round.h"
#include "monitor/status_display.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/console_output.h"
#include "platform/interrupt.h"
#include "scanner/bring_up.h"
#include "serial/serial_port.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFetchFailed = 3;
constexpr char kQuitKey = 'x';
constexpr const char* kStatusOption = "--status";

// The health display of --status: fixed storage for the whole run.
struct StatusView {
  bool on = false;
  double started_s = 0;
  int sample_period_us = 0;
  HealthState health;
  StatusDisplay display;
};
StatusView g_status;

// One fetch, its lost-data check and its printout (the angle lines, or the
// status line with --status). Returns false when the fetch failed.
bool RunSampleRound(CardHandle card) {
  std::uint32_t fetched = 0;
  if (g_driver.HsifGetBufferedSamples(card, g_raw_samples, kRawBufferSlots, &fetched, 1) == 0) {
    return false;
  }
  bool lost = RawLostDataFlag(g_raw_samples);
  if (lost) {
    // The card's buffer overflowed: start it afresh, and go on with what came.
    g_driver.HsifClearSampleBuffer(card);
    g_driver.HsifSamplingEnable(card);
    if (g_status.on) ClearStatusDisplay(g_status.display, stderr);
    std::fprintf(stderr, "data lost\n");
  }
  g_driver.HsifProcessSamples(card, g_raw_samples, g_processed_samples, kRawBufferSlots);
  std::uint32_t count = BoundedSampleCount(fetched);
  if (!g_status.on) {
    PrintSampleRound(stderr, g_processed_samples, count);
    return true;
  }
  double now = platform::MonotonicSeconds();
  FeedHealth(g_status.health, g_processed_samples, count, lost, g_status.sample_period_us, now);
  if (StatusDisplayDue(g_status.display, now)) {
    UpdateStatusDisplay(g_status.display, stderr, ReadHealth(g_status.health), now);
  }
  return true;
}

// Why the sample loop ended.
enum class LoopEnd {
  kQuit,         // 'x' pressed, or a stop requested
  kFetchFailed,  // the card delivered no samples
};

// Fetches and prints until the operator quits, a stop is requested or a fetch
// fails.
LoopEnd RunSampleLoop(CardHandle card) {
  char last_key = 0;
  while (last_key != kQuitKey && !platform::StopRequested()) {
    if (!RunSampleRound(card)) return LoopEnd::kFetchFailed;
    if (win::_kbhit() != 0) last_key = static_cast<char>(win::_getch());
  }
  return LoopEnd::kQuit;
}

// The one way out of a run whose card came up: the closing summary of
// --status, then the line released and the card closed, whatever ended the
// loop; a failed fetch keeps its message and has an exit status of its own.
int ShutDown(SerialPort* port, CardHandle card, LoopEnd end) {
  if (g_status.on) {
    FinishStatusDisplay(g_status.display, stderr, SummarizeHealth(g_status.health),
                        platform::MonotonicSeconds() - g_status.started_s);
  }
  if (end == LoopEnd::kFetchFailed) {
    std::printf("ERROR: Buffer overflow flag not getting set.\n");
  }
  ClosePort(port);
  g_driver.HsifClose(card);
  if (end == LoopEnd::kFetchFailed) return kExitFetchFailed;
  platform::EndByStopSignal();  // stopped by Ctrl-C or SIGTERM: end by that signal
  return kExitOk;
}

}  // namespace

int RunMonitor(int argc, char** argv) {
  // --status anywhere; the first other argument names the output file.
  const char* output_path = nullptr;
  bool status = false;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (std::strcmp(argv[i], kStatusOption) == 0) {
      status = true;
    } else if (output_path == nullptr) {
      output_path = argv[i];
    }
  }
  if (output_path == nullptr) {
    std::fprintf(stderr,
                 "scanmon: no output file named (it is created when missing and never "
                 "written)\n%sTry 'scanmon --help' for more information.\n",
                 kMonitorUsage);
    return kExitUsage;
  }
  // Progress lines reach the console (or a pipe to a log) as they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  platform::InstallStopHandlers();

  // Created when missing and kept open, unwritten, until the process ends; the
  // runtime closes it. Opened for appending, so an earlier capture of that
  // name is never emptied.
  std::FILE* output = std::fopen(output_path, "a");
  (void)output;

  // The record lives for the whole run; a static keeps it reachable to the end.
  static RunProperties* properties = nullptr;
  properties = ReadProperties(kPropertiesPath);
  if (properties == nullptr) {
    std::fprintf(stderr, "scanmon: cannot start without %s in the current folder\n",
                 kPropertiesPath);
    return kExitFailed;
  }
  std::printf("Version %d.%d\n", SCANMON_VERSION_MAJOR, SCANMON_VERSION_MINOR);

  // Static storage, so the record starts zero-filled; the driver fills it.
  static MonitorPortStorage port_storage;
  SerialPort* port = &port_storage.port;

  // The monitor's encoders: the mirror's counts 4096 per revolution, the
  // second one 200; the mirror gets five seconds to come up to speed.
  ScannerSetup setup;
  setup.com_port = properties->laser_serial_port;
  setup.card_number = properties->laser_hsif_board;
  setup.calibration_file = properties->calibration_file;
  setup.sample_period_us = properties->laser_sample_period;
  setup.max_range_in = properties->laser_max_range;
  setup.mirror_encoder_counts = 4096;
  setup.second_encoder_counts = 200;
  setup.mirror_spin_up_ms = 5000;
  ScannerLink link;
  CardHandle card = BringUpScanner(setup, port, &link);
  if (card == kNoCard) {
    std::fprintf(stderr, "Initialization of high speed interface card / laser failed\n");
    return kExitFailed;
  }

  g_driver.HsifSetMotorPower(card, properties->laser_motor_number, 0);

  if (status) {
    g_status.on = true;
    g_status.started_s = platform::MonotonicSeconds();
    g_status.sample_period_us = properties->laser_sample_period;
    StartHealth(g_status.health, HealthSettings{});
    StartStatusDisplay(g_status.display, platform::StandardErrorIsTerminal(), g_status.started_s);
  }

  // From here on Ctrl-C (or SIGTERM, or closing the console) ends the loop the
  // way 'x' does, so the line is released and the card closed.
  platform::EnableGracefulStop();
  return ShutDown(port, card, RunSampleLoop(card));
}
