#include <windows.h>

#include "platform/console_output.h"

namespace platform {

bool StandardErrorIsTerminal() {
  // A console handle is a character device; so is NUL, which is told apart by
  // having no console mode.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace platform
