// Releasing a line, whoever opened it.
#include "platform/comm.h"
#include "platform/files.h"
#include "serial/serial_port.h"

namespace {

void CloseTransferEvent(win::OVERLAPPED& block) {
  if (block.hEvent != 0) {
    win::CloseHandle(win::HandleFromSlot(block.hEvent));
    block.hEvent = 0;
  }
}

}  // namespace

int ClosePort(SerialPort* port) {
  port->is_open = 0;
  win::HANDLE handle = win::HandleFromSlot(port->handle);
  win::SetCommMask(handle, 0);
  win::EscapeCommFunction(handle, win::CLRDTR);
  win::PurgeComm(handle,
                 win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR);
  win::CloseHandle(handle);
  CloseTransferEvent(port->write_overlapped);
  CloseTransferEvent(port->read_overlapped);
  return 1;
}
