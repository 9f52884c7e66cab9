#include "scanner/failure_detail.h"

#include <cstdarg>
#include <cstring>

#include "cli/port_hints.h"
#include "hsif/driver_abi.h"
#include "hsif/driver_binding.h"
#include "hsif/driver_entry.h"
#include "hsif/sensor_line.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/library.h"
#include "serial/serial_port.h"

namespace {

// The stand-in's own addition to the driver's entry points (standin/hsif_standin.h):
// std::int32_t HsifStandinLastError(char* text, std::int32_t size), called like
// the card's entry points, right under either calling convention.
constexpr const char* kStandinLastError = "HsifStandinLastError";

constexpr std::size_t kReasonBytes = 256;
constexpr std::size_t kLineBytes = 1536;

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Emit(const DetailOut& out, const char* format, ...) {
  char text[kLineBytes];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (out.stream != nullptr) std::fputs(text, out.stream);
  if (out.on_text != nullptr) out.on_text(text, out.context);
}

}  // namespace

bool GetDriverReason(win::HMODULE driver, char* text, std::size_t size) {
  if (size == 0) return false;
  text[0] = '\0';
  if (driver == nullptr) return false;
  win::FARPROC entry = win::GetProcAddress(driver, kStandinLastError);
  if (entry == nullptr) return false;
  const std::int32_t bounded = size > 0x7fffffff ? 0x7fffffff : static_cast<std::int32_t>(size);
  if (CallOtherDriverEntry(entry, text, bounded) <= 0) {
    text[0] = '\0';
    return false;
  }
  text[size - 1] = '\0';
  return true;
}

void ExplainDriverNotLoaded(const DetailOut& out) {
  const win::DWORD code = win::GetLastError();
  const char* loader = win::LastLoaderMessage();
  char searched[1024];
  const bool where = code == win::ERROR_MOD_NOT_FOUND &&
                     platform::DescribeLibrarySearch(searched, sizeof searched);
  if (loader[0] == '\0' && !where) return;
  Emit(out, "%s%s%s\n", loader, where ? (loader[0] != '\0' ? "; looked in " : "looked in ") : "",
       where ? searched : "");
}

void ExplainPortNotOpened(const DetailOut& out, win::HMODULE driver, std::int32_t com_port) {
  char name[24];
  std::snprintf(name, sizeof name, "COM%ld", static_cast<long>(com_port));
  char device[256];
  DescribePortDevice(name, device, sizeof device);
  char shown[300];
  ShowPortName(name, device, shown, sizeof shown);
  Emit(out, "  port: %s at %d baud (laser_serial_port)\n", shown, kSensorBaudRate);
  char reason[kReasonBytes];
  if (GetDriverReason(driver, reason, sizeof reason)) {
    Emit(out, "  driver: %s\n", reason);
  }
  if (com_port <= 0) return;
  // What the system says when this program opens the port, as the card's
  // driver would: the reason the driver had, or that the port itself is fine.
  static SerialPort probe{};
  std::memset(&probe, 0, sizeof probe);
  win::SetLastError(win::ERROR_SUCCESS);
  if (OpenPort(&probe, kSensorBaudRate, com_port) != 0) {
    ClosePort(&probe);
    Emit(out, "  system: %s opens for this program (and was released again)\n", shown);
    return;
  }
  const win::DWORD code = win::GetLastError();
  char text[platform::kErrorDescriptionSize];
  platform::DescribeErrorCode(code, text, sizeof text);
  Emit(out, "  system: %s does not open: %s\n", shown, text);
  char hint[kLineBytes];
  FormatPortHint(hint, sizeof hint, name, device, code);
  if (hint[0] != '\0') Emit(out, "%s", hint);
}

void ExplainCalibrationNotRead(const DetailOut& out, win::HMODULE driver, const char* path) {
  char reason[kReasonBytes];
  if (GetDriverReason(driver, reason, sizeof reason)) {
    Emit(out, "  calibration file %s: %s\n", path != nullptr ? path : "(not set)", reason);
    return;
  }
  Emit(out,
       "  calibration file %s (calibration_file, relative to this folder); the driver "
       "gives no reason: scanmon-preflight checks that it can be read\n",
       path != nullptr ? path : "(not set)");
}
