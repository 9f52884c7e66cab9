#include "serial/serial_requests.h"

#include <algorithm>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace serial_channel {

bool PollPort(SerialPort* port, std::uint32_t* queued) {
  win::COMSTAT status{};
  win::DWORD errors = 0;  // framing, parity, overrun: cleared and not used
  if (!win::ClearCommError(win::HandleFromSlot(port->handle), &errors, &status)) {
    *queued = 0;
    return false;
  }
  *queued = status.cbInQue;
  return true;
}

bool RequestRead(SerialPort* port, void* dest, std::uint32_t count, std::uint32_t* got) {
  win::HANDLE handle = win::HandleFromSlot(port->handle);
  win::DWORD done = 0;
  bool ok = win::ReadFile(handle, dest, count, &done, &port->read_overlapped) != 0;
  if (!ok && win::GetLastError() == win::ERROR_IO_PENDING) {
    // Wait for the request rather than leave it to deliver into the buffer
    // after the caller has moved on, and count what it brought.
    for (;;) {
      done = 0;
      ok = win::GetOverlappedResult(handle, &port->read_overlapped, &done, win::TRUE) != 0;
      if (ok || win::GetLastError() != win::ERROR_IO_INCOMPLETE) break;
    }
  }
  *got = std::min<std::uint32_t>(done, count);
  return ok;
}

void CloseTransferEvents(SerialPort* port) {
  for (win::OVERLAPPED* block : {&port->read_overlapped, &port->write_overlapped}) {
    if (block->hEvent != 0) {
      win::CloseHandle(win::HandleFromSlot(block->hEvent));
      block->hEvent = 0;
    }
  }
}

}  // namespace serial_channel
