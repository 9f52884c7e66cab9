// The calling thread's last-error code, as Windows keeps it. Every failing call
// of this layer sets it before returning; successful calls may leave it as it was.
#pragma once

#include "platform/win_types.h"

namespace win {

DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace win
