// The file version of a module, as text.
#pragma once

// The length of the longest version text, "65535.65535.65535.65535", with its
// terminator: a buffer of this size holds every version.
inline constexpr int kVersionTextSize = 24;

// Writes "major.minor.patch.tweak" of the fixed file information of the version
// information of `path` (a module file; null: the running program's own file)
// into `text` (`size` bytes), and returns 1. A text that does not fit is cut to
// size - 1 characters and terminated; the result is still 1.
// Returns 0 with `text` empty when the module has no readable version: missing
// file, no version information, no memory, no fixed file information, a `path`
// of more than 259 characters, or a program path that could not be had.
// With `size` <= 0 (or no `text`) nothing is written.
int GetModuleVersion(const char* path, char* text, int size);
