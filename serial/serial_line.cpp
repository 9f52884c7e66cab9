// The line set-up of an open port.
#include "platform/comm.h"
#include "platform/files.h"
#include "serial/serial_port.h"
#include "serial/serial_requests.h"

int ConfigureLine(SerialPort* port, std::int32_t baud_rate) {
  // A fresh pair of events replaces the record's earlier pair, which would
  // otherwise stay open with nothing left to close it.
  serial_channel::CloseTransferEvents(port);
  InitPortRecord(port);  // a missing event leaves the block without one

  win::HANDLE handle = win::HandleFromSlot(port->handle);
  win::DCB& dcb = port->dcb;
  win::GetCommState(handle, &dcb);  // keeps fParity, ErrorChar, EofChar, EvtChar

  // The selector was just reset to 4, so the line runs without flow control:
  // bit 0 would ask for CTS/DSR output flow control, 0 for XON/XOFF.
  const unsigned handshake = port->handshake;
  dcb.BaudRate = static_cast<win::DWORD>(baud_rate);
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = handshake & 1u;
  dcb.fOutxDsrFlow = handshake & 1u;
  dcb.fDtrControl = win::DTR_CONTROL_DISABLE;  // DTR is raised by OpenPort afterwards
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = handshake == 0 ? 1 : 0;
  dcb.fInX = handshake == 0 ? 1 : 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = win::RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;  // line errors must not stop transfers
  dcb.XonLim = 10;
  dcb.XoffLim = 10;
  dcb.ByteSize = 8;
  dcb.Parity = win::NOPARITY;
  dcb.StopBits = win::ONESTOPBIT;
  dcb.XonChar = 0x11;   // DC1
  dcb.XoffChar = 0x13;  // DC3
  return win::SetCommState(handle, &dcb);
}
