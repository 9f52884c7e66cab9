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

// Where the number that begins `text` (as ScanDecimalInt reads it) ends: the
// character right after its last digit. Null when no number begins the text.
const char* EndOfNumber(const char* text);

// Whether the number that begins `text` is followed directly by something other
// than white space, ';' or the end of the text ("12OO", "2,000,000", "1.5",
// "20us"): the reader then takes the number and drops the rest, which is seldom
// what the operator meant.
bool HasTextAfterNumber(const char* text);

// What the operator likely meant by such a number, in words, into `out` (`size`
// bytes, terminated): "1200 (a letter O typed for a zero)", "2000000 (digit
// group separators are not read)", "a whole number (a decimal point ends the
// number: 2 is read)", or a blank or ';' before the comment. Looks at the text
// from the number up to the first white space or ';'.
void DescribeLikelyIntent(const char* text, char* out, std::size_t size);

// The name a line holds: leading white space skipped, up to (not including) the
// first white space, ';' or the end of the text. Sets *start and returns the
// name's full length (0 for an empty name).
std::size_t FindName(const char* text, const char** start);

}  // namespace capture_config
