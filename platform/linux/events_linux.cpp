#include "platform/linux/events_linux.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/handle_table_linux.h"

namespace platform_linux {

void SignalEvent(win::HandleSlot event) {
  if (event < 3) return;
  // Only an event made here gets the 8-byte counter write: a slot holding some
  // other descriptor's number (a record that was never cleared) must not have
  // 8 bytes written into a file, a line or an eventfd of someone else that now
  // has the number. The table knows its events by their open, not the number.
  HandleState state;
  win::DWORD last_error = win::GetLastError();
  bool is_event = LoadHandleState(event, &state) && state.kind == HandleKind::kEvent;
  win::SetLastError(last_error);
  if (!is_event) return;
  // A counter that is already non-zero stays signalled; adding 1 keeps it so.
  std::uint64_t one = 1;
  ssize_t written = write(event, &one, sizeof one);
  (void)written;
}
}  // namespace platform_linux

namespace win {

HANDLE CreateEventA(void* /*security_attributes*/, BOOL manual_reset, BOOL initial_state,
                    const char* name) {
  if (name != nullptr || !manual_reset) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  int fd = eventfd(initial_state ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    platform_linux::SetLastErrorFromErrno();
    return nullptr;
  }
  if (fd < 3) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    if (moved < 0) {
      platform_linux::SetLastErrorFromErrno(error);
      return nullptr;
    }
    fd = moved;
  }
  platform_linux::RegisterHandle(fd, platform_linux::HandleKind::kEvent);
  return HandleFromSlot(fd);
}

}  // namespace win
