#include <cstdio>

#include "hsif/driver_binding.h"
#include "hsif/sensor_line.h"
#include "monitor/monitor.h"
#include "platform/library.h"
#include "platform/sleep.h"

namespace {

// Settle times of the hardware.
constexpr win::DWORD kSensorCommandSettleMs = 200;
constexpr win::DWORD kMirrorSpinUpMs = 5000;

// Encoder set-up passed to the card: the mirror's encoder counts 4096 per
// revolution, the second encoder 200.
constexpr std::int32_t kClearBothEncoders = 3;
constexpr std::int32_t kMirrorEncoder = 1;
constexpr std::int32_t kMirrorEncoderCounts = 4096;
constexpr std::int32_t kSecondEncoder = 2;
constexpr std::int32_t kSecondEncoderCounts = 200;

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

CardHandle BringUpScanner(const RunProperties* properties, SerialPort* port) {
  std::printf("before hsifdllinit\n");
  win::HMODULE module = LoadDriver();
  if (module == nullptr) {
    std::fprintf(stderr, "Unable to load %s.dll\n", DriverName());
    // What the loader said (Linux): the file it missed or could not use.
    if (win::LastLoaderMessage()[0] != '\0') std::fprintf(stderr, "%s\n", win::LastLoaderMessage());
    return kNoCard;
  }
  char module_path[kModulePathBytes] = {};
  win::GetModuleFileNameA(module, module_path, sizeof module_path);
  std::printf("Using DLL: %s\n\n", module_path);

  g_driver.HsifDllInit();
  std::printf("after hsifdllinit\n");

  if (g_driver.HsifOpenPort(port, kSensorBaudRate, properties->laser_serial_port) == 0) {
    return Fail("Error: Serial Comm port open failed.\n");
  }
  g_driver.HsifSendStr(port, "I");
  win::Sleep(kSensorCommandSettleMs);
  std::fprintf(stderr, "Opened high speed interface.\n");

  CardHandle card = g_driver.HsifOpen(properties->laser_hsif_board, port);
  if (card == kNoCard) return Fail("Error: HsifOpen failed.\n");
  if (g_driver.HsifResetBoard(card) == 0) return Fail("Error: HsifResetBoard failed.\n");
  if (g_driver.HsifLoadCalibrationData(card, properties->calibration_file) == 0) {
    return Fail("ERROR: Could not read calibration file\n", stdout);
  }

  std::printf("max range %d sample period %d\n", properties->laser_max_range,
              properties->laser_sample_period);
  if (g_driver.HsifSetSamplePeriod(card, 0, properties->laser_max_range,
                                   properties->laser_sample_period) == 0) {
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
  if (g_driver.HsifCalibrateEncoder(card, kMirrorEncoder, 0, kMirrorEncoderCounts) != 1) {
    return Fail("Error: Failed to set encoder1\n");
  }
  if (g_driver.HsifCalibrateEncoder(card, kSecondEncoder, 0, kSecondEncoderCounts) != 1) {
    return Fail("Error: Failed to set encoder2\n");
  }

  std::fprintf(stderr, "max_range %d sample_period %d\n", properties->laser_max_range,
               properties->laser_sample_period);
  if (g_driver.HsifSetSamplePeriod(card, 0, properties->laser_max_range,
                                   properties->laser_sample_period) == 0) {
    return Fail("Error: Failed to set sample and range\n");
  }

  std::fprintf(stderr, "Waiting (5 sec.) for mirror to move\n");
  win::Sleep(kMirrorSpinUpMs);

  std::fprintf(stderr, "Clear Sample Buffer\n");
  g_driver.HsifClearSampleBuffer(card);
  g_driver.HsifSamplingEnable(card);
  std::fprintf(stderr, "Sampling Enable\n");
  return card;
}
