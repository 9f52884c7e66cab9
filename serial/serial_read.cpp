// The counted read: exactly `count` bytes, or what is waiting.
#include <algorithm>

#include "platform/sleep.h"
#include "serial/serial_port.h"
#include "serial/serial_requests.h"

namespace {

constexpr win::DWORD kIdlePollMs = 10;
// The 602nd empty poll in a row gives up: some 6 s of silence.
constexpr int kMaxEmptyPollsBefore = 600;

}  // namespace

int ReadPort(SerialPort* port, void* buffer, std::uint32_t count, int exact) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t stored = 0;
  std::uint32_t want = count;
  int empty_polls = 0;
  while (stored < want) {
    std::uint32_t queued = 0;
    if (!serial_channel::PollPort(port, &queued)) {
      return exact ? kReadIdleTimeout : static_cast<int>(stored);  // the line is gone
    }
    // Never more than `count` in all, and in one request all that is queued.
    const std::uint32_t take = std::min(want - stored, queued);
    if (take == 0) {
      win::Sleep(kIdlePollMs);
      if (empty_polls > kMaxEmptyPollsBefore) return kReadIdleTimeout;
      ++empty_polls;
    }
    if (!exact) want = stored + take;  // what is waiting now is all we take
    if (take == 0) continue;
    std::uint32_t got = 0;
    bool ok = serial_channel::RequestRead(port, bytes + stored, take, &got);
    stored += got;
    // The count of silent passes starts again when bytes come in.
    if (got != 0) empty_polls = 0;
    if (!ok && got == 0) {
      serial_channel::PollPort(port, &queued);  // clears the line's error state
      // A request that keeps failing while bytes are reported uses up the
      // idle budget instead of looping for good.
      if (empty_polls > kMaxEmptyPollsBefore) {
        return exact ? kReadIdleTimeout : static_cast<int>(stored);
      }
      ++empty_polls;
    }
  }
  return static_cast<int>(stored);
}

int AsciiRead(SerialPort* port, char* buffer, std::uint32_t count) {
  return ReadPort(port, buffer, count, 1);
}
