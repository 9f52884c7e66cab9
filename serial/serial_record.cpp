// Record defaults and the two completion events.
#include "platform/files.h"
#include "serial/serial_port.h"

SerialPort DefaultPort{};

namespace {

win::HandleSlot CreateTransferEvent() {
  // Unnamed, manual reset, not signalled: each request resets and signals it.
  win::HANDLE event = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  return win::IsValidHandle(event) ? win::SlotFromHandle(event) : 0;
}

void ResetTransferBlock(win::OVERLAPPED& block) {
  block.Offset = 0;
  block.OffsetHigh = 0;
}

}  // namespace

int InitPortRecord(SerialPort* port) {
  port->aux_flag = 1;
  port->is_open = 1;
  port->aux1 = 0;
  port->aux2 = 0;
  port->aux3 = 1;
  port->aux4 = 1;
  port->aux5 = 1;
  port->data_bits = 8;
  port->handshake = 4;
  port->parity = 0;
  port->stop_bits = 0;
  port->baud_rate = 9600;
  port->aux6 = 0;
  port->aux7 = 0;
  port->aux8 = 0;
  for (std::int32_t& word : port->aux_block) word = 0;
  ResetTransferBlock(port->write_overlapped);
  ResetTransferBlock(port->read_overlapped);

  port->read_overlapped.hEvent = CreateTransferEvent();
  port->write_overlapped.hEvent = 0;
  if (port->read_overlapped.hEvent == 0) return -1;
  port->write_overlapped.hEvent = CreateTransferEvent();
  if (port->write_overlapped.hEvent == 0) {
    win::CloseHandle(win::HandleFromSlot(port->read_overlapped.hEvent));
    port->read_overlapped.hEvent = 0;
    return -1;
  }
  return 1;
}
