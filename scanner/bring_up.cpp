#include "scanner/bring_up.h"

#include <cstdio>

#include "hsif/driver_binding.h"
#include "hsif/sensor_line.h"
#include "platform/errors.h"
#include "platform/library.h"
#include "platform/sleep.h"
#include "scanner/failure_detail.h"
#include "serial/serial_port.h"

namespace {

// Settle time of the sensor after a command.
constexpr win::DWORD kSensorCommandSettleMs = 200;

// Encoder numbers on the card: 1 is the mirror's angle encoder, 2 the second
// axis; 3 names both.
constexpr std::int32_t kClearBothEncoders = 3;
constexpr std::int32_t kMirrorEncoder = 1;
constexpr std::int32_t kSecondEncoder = 2;

constexpr win::DWORD kModulePathBytes = win::kMaxPath;

CardHandle Fail(const char* message, std::FILE* stream = stderr) {
  std::fputs(message, stream);
  return kNoCard;
}

// The card refused the sample period: tell the operator the model's limit.
CardHandle ExplainRefusedSamplePeriod(CardHandle card) {
  std::fprintf(stderr, "HsifSetSamplePeriod failed.\n");
  std::int32_t model = 0;
  if (g_driver.HsifGetCardModel(card, &model) == 0) return Fail("Unknown Hsif card model.\n");
  std::int32_t min_period = 0;
  if (g_driver.HsifGetMinSamplePeriod(card, &min_period) == 0) {
    return Fail("Unknown minimum sample period.\n");
  }
  std::fprintf(stderr, "The AR4000 %d KHz model minimum sample period is %d us.\n",
               model != 0 ? 200 : 50, min_period);
  return kNoCard;
}

}  // namespace

CardHandle BringUpScanner(const ScannerSetup& setup, SerialPort* port, ScannerLink* link) {
  *link = ScannerLink{};
  std::printf("before hsifdllinit\n");
  win::HMODULE module = LoadDriver();
  link->module = module;
  if (module == nullptr) {
    const win::DWORD code = win::GetLastError();
    std::fprintf(stderr, "Unable to load %s.dll\n", DriverName());
    // What the loader said (Linux): the file it missed or could not use, and
    // where it looked.
    win::SetLastError(code);
    ExplainDriverNotLoaded(stderr);
    return kNoCard;
  }
  char module_path[kModulePathBytes] = {};
  win::GetModuleFileNameA(module, module_path, sizeof module_path);
  std::printf("Using DLL: %s\n\n", module_path);

  g_driver.HsifDllInit();
  std::printf("after hsifdllinit\n");

  if (g_driver.HsifOpenPort(port, kSensorBaudRate, setup.com_port) == 0) {
    Fail("Error: Serial Comm port open failed.\n");
    ExplainPortNotOpened(stderr, module, setup.com_port);
    return kNoCard;
  }
  link->port_open = true;
  g_driver.HsifSendStr(port, "I");
  win::Sleep(kSensorCommandSettleMs);
  std::fprintf(stderr, "Opened high speed interface.\n");

  CardHandle card = g_driver.HsifOpen(setup.card_number, port);
  if (card == kNoCard) return Fail("Error: HsifOpen failed.\n");
  link->card = card;
  if (g_driver.HsifResetBoard(card) == 0) return Fail("Error: HsifResetBoard failed.\n");
  if (g_driver.HsifLoadCalibrationData(card, setup.calibration_file) == 0) {
    Fail("ERROR: Could not read calibration file\n", stdout);
    ExplainCalibrationNotRead(stdout, module, setup.calibration_file);
    return kNoCard;
  }

  std::printf("max range %d sample period %d\n", setup.max_range_in, setup.sample_period_us);
  if (g_driver.HsifSetSamplePeriod(card, 0, setup.max_range_in, setup.sample_period_us) == 0) {
    return ExplainRefusedSamplePeriod(card);
  }

  std::fprintf(stderr, "HISF Card Calibration\n");
  g_driver.HsifSetPollMode(card, 1);
  g_driver.HsifClearSampleBuffer(card);
  if (g_driver.HsifCalibrate(card) != 1) {
    return Fail("Error: Could not get calibration value **\n");
  }
  std::fprintf(stderr, "SamplingModeInit\n");
  if (g_driver.HsifSamplingModeInit(card) != 1) {
    return Fail("Error: Could not initialize sampling mode\n");
  }
  if (g_driver.HsifClearEncoder(card, kClearBothEncoders, 1) != 1) {
    return Fail("Error: Failed to clear encoder1\n");
  }
  if (g_driver.HsifCalibrateEncoder(card, kMirrorEncoder, 0, setup.mirror_encoder_counts) != 1) {
    return Fail("Error: Failed to set encoder1\n");
  }
  if (g_driver.HsifCalibrateEncoder(card, kSecondEncoder, 0, setup.second_encoder_counts) != 1) {
    return Fail("Error: Failed to set encoder2\n");
  }

  std::fprintf(stderr, "max_range %d sample_period %d\n", setup.max_range_in,
               setup.sample_period_us);
  if (g_driver.HsifSetSamplePeriod(card, 0, setup.max_range_in, setup.sample_period_us) == 0) {
    return Fail("Error: Failed to set sample and range\n");
  }

  if (setup.mirror_spin_up_ms > 0) {
    std::fprintf(stderr, "Waiting (%lu sec.) for mirror to move\n",
                 static_cast<unsigned long>(setup.mirror_spin_up_ms / 1000));
    win::Sleep(setup.mirror_spin_up_ms);
  }

  std::fprintf(stderr, "Clear Sample Buffer\n");
  g_driver.HsifClearSampleBuffer(card);
  g_driver.HsifSamplingEnable(card);
  std::fprintf(stderr, "Sampling Enable\n");
  return card;
}

void ReleaseScanner(SerialPort* port, ScannerLink* link) {
  if (link->port_open) ClosePort(port);
  link->port_open = false;
  if (link->card != kNoCard) g_driver.HsifClose(link->card);
  link->card = kNoCard;
}
