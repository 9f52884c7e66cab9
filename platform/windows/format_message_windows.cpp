#include "platform/format_message.h"

#include <windows.h>

namespace win {

DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, std::va_list* arguments) {
  return ::FormatMessageA(flags, source, message_id, language_id, buffer, size, arguments);
}

}  // namespace win
