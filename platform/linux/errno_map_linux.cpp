#include <cerrno>

#include "platform/errors.h"
#include "platform/linux/errno_map.h"

namespace platform_linux {

win::DWORD WinErrorFromErrno(int error_number) {
  switch (error_number) {
    case 0:
      return win::ERROR_SUCCESS;
    case ENOENT:
      return win::ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return win::ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return win::ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
      return win::ERROR_ACCESS_DENIED;
    case EBADF:
      return win::ERROR_INVALID_HANDLE;
    case ENOMEM:
      return win::ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:  // a device held by another opener
      return win::ERROR_SHARING_VIOLATION;
    case EAGAIN:  // out of processes or threads; a lock held elsewhere is told apart where taken
      return win::ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return win::ERROR_FILE_EXISTS;
    case EINVAL:
    case ERANGE:
      return win::ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return win::ERROR_NOT_SUPPORTED;
    case EPIPE:
      return win::ERROR_BROKEN_PIPE;
    case ENAMETOOLONG:
      return win::ERROR_FILENAME_EXCED_RANGE;
    case ENXIO:
    case ENODEV:
    case EIO:
      return win::ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT:
      return win::ERROR_TIMEOUT;
    case ECANCELED:
      return win::ERROR_OPERATION_ABORTED;
    case ENOEXEC:
      return win::ERROR_BAD_EXE_FORMAT;
    default:
      return win::ERROR_GEN_FAILURE;
  }
}

void SetLastErrorFromErrno() {
  win::SetLastError(WinErrorFromErrno(errno));
}
void SetLastErrorFromErrno(int error_number) {
  win::SetLastError(WinErrorFromErrno(error_number));
}

}  // namespace platform_linux
