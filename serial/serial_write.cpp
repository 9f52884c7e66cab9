// The writes: one overlapped request, and the string, block and default-port
// forms built on it.
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"
#include "serial/serial_port.h"
#include "serial/serial_requests.h"

namespace {

// A write counts only when every byte went out; the write time-out of
// OpenPort ends a stuck write with fewer.
int FinishWrite(SerialPort* port, bool ok, win::DWORD written, std::uint32_t length) {
  if (ok && written == length) return 1;
  std::uint32_t queued = 0;
  serial_channel::PollPort(port, &queued);  // clears the line's error state
  return 0;
}

}  // namespace

int WritePort(SerialPort* port, const void* data, std::uint32_t length) {
  win::HANDLE handle = win::HandleFromSlot(port->handle);
  win::DWORD written = 0;
  if (win::WriteFile(handle, data, length, &written, &port->write_overlapped)) {
    return FinishWrite(port, true, written, length);
  }
  if (win::GetLastError() != win::ERROR_IO_PENDING) return FinishWrite(port, false, 0, length);
  for (;;) {
    written = 0;
    if (win::GetOverlappedResult(handle, &port->write_overlapped, &written, win::TRUE)) {
      return FinishWrite(port, true, written, length);
    }
    if (win::GetLastError() != win::ERROR_IO_INCOMPLETE) {
      return FinishWrite(port, false, written, length);
    }
  }
}

int SendStr(SerialPort* port, const char* text) {
  return WritePort(port, text, static_cast<std::uint32_t>(std::strlen(text)));
}

int SendBinary(SerialPort* port, const void* data, std::int32_t length) {
  if (length < 0) return 0;
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t sum = 0;  // unsigned: a long block wraps instead of overflowing
  for (std::int32_t i = 0; i < length; ++i) sum += bytes[i];
  WritePort(port, data, static_cast<std::uint32_t>(length));
  return static_cast<int>(sum);
}

int SendStrDefault(SerialPort* /*port*/, const char* text) {
  return WritePort(&DefaultPort, text, static_cast<std::uint32_t>(std::strlen(text))) != 0 ? 1 : 0;
}
