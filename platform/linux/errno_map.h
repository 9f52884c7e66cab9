// The one translation from errno to the Windows error codes that the operations
// compare and report.
#pragma once

#include "platform/win_types.h"

namespace platform_linux {

win::DWORD WinErrorFromErrno(int error_number);

// Sets the calling thread's last error from errno (or from `error_number`).
void SetLastErrorFromErrno();
void SetLastErrorFromErrno(int error_number);

}  // namespace platform_linux
