// Opening and closing handles: regular files, serial devices and the rest.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/handle_table_linux.h"
#include "platform/linux/port_names_linux.h"

namespace win {
namespace {

using platform_linux::HandleKind;

// Fails with the error of the call that failed, after closing `fd`.
HANDLE FailAndClose(int fd, DWORD error) {
  if (fd >= 0) close(fd);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

bool OpenFlags(DWORD access, DWORD disposition, int* flags) {
  bool reads = (access & GENERIC_READ) != 0;
  bool writes = (access & GENERIC_WRITE) != 0;
  *flags = writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      *flags |= O_CREAT | O_EXCL;
      return true;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      *flags |= O_CREAT;
      return true;
    case OPEN_EXISTING:
      return true;
    case TRUNCATE_EXISTING:
      return writes;  // Windows asks for write access here
    default:
      return false;
  }
}

// A serial line answers whatever the carrier does, as a Windows COM port does:
// set CLOCAL so a missing DCD never hangs the line up.
void IgnoreCarrier(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) == 0 && (line.c_cflag & CLOCAL) == 0) {
    line.c_cflag |= CLOCAL;
    tcsetattr(fd, TCSANOW, &line);
  }
}

// A UART's close waits for its output to drain, up to the driver's closing
// wait (30 s by default), and forever with flow control holding it back. Give
// the output a bounded time to go, then drop the rest, so that closing a
// handle never hangs the program.
void DrainBeforeClose(int fd) {
  constexpr int kDrainWaitMs = 1000;
  constexpr int kStepMs = 10;
  for (int waited = 0; waited < kDrainWaitMs; waited += kStepMs) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0) return;
    usleep(kStepMs * 1000);
  }
  tcflush(fd, TCOFLUSH);
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode,
                   void* /*security_attributes*/, DWORD creation_disposition,
                   DWORD /*flags_and_attributes*/, HANDLE /*template_file*/) {
  int flags = 0;
  if (name == nullptr || !OpenFlags(desired_access, creation_disposition, &flags)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char path[PATH_MAX];
  bool is_port_name = false;
  if (!platform_linux::ResolveDeviceName(name, path, sizeof path, &is_port_name)) {
    return INVALID_HANDLE_VALUE;
  }
  // A COM port is a device that exists or not: never create a file in its place.
  if (is_port_name) flags &= ~(O_CREAT | O_EXCL);
  // O_NONBLOCK: opening a serial device must not wait for its carrier. It stays
  // on for terminals (their transfers wait in poll, under the comm time-outs)
  // and is cleared for everything else.
  int fd = open(path, flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return FailAndClose(-1, platform_linux::WinErrorFromErrno(errno));
  if (fd < 3) {
    // Never hand out the standard streams' numbers, even when one is closed.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    if (moved < 0) return FailAndClose(-1, platform_linux::WinErrorFromErrno(error));
    fd = moved;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) return FailAndClose(fd, platform_linux::WinErrorFromErrno(errno));
  if (S_ISDIR(info.st_mode)) return FailAndClose(fd, ERROR_ACCESS_DENIED);
  HandleKind kind = S_ISREG(info.st_mode) ? HandleKind::kFile
                    : isatty(fd)          ? HandleKind::kSerial
                                          : HandleKind::kStream;
  // Windows share modes through advisory locks: share mode 0 (and every serial
  // port, which Windows never shares) takes the lock exclusively, any sharing
  // mode takes it shared. flock locks belong to the open file description, so a
  // second open from this same process is refused too. Programs that take no
  // lock are not stopped.
  int lock = (share_mode == 0 || kind == HandleKind::kSerial) ? LOCK_EX : LOCK_SH;
  if (flock(fd, lock | LOCK_NB) != 0) {
    int error = errno;
    return FailAndClose(fd, error == EWOULDBLOCK ? ERROR_SHARING_VIOLATION
                                                 : platform_linux::WinErrorFromErrno(error));
  }
  // Truncation waits for the lock, so a refused open leaves the file intact.
  if (creation_disposition == CREATE_ALWAYS || creation_disposition == TRUNCATE_EXISTING) {
    if (kind == HandleKind::kFile && ftruncate(fd, 0) != 0) {
      return FailAndClose(fd, platform_linux::WinErrorFromErrno(errno));
    }
  }
  if (kind == HandleKind::kSerial) {
    IgnoreCarrier(fd);
  } else {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  platform_linux::RegisterHandle(fd, kind);
  return HandleFromSlot(fd);
}

BOOL CloseHandle(HANDLE handle) {
  int fd = platform_linux::DescriptorFromHandle(handle);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Another thread may use the number between these two steps and have it
  // adopted again; that state belongs to this open, which the close ends, so
  // the next open under the number still starts fresh (see handle_table_linux.h).
  platform_linux::ForgetHandle(fd);
  if (isatty(fd)) DrainBeforeClose(fd);
  // The descriptor is gone even when close reports an error (Linux never keeps
  // it open), so the handle is closed either way.
  if (close(fd) != 0 && errno == EBADF) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distance_high, DWORD method) {
  int fd = platform_linux::DescriptorFromHandle(handle);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  if (fd < 0 || method > FILE_END) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  // Without the high part the distance is a signed 32-bit number.
  std::int64_t move =
      distance_high != nullptr
          ? static_cast<std::int64_t>(
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32 |
                static_cast<std::uint32_t>(distance))
          : distance;
  off_t at = lseek(fd, static_cast<off_t>(move), whence);
  if (at < 0) {
    platform_linux::SetLastErrorFromErrno();
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) {
    *distance_high = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(static_cast<std::uint64_t>(at));
}

BOOL SetEndOfFile(HANDLE handle) {
  int fd = platform_linux::DescriptorFromHandle(handle);
  off_t at = fd < 0 ? -1 : lseek(fd, 0, SEEK_CUR);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (at < 0 || ftruncate(fd, at) != 0) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE handle) {
  int fd = platform_linux::DescriptorFromHandle(handle);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (fdatasync(fd) != 0) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
