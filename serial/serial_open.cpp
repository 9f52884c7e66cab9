// Opening a numbered port, and the queue purge.
#include "platform/comm.h"
#include "platform/files.h"
#include "serial/serial_port.h"
#include "serial/serial_requests.h"

namespace {

constexpr win::DWORD kPurgeAll =
    win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR;
constexpr win::DWORD kQueueBytes = 4096;
constexpr win::DWORD kWriteTimeoutMs = 1000;

}  // namespace

int PurgePort(SerialPort* port, std::uint32_t flags) {
  return win::PurgeComm(win::HandleFromSlot(port->handle), flags);
}

int OpenPort(SerialPort* port, std::int32_t baud_rate, std::int32_t port_number) {
  char name[10];  // "COM" and up to six digits
  FormatBounded(name, sizeof name, "COM%d", port_number);
  win::HANDLE handle =
      win::CreateFileA(name, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
                       win::FILE_FLAG_OVERLAPPED | win::FILE_ATTRIBUTE_NORMAL, nullptr);
  port->handle = win::SlotFromHandle(handle);
  if (handle == win::INVALID_HANDLE_VALUE) return 0;

  win::SetCommMask(handle, win::EV_RXCHAR);
  win::SetupComm(handle, kQueueBytes, kQueueBytes);
  PurgePort(port, kPurgeAll);
  // Reads return at once with whatever has arrived; the transfers poll.
  win::COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = win::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  win::SetCommTimeouts(handle, &timeouts);

  int configured = ConfigureLine(port, baud_rate);
  if (configured != 0) {
    port->is_open = 1;
    // DTR goes up only now, with the line settled, telling the device the
    // port is ready.
    win::EscapeCommFunction(handle, win::SETDTR);
    PurgePort(port, kPurgeAll);
    return configured;
  }
  // Refused settings: nothing of this open stays behind, and the record no
  // longer names the closed handle (its number may soon be another file's).
  port->is_open = 0;
  win::CloseHandle(handle);
  port->handle = win::SlotFromHandle(win::INVALID_HANDLE_VALUE);
  serial_channel::CloseTransferEvents(port);
  return 0;
}
