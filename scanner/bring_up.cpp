#include "scanner/bring_up.h"

#include <cstdarg>
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
// The longest message: the loader's text may name long paths.
constexpr std::size_t kMessageBytes = 1024;

// Prints one message of the sequence on `stream` and hands it to the setup's
// message hook.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void Say(const ScannerSetup& setup, std::FILE* stream, const char* format, ...) {
  char text[kMessageBytes];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (setup.print_messages) std::fputs(text, stream);
  if (setup.on_message != nullptr) setup.on_message(text, setup.message_context);
}

// The failure explanations go where the sequence's messages go.
DetailOut DetailFor(const ScannerSetup& setup, std::FILE* stream) {
  DetailOut out;
  out.stream = setup.print_messages ? stream : nullptr;
  out.on_text = setup.on_message;
  out.context = setup.message_context;
  return out;
}

CardHandle Fail(const ScannerSetup& setup, const char* message, std::FILE* stream = stderr) {
  Say(setup, stream, "%s", message);
  return kNoCard;
}

// The card refused the sample period: tell the operator the model's limit.
CardHandle ExplainRefusedSamplePeriod(const ScannerSetup& setup, CardHandle card) {
  Say(setup, stderr, "HsifSetSamplePeriod failed.\n");
  std::int32_t model = 0;
  if (g_driver.HsifGetCardModel(card, &model) == 0)
    return Fail(setup, "Unknown Hsif card model.\n");
  std::int32_t min_period = 0;
  if (g_driver.HsifGetMinSamplePeriod(card, &min_period) == 0) {
    return Fail(setup, "Unknown minimum sample period.\n");
  }
  Say(setup, stderr, "The AR4000 %d KHz model minimum sample period is %d us.\n",
      model != 0 ? 200 : 50, min_period);
  return kNoCard;
}

}  // namespace

CardHandle BringUpScanner(const ScannerSetup& setup, SerialPort* port, ScannerLink* link) {
  *link = ScannerLink{};
  Say(setup, stdout, "before hsifdllinit\n");
  win::HMODULE module = LoadDriver();
  link->module = module;
  if (module == nullptr) {
    const win::DWORD code = win::GetLastError();
    Say(setup, stderr, "Unable to load %s.dll\n", DriverName());
    // What the loader said (Linux): the file it missed or could not use, and
    // where it looked.
    win::SetLastError(code);
    ExplainDriverNotLoaded(DetailFor(setup, stderr));
    return kNoCard;
  }
  char module_path[kModulePathBytes] = {};
  win::GetModuleFileNameA(module, module_path, sizeof module_path);
  Say(setup, stdout, "Using DLL: %s\n\n", module_path);

  g_driver.HsifDllInit();
  Say(setup, stdout, "after hsifdllinit\n");

  if (g_driver.HsifOpenPort(port, kSensorBaudRate, setup.com_port) == 0) {
    Fail(setup, "Error: Serial Comm port open failed.\n");
    ExplainPortNotOpened(DetailFor(setup, stderr), module, setup.com_port);
    return kNoCard;
  }
  link->port_open = true;
  g_driver.HsifSendStr(port, "I");
  win::Sleep(kSensorCommandSettleMs);
  Say(setup, stderr, "Opened high speed interface.\n");

  CardHandle card = g_driver.HsifOpen(setup.card_number, port);
  if (card == kNoCard) return Fail(setup, "Error: HsifOpen failed.\n");
  link->card = card;
  if (g_driver.HsifResetBoard(card) == 0) return Fail(setup, "Error: HsifResetBoard failed.\n");
  if (g_driver.HsifLoadCalibrationData(card, setup.calibration_file) == 0) {
    Fail(setup, "ERROR: Could not read calibration file\n", stdout);
    ExplainCalibrationNotRead(DetailFor(setup, stderr), module, setup.calibration_file);
    return kNoCard;
  }

  Say(setup, stdout, "max range %d sample period %d\n", setup.max_range_in, setup.sample_period_us);
  if (g_driver.HsifSetSamplePeriod(card, 0, setup.max_range_in, setup.sample_period_us) == 0) {
    return ExplainRefusedSamplePeriod(setup, card);
  }

  Say(setup, stderr, "HISF Card Calibration\n");
  g_driver.HsifSetPollMode(card, 1);
  g_driver.HsifClearSampleBuffer(card);
  if (g_driver.HsifCalibrate(card) != 1) {
    return Fail(setup, "Error: Could not get calibration value **\n");
  }
  Say(setup, stderr, "SamplingModeInit\n");
  if (g_driver.HsifSamplingModeInit(card) != 1) {
    return Fail(setup, "Error: Could not initialize sampling mode\n");
  }
  if (g_driver.HsifClearEncoder(card, kClearBothEncoders, 1) != 1) {
    return Fail(setup, "Error: Failed to clear encoder1\n");
  }
  if (g_driver.HsifCalibrateEncoder(card, kMirrorEncoder, 0, setup.mirror_encoder_counts) != 1) {
    return Fail(setup, "Error: Failed to set encoder1\n");
  }
  if (g_driver.HsifCalibrateEncoder(card, kSecondEncoder, 0, setup.second_encoder_counts) != 1) {
    return Fail(setup, "Error: Failed to set encoder2\n");
  }

  Say(setup, stderr, "max_range %d sample_period %d\n", setup.max_range_in, setup.sample_period_us);
  if (g_driver.HsifSetSamplePeriod(card, 0, setup.max_range_in, setup.sample_period_us) == 0) {
    return Fail(setup, "Error: Failed to set sample and range\n");
  }

  if (setup.mirror_spin_up_ms > 0) {
    Say(setup, stderr, "Waiting (%lu sec.) for mirror to move\n",
        static_cast<unsigned long>(setup.mirror_spin_up_ms / 1000));
    win::Sleep(setup.mirror_spin_up_ms);
  }

  Say(setup, stderr, "Clear Sample Buffer\n");
  g_driver.HsifClearSampleBuffer(card);
  g_driver.HsifSamplingEnable(card);
  Say(setup, stderr, "Sampling Enable\n");
  return card;
}

void ReleaseScanner(SerialPort* port, ScannerLink* link) {
  if (link->port_open) ClosePort(port);
  link->port_open = false;
  if (link->card != kNoCard) g_driver.HsifClose(link->card);
  link->card = kNoCard;
}
