// The system's text for an error code: the English texts Windows gives for the
// codes this layer produces, so that messages read the same on both platforms.
#include <cstring>

#include "platform/errors.h"
#include "platform/format_message.h"
#include "platform/version_info.h"

namespace win {
namespace {

struct MessageText {
  DWORD code;
  const char* text;
};

constexpr MessageText kMessageTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_COMMAND, "The device does not recognize the command.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for "
     "%2.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_RESOURCE_DATA_NOT_FOUND,
     "The specified image file did not contain a resource section.\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file.\r\n"},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file.\r\n"},
};

// Neutral (0) and English (9) are the primary languages the texts are in; the
// primary language is the low ten bits of a language id.
bool HasLanguage(DWORD language_id) {
  DWORD primary = language_id & 0x3FF;
  return primary == 0x00 || primary == 0x09;
}

DWORD Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

}  // namespace

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, std::va_list* /*arguments*/) {
  constexpr DWORD kOffered =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & ~kOffered) != 0 || buffer == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!HasLanguage(language_id)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
  for (const MessageText& entry : kMessageTexts) {
    if (entry.code != message_id) continue;
    std::size_t length = std::strlen(entry.text);
    if (length >= size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, entry.text, length + 1);
    return static_cast<DWORD>(length);
  }
  return Fail(ERROR_MR_MID_NOT_FOUND);
}

}  // namespace win
