// What the capture tools tell an operator about a configuration line beside the
// reader's own output (which stays as it is, on stdout): the line as typed and
// what it accepts, or what it is read as and what was likely meant. On stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Writes `line` as a message shows it into `shown` (`size` bytes, at least 4):
// up to its line end, control characters as '?', cut with "..." when long.
void ShowConfigLine(const char* line, char* shown, std::size_t size);

// Prints "<program>: warning: <path> line <number> (<description>): "<text>"
// is read as <value>; likely meant <intent>" on `stream`, for a numeric line
// whose number is followed directly by text.
void WarnNumberWithText(std::FILE* stream, const char* program, const char* path, int number,
                        const char* line, std::int32_t value);

// The same warning, with its line feed, into `out` (`size` bytes; cut to fit).
void FormatNumberWithText(char* out, std::size_t size, const char* program, const char* path,
                          int number, const char* line, std::int32_t value);
