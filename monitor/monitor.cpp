#include "monitor/monitor.h"

#include <cstdio>

#include "hsif/driver_binding.h"
#include "monitor/sample_round.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "scanner/bring_up.h"
#include "serial/serial_port.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kQuitKey = 'x';

// One fetch, its lost-data check and its printout. Returns false when the
// fetch failed.
bool RunSampleRound(CardHandle card) {
  std::uint32_t fetched = 0;
  if (g_driver.HsifGetBufferedSamples(card, g_raw_samples, kRawBufferSlots, &fetched, 1) == 0) {
    return false;
  }
  if (RawLostDataFlag(g_raw_samples)) {
    // The card's buffer overflowed: start it afresh, and go on with what came.
    g_driver.HsifClearSampleBuffer(card);
    g_driver.HsifSamplingEnable(card);
    std::fprintf(stderr, "data lost\n");
  }
  g_driver.HsifProcessSamples(card, g_raw_samples, g_processed_samples, kRawBufferSlots);
  PrintSampleRound(stderr, g_processed_samples, BoundedSampleCount(fetched));
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

// The one way out of a run whose card came up: releases what the run holds
// and gives the exit status. After a failed fetch the program ends at once,
// with the line and the card left as they are (the process's end closes them).
int ShutDown(SerialPort* port, CardHandle card, LoopEnd end) {
  if (end == LoopEnd::kFetchFailed) {
    std::printf("ERROR: Buffer overflow flag not getting set.\n");
    return kExitOk;
  }
  ClosePort(port);
  g_driver.HsifClose(card);
  platform::EndByStopSignal();  // stopped by Ctrl-C or SIGTERM: end by that signal
  return kExitOk;
}

}  // namespace

int RunMonitor(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) {
    std::fprintf(stderr, "usage: scanmon OUTPUT_FILE\n       scanmon --help | --version\n");
    return kExitUsage;
  }
  // Progress lines reach the console (or a pipe to a log) as they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  platform::InstallStopHandlers();

  // Created (or truncated) now and kept open, unwritten, until the process
  // ends; the runtime closes it.
  std::FILE* output = std::fopen(argv[1], "w");
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

  // From here on Ctrl-C (or SIGTERM, or closing the console) ends the loop the
  // way 'x' does, so the line is released and the card closed.
  platform::EnableGracefulStop();
  return ShutDown(port, card, RunSampleLoop(card));
}
