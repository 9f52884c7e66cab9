// Entry points of the sensor's serial line.
#include <cstring>

#include "standin/driver_state.h"
#include "standin/hsif_standin.h"
#include "standin/serial_service.h"
#include "standin/sim_clock.h"
#include "standin/sim_log.h"

using namespace standin;

namespace {

constexpr int kMaxSendBytes = 4096;
constexpr int kMaxTimeoutMs = 10000;
// Bytes reach the sensor's end of a pseudo-terminal a moment after the write.
constexpr int kDeliveryWaitMs = 100;
// Written in pieces, the sensor reading each, so that the line's buffer never
// fills while this one thread is the only reader.
constexpr int kSendPiece = 512;

// What a record holds after a failed open: no line and no events to close.
void MarkPortClosed(SerialPort* port) {
  port->handle = -1;
  port->is_open = 0;
  port->write_overlapped.hEvent = 0;
  port->read_overlapped.hEvent = 0;
}

// The settings a freshly opened line reports: 8 data bits, no parity, one stop
// bit, DTR and RTS raised, no flow control.
win::DCB LineSettings(int baud) {
  win::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<win::DWORD>(baud);
  dcb.fBinary = 1;
  dcb.fDtrControl = win::DTR_CONTROL_ENABLE;
  dcb.fRtsControl = win::RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = win::NOPARITY;
  dcb.StopBits = win::ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

void FillOpenRecord(SerialPort* port, std::int32_t slot, int baud) {
  std::memset(port, 0, sizeof *port);
  port->handle = slot;
  port->dcb = LineSettings(baud);
  port->aux_flag = 1;
  port->is_open = 1;
  port->aux3 = port->aux4 = port->aux5 = 1;
  port->data_bits = 8;
  port->handshake = 4;
  port->parity = 0;
  port->stop_bits = 0;
  port->baud_rate = baud;
}

// Sends bytes to the sensor on a line of ours. Returns the bytes written, -1.
int SendToSensor(Line* line, const char* data, int count) {
  int sent = 0;
  while (sent < count) {
    int piece = count - sent < kSendPiece ? count - sent : kSendPiece;
    int put = WriteCallerEnd(line->caller_slot, data + sent, piece);
    if (put <= 0) return sent > 0 ? sent : -1;
    sent += put;
    ServiceSensor(line, put, kDeliveryWaitMs);
  }
  if (count == 0) ServiceSensor(line, 0, 0);
  return sent;
}

int ClampTimeout(hsif_i32 timeout_ms) {
  if (timeout_ms < 0) return 0;
  return timeout_ms > kMaxTimeoutMs ? kMaxTimeoutMs : timeout_ms;
}

}  // namespace

HSIF_API hsif_i32 HSIF_CALLCONV HsifOpenPort(SerialPort* port, hsif_i32 baud, hsif_i32 com_number) {
  DriverState& driver = Driver();
  hsif_i32 result = 0;
  if (port != nullptr) {
    MarkPortClosed(port);
    Line* line = FreeLine();
    std::int32_t slot = -1;
    SensorEnd sensor_end = kNoSensorEnd;
    if (driver.settings.fail == FailStep::kOpenPort) {
      SetLastErrorText("told to fail (HSIF_SIM_FAIL=openport)");
    } else if (com_number < 1 || com_number > 255) {
      SetLastErrorText("the COM number must be 1 to 255");
    } else if (line == nullptr) {
      SetLastErrorText("all 16 lines of the stand-in are open");
    } else if (!OpenLinePair(baud, &slot, &sensor_end)) {
      SetLastErrorText("no simulated line at this bit rate (a standard rate from 110 to 115200)");
    } else {
      *line = Line{};
      line->used = true;
      line->caller_slot = slot;
      line->sensor_end = sensor_end;
      FillOpenRecord(port, slot, baud);
      SetLastErrorText("");
      result = 1;
    }
  } else {
    SetLastErrorText("no port record");
  }
  LogLine("HsifOpenPort baud=%d port=%d -> %d", baud, com_number, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClosePort(SerialPort* port) {
  Line* line = FindLine(port);
  if (line != nullptr) {
    DropLine(line);
    MarkPortClosed(port);
  }
  LogLine("HsifClosePort -> %d", line != nullptr ? 1 : 0);
  return line != nullptr ? 1 : 0;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifPurgePort(SerialPort* port) {
  Line* line = FindLine(port);
  if (line != nullptr) {
    ServiceSensor(line, 0, 0);
    PurgeCallerInput(line->caller_slot);
  }
  LogLine("HsifPurgePort -> %d", line != nullptr ? 1 : 0);
  return line != nullptr ? 1 : 0;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSendStr(SerialPort* port, const char* text) {
  Line* line = FindLine(port);
  hsif_i32 result = 0;
  int length = 0;
  if (text != nullptr) {
    while (length <= kMaxSendBytes && text[length] != '\0') ++length;
  }
  char quoted[96] = "(null)";
  if (text != nullptr) QuoteForLog(text, length, quoted, sizeof quoted);
  if (line != nullptr && text != nullptr && length <= kMaxSendBytes) {
    result = SendToSensor(line, text, length) == length ? 1 : 0;
  }
  LogLine("HsifSendStr text=%s -> %d", quoted, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSendBinary(SerialPort* port, const void* data, hsif_i32 count) {
  Line* line = FindLine(port);
  hsif_i32 result = 0;
  if (line != nullptr && data != nullptr && count >= 0 && count <= kMaxSendBytes) {
    result = SendToSensor(line, static_cast<const char*>(data), count) == count ? 1 : 0;
  }
  LogLine("HsifSendBinary count=%d -> %d", count, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifWritePort(SerialPort* port, const void* data, hsif_i32 count,
                                              hsif_i32* written) {
  Line* line = FindLine(port);
  hsif_i32 result = 0;
  if (line != nullptr && data != nullptr && written != nullptr && count >= 0 &&
      count <= kMaxSendBytes) {
    int sent = SendToSensor(line, static_cast<const char*>(data), count);
    if (sent >= 0) {
      *written = sent;
      result = 1;
    }
  }
  LogLine("HsifWritePort count=%d -> %d", count, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifReadPort(SerialPort* port, void* buffer, hsif_i32 size,
                                             hsif_i32* count_read) {
  Line* line = FindLine(port);
  hsif_i32 result = 0;
  if (line != nullptr && buffer != nullptr && count_read != nullptr && size >= 0) {
    ServiceSensor(line, 0, 0);
    int got = size > 0 ? ReadCallerEnd(line->caller_slot, buffer, size, 0) : 0;
    if (got >= 0) {
      *count_read = got;
      result = 1;
    }
  }
  LogLine("HsifReadPort size=%d -> %d", size, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifAsciiRead(SerialPort* port, char* buffer, hsif_i32 size,
                                              hsif_i32 timeout_ms) {
  Line* line = FindLine(port);
  hsif_i32 result = -1;
  if (line != nullptr && buffer != nullptr && size >= 1) {
    ServiceSensor(line, 0, 0);
    int got =
        size > 1 ? ReadCallerEnd(line->caller_slot, buffer, size - 1, ClampTimeout(timeout_ms)) : 0;
    if (got >= 0) {
      buffer[got] = '\0';
      result = got;
    }
  }
  LogLine("HsifAsciiRead size=%d timeout=%d -> %d", size, timeout_ms, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifAsciiReadLine(SerialPort* port, char* buffer, hsif_i32 size,
                                                  hsif_i32 timeout_ms) {
  Line* line = FindLine(port);
  hsif_i32 result = -1;
  if (line != nullptr && buffer != nullptr && size >= 1) {
    ServiceSensor(line, 0, 0);
    std::int64_t deadline = MonotonicNs() + std::int64_t{ClampTimeout(timeout_ms)} * 1000000;
    int length = 0;
    for (;;) {
      std::int64_t left_ms = (deadline - MonotonicNs()) / 1000000;
      char c;
      int got =
          ReadCallerEnd(line->caller_slot, &c, 1, left_ms > 0 ? static_cast<int>(left_ms) : 0);
      if (got <= 0) break;  // time-out or error: no whole line
      if (c == '\n') {
        buffer[length] = '\0';
        result = length;
        break;
      }
      // CR is dropped; characters beyond the buffer are read and dropped too,
      // so that the next read starts on the next line.
      if (c != '\r' && length < size - 1) buffer[length++] = c;
    }
    if (result < 0) buffer[0] = '\0';
  }
  LogLine("HsifAsciiReadLine size=%d timeout=%d -> %d", size, timeout_ms, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifBinaryReadBytes(SerialPort* port, void* buffer, hsif_i32 count,
                                                    hsif_i32 timeout_ms) {
  Line* line = FindLine(port);
  hsif_i32 result = -1;
  if (line != nullptr && buffer != nullptr && count >= 0) {
    ServiceSensor(line, 0, 0);
    std::int64_t deadline = MonotonicNs() + std::int64_t{ClampTimeout(timeout_ms)} * 1000000;
    char* bytes = static_cast<char*>(buffer);
    int done = 0;
    while (done < count) {
      std::int64_t left_ms = (deadline - MonotonicNs()) / 1000000;
      int got = ReadCallerEnd(line->caller_slot, bytes + done, count - done,
                              left_ms > 0 ? static_cast<int>(left_ms) : 0);
      if (got < 0 && done == 0) {
        done = -1;
        break;
      }
      if (got <= 0) break;
      done += got;
    }
    result = done;
  }
  LogLine("HsifBinaryReadBytes count=%d timeout=%d -> %d", count, timeout_ms, result);
  return result;
}
