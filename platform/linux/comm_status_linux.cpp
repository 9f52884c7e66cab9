// ClearCommError: queue counts and the line errors since the last call.
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/handle_table_linux.h"

namespace win {
namespace {

// Line errors counted by the driver since the counts seen last. Drivers
// without counters (pseudo-terminals, many USB adapters) report none. Runs
// under the table's lock, so two callers never report one error twice.
DWORD TakeLineErrors(int fd, platform_linux::HandleState* state) {
  if (state->no_error_counters) return 0;
  serial_icounter_struct counts{};
  if (ioctl(fd, TIOCGICOUNT, &counts) != 0) {
    state->no_error_counters = true;  // not asked again on every poll
    return 0;
  }
  platform_linux::LineErrorCounts now{counts.frame, counts.parity, counts.overrun,
                                      counts.buf_overrun, counts.brk};
  platform_linux::LineErrorCounts seen = state->errors_seen_valid ? state->errors_seen : now;
  state->errors_seen = now;
  state->errors_seen_valid = true;
  DWORD errors = 0;
  if (now.frame != seen.frame) errors |= CE_FRAME;
  if (now.parity != seen.parity) errors |= CE_RXPARITY;
  if (now.overrun != seen.overrun) errors |= CE_OVERRUN;
  if (now.buffer_overrun != seen.buffer_overrun) errors |= CE_RXOVER;
  if (now.breaks != seen.breaks) errors |= CE_BREAK;
  return errors;
}

}  // namespace

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  int in_queue = 0;
  int out_queue = 0;
  if (ioctl(fd, FIONREAD, &in_queue) != 0) {
    platform_linux::SetLastErrorFromErrno();  // a hung-up line answers EIO
    return FALSE;
  }
  if (in_queue == 0) {
    // Nothing left to read and the other end gone (adapter unplugged, the
    // master side of a pseudo-terminal closed): the line no longer exists.
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR)) != 0) {
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
  }
  if (ioctl(fd, TIOCOUTQ, &out_queue) != 0) out_queue = 0;
  DWORD line_errors = 0;
  platform_linux::ChangeHandleState(fd, [fd, &line_errors](platform_linux::HandleState* kept) {
    line_errors = TakeLineErrors(fd, kept);
  });
  if (errors != nullptr) *errors = line_errors;
  if (status != nullptr) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(in_queue);
    status->cbOutQue = static_cast<DWORD>(out_queue);
  }
  return TRUE;
}

}  // namespace win
