#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "serial/motor_link.h"

namespace {

// Waits for a reply and reports a missing one; returns its count, 0 if none.
std::uint32_t ExchangeOrReport(win::HANDLE port, const char* command, char* reply,
                               std::uint32_t wait_ms) {
  const std::uint32_t count = MotorExchange(port, command, reply, kMotorBufferSize, wait_ms);
  if (count == 0) {
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_TIMEOUT) {
      std::fprintf(stderr, "Motor - no reply from the controller within %u ms\n", wait_ms);
    } else {
      std::fprintf(stderr, "Motor - error reading reply: %d\n", static_cast<int>(error));
    }
  }
  return count;
}

// The reply is text up to its first NUL, but a full buffer has none.
bool HoldsDoneMarker(const char* reply) {
  const void* end = std::memchr(reply, '\0', kMotorBufferSize);
  const std::size_t length =
      end ? static_cast<std::size_t>(static_cast<const char*>(end) - reply) : kMotorBufferSize;
  return std::memchr(reply, '!', length) != nullptr;
}

}  // namespace

int MoveMotor(win::HANDLE port, std::int32_t position, std::uint32_t wait_ms) {
  char reply[kMotorBufferSize] = {};
  char command[kMotorBufferSize] = {};

  std::fprintf(stderr, "calling getMotorData\n");
  std::fprintf(stderr, "position %ld\n", static_cast<long>(position));

  std::snprintf(command, sizeof command, "ma 0,1\r");
  if (ExchangeOrReport(port, command, reply, wait_ms) == 0) return 0;

  if (HoldsDoneMarker(reply)) {
    std::printf("! found, no need to wait\n");
  } else {
    std::memset(reply, 0, sizeof reply);
    const std::uint32_t count = ExchangeOrReport(port, "", reply, wait_ms);
    if (count == 0) return 0;
    std::fprintf(stderr, "# %d |%.*s|\n", static_cast<int>(count),
                 static_cast<int>(kMotorBufferSize), reply);
  }

  std::snprintf(command, sizeof command, "ma %ld,1\r", static_cast<long>(position));
  if (ExchangeOrReport(port, command, reply, wait_ms) == 0) return 0;
  return 1;
}
