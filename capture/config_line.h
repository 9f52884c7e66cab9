// Line-level pieces of the capture configuration reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace capture_config {

// Bytes of one line read: at most 1023 characters and a terminator.
inline constexpr std::size_t kLineBytes = 1024;

// Reads one line as fgets does into a buffer of `size` bytes (size >= 2): up to
// size - 1 characters, stopping after a line feed, always terminated. CR LF
// reads as a single LF, as a Windows text-mode stream delivers it. Returns
// false, leaving `line` unspecified, when nothing could be read (end of file or
// a read error).
bool ReadConfigLine(std::FILE* file, char* line, std::size_t size);

// Reads the leading decimal integer of `text` with the syntax of scanf's "%d":
// white space skipped, an optional sign, at least one digit; what follows is
// ignored. A value beyond 32 bits saturates at INT32_MIN or INT32_MAX. Returns
// false, leaving *value untouched, when no number begins the text.
bool ScanDecimalInt(const char* text, std::int32_t* value);

// The name a line holds: leading white space skipped, up to (not including) the
// first white space, ';' or the end of the text. Sets *start and returns the
// name's full length (0 for an empty name).
std::size_t FindName(const char* text, const char** start);

}  // namespace capture_config
