#include "platform/errors.h"

namespace win {
namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() {
  return t_last_error;
}
void SetLastError(DWORD code) {
  t_last_error = code;
}

}  // namespace win
