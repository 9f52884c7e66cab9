// What scanmon-preflight tells an operator about the platform when a check
// fails: where the driver library is looked for, which device a COM number
// stands for, and what to do about a port that does not open. One file per
// platform (preflight_hints_linux.cpp, preflight_hints_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/win_types.h"

// Prints, as "  hint: ..." lines, where the platform looked for the driver
// library `base_name` ("hsif") when it could not be found.
void PrintDriverSearchHint(std::FILE* stream, const char* base_name);

// Writes the device that COM<port_number> stands for into `device` (`size`
// bytes, terminated); an empty text when the platform names ports directly.
void DescribePortDevice(int port_number, char* device, std::size_t size);

// Prints, as "  hint: ..." lines, what to do about COM<port_number> (`device`
// as DescribePortDevice gave it) that failed to open with error `code`.
void PrintPortHint(std::FILE* stream, int port_number, const char* device, win::DWORD code);
