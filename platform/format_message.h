// The system's texts for error codes.
//
// On Windows the call passes straight through to kernel32. On Linux
// FormatMessageA knows the English Windows texts of the error codes the
// platform layer produces.
//
// Errors follow the model of platform/win_types.h.
#pragma once

#include <cstdarg>

#include "platform/win_types.h"

namespace win {

inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// Writes the system's text for `message_id` into `buffer` (`size` bytes,
// terminator included). Only FORMAT_MESSAGE_FROM_SYSTEM (with or without
// FORMAT_MESSAGE_IGNORE_INSERTS) is offered on Linux; `source` and `arguments`
// are not used there, and inserts such as %1 stay as they are. Returns the length
// of the text without its terminator; 0 and the last error on failure, with the
// buffer untouched: ERROR_MR_MID_NOT_FOUND for a code without a text,
// ERROR_RESOURCE_LANG_NOT_FOUND for a language other than neutral or English,
// ERROR_INSUFFICIENT_BUFFER when the text does not fit, ERROR_INVALID_PARAMETER
// for other flags or a null buffer. Texts end in "\r\n", as Windows writes them.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, std::va_list* arguments);

}  // namespace win
