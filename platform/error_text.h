// The system's text for a platform error code, made in one place for every
// message that shows one (the process settings' failure messages, the
// pre-flight check's port failure). Portable: built on win::FormatMessageA, so
// on Linux the texts are the English Windows texts of platform/format_message.h.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace platform {

// Room for any text the system gives (FormatMessageA's texts are short); the
// process settings' messages have always used 512 bytes.
inline constexpr std::size_t kErrorTextSize = 512;

// Shown in place of the system's text when it has none for a code; it ends in
// CR LF like the system's own texts, so a message prints the same either way.
inline constexpr char kNoSystemErrorText[] = "(no system text for this error code)\r\n";

// Writes the system's text for `code` into `text` (`size` bytes, terminator
// included), exactly as the system gives it (neutral language, inserts left as
// they are; the texts end in "\r\n"). When the system has no text for the code,
// or the text does not fit, writes kNoSystemErrorText instead (cut to `size`).
// Writes nothing when `size` is 0. Returns true when the text is the system's.
// The calling thread's last-error code may change: take it before the call.
bool GetSystemErrorText(win::DWORD code, char* text, std::size_t size);

// Cuts the line end (any trailing CR and LF) off `text`, for a message that
// puts the text inside a line of its own.
void TrimLineEnd(char* text);

// Room for DescribeErrorCode's text.
inline constexpr std::size_t kErrorDescriptionSize = kErrorTextSize + 24;

// Writes the system's text for `code` without its line end, then the code, as
// a tool's message shows them: "The system cannot find the file specified.
// (error 2)". Cut to `size` bytes (terminator included); nothing when 0.
void DescribeErrorCode(win::DWORD code, char* text, std::size_t size);

}  // namespace platform
