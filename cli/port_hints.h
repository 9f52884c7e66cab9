// What a tool tells an operator about a serial port that does not open: which
// device the name stands for, and what to do (bind a COM number, join the
// device's group, close the program that holds it). scanmon-preflight and
// motor-move print the same hints. One file per platform (port_hints_linux.cpp,
// port_hints_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/win_types.h"

// Writes the device the port name `name` ("COM4", or a device path) stands for
// into `device` (`size` bytes, terminated); an empty text when the platform
// names ports directly (Windows) or no device stands for it.
void DescribePortDevice(const char* name, char* device, std::size_t size);

// Writes "COM4 (/dev/ttyS3)", or the name alone when `device` is empty or the
// name itself, into `shown` (`size` bytes, terminated): how messages name the
// port.
void ShowPortName(const char* name, const char* device, char* shown, std::size_t size);

// Prints, as "  hint: ..." lines, what to do about the port `name` (`device` as
// DescribePortDevice gave it) that failed to open with error `code`.
void PrintPortHint(std::FILE* stream, const char* name, const char* device, win::DWORD code);
// The same lines into `out` (`size` bytes, terminated; empty when there is no
// hint), for whoever passes them on instead of printing them.
void FormatPortHint(char* out, std::size_t size, const char* name, const char* device,
                    win::DWORD code);
