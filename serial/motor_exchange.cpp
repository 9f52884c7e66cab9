#include <cstring>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"

namespace {

// The number of empty reads that make up `wait_ms`: each waits the whole
// total time-out the open set for a read of `size` bytes. At least one read,
// so a zero wait still collects a reply that is already there.
std::uint64_t CountReadsFor(std::uint32_t wait_ms, std::uint32_t size) {
  const std::uint64_t per_read =
      std::uint64_t{kMotorReadMultiplierMs} * size + kMotorReadConstantMs;
  const std::uint64_t reads = (wait_ms + per_read - 1) / per_read;
  return reads == 0 ? 1 : reads;
}

}  // namespace

std::uint32_t MotorExchange(win::HANDLE port, const char* command, char* reply, std::uint32_t size,
                            std::uint32_t wait_ms) {
  if (reply == nullptr || size == 0) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (command != nullptr && command[0] != '\0') {
    win::DWORD written = 0;
    // A lost or short write shows as a missing reply.
    win::WriteFile(port, command, static_cast<win::DWORD>(std::strlen(command)), &written, nullptr);
  }
  const std::uint64_t reads = CountReadsFor(wait_ms, size);
  for (std::uint64_t i = 0; i < reads; ++i) {
    win::DWORD received = 0;
    const win::BOOL ok = win::ReadFile(port, reply, size, &received, nullptr);
    // Never trust a count beyond what was asked for.
    if (received > size) received = size;
    if (received > 0) return received;
    // A device that fails (unplugged, closed) would otherwise look silent.
    if (!ok) return 0;
  }
  win::SetLastError(win::ERROR_TIMEOUT);
  return 0;
}

bool MotorInputPending(win::HANDLE port) {
  win::DWORD errors = 0;
  win::COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!win::ClearCommError(port, &errors, &status)) return false;
  return status.cbInQue != 0;
}
