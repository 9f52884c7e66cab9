// The byte-by-byte reads: a line up to its line feed, and an exact count of
// bytes, both under an idle budget.
#include <cstdint>

#include "platform/sleep.h"
#include "serial/serial_port.h"
#include "serial/serial_requests.h"

namespace {

constexpr win::DWORD kIdlePollMs = 10;

// The idle budget in 10 ms steps since the last byte. Wide enough that no
// budget up to INT32_MAX overflows it.
struct IdleBudget {
  std::int64_t idle_ms;
  std::int32_t limit_ms;
};

// One step of silence; true when the budget is spent.
bool SpendIdleStep(IdleBudget* budget) {
  budget->idle_ms += kIdlePollMs;
  return budget->idle_ms > budget->limit_ms;
}

// Waits for and reads one byte into *dest. Returns 1 with the byte stored, 0
// when nothing came this pass, kReadIdleTimeout when the budget is spent or
// the line can no longer be polled.
int ReadOneByte(SerialPort* port, unsigned char* dest, IdleBudget* budget) {
  std::uint32_t queued = 0;
  if (!serial_channel::PollPort(port, &queued)) return kReadIdleTimeout;
  if (queued == 0) {
    win::Sleep(kIdlePollMs);
    return SpendIdleStep(budget) ? kReadIdleTimeout : 0;
  }
  std::uint32_t got = 0;
  serial_channel::RequestRead(port, dest, 1, &got);
  if (got == 1) {
    budget->idle_ms = 0;  // the silence is counted from the last byte
    return 1;
  }
  // The request brought nothing: clear the error state and try again; a
  // request that keeps failing spends the budget rather than spin for good.
  serial_channel::PollPort(port, &queued);
  return SpendIdleStep(budget) ? kReadIdleTimeout : 0;
}

}  // namespace

int AsciiReadLine(SerialPort* port, char* buffer, std::uint32_t length, int strip_cr,
                  std::int32_t timeout_ms) {
  if (length == 0) return 0;
  auto* bytes = reinterpret_cast<unsigned char*>(buffer);
  IdleBudget budget{0, timeout_ms};
  std::uint32_t stored = 0;
  int kept = 0;
  // The last byte of the buffer is kept for the terminator.
  while (stored < length - 1) {
    int step = ReadOneByte(port, bytes + stored, &budget);
    if (step == kReadIdleTimeout) return kReadIdleTimeout;
    if (step == 0) continue;
    const unsigned char byte = bytes[stored];
    ++stored;
    if (byte == '\n') {
      bytes[stored - 1] = 0;
      return kept;
    }
    if (strip_cr != 0 && byte == '\r') {
      bytes[stored - 1] = 0;  // stays in its place; the next byte goes after it
    } else {
      ++kept;
    }
  }
  bytes[stored] = 0;
  return kReadLineFull;
}

int BinaryReadBytes(SerialPort* port, void* buffer, std::uint32_t length, std::int32_t timeout_ms) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  IdleBudget budget{0, timeout_ms};
  std::uint32_t stored = 0;
  while (stored < length) {
    int step = ReadOneByte(port, bytes + stored, &budget);
    if (step == kReadIdleTimeout) return kReadIdleTimeout;
    stored += static_cast<std::uint32_t>(step);
  }
  return static_cast<int>(stored);
}
