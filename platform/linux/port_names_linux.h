// The Windows device namespace for serial ports, on Linux.
//
// "COM<n>" and "\\.\COM<n>" (any letter case; n a decimal number without
// leading zeros) name the serial device bound to n. A binding is looked up, the
// first match winning, in:
//   1. the environment variable SCANMON_COMPORTS: "COM3=/dev/ttyUSB0;COM4=/dev/pts/7"
//   2. $XDG_CONFIG_HOME/scanmon/comports (or ~/.config/scanmon/comports)
//   3. /etc/scanmon/comports
// (files: one `COM<n>=<device path>` a line, '#' starts a comment); without a
// binding COM<n> is /dev/ttyS<n-1>, the numbering Linux and Wine share. Any other
// name is a path and is opened as it stands.
#pragma once

#include <cstddef>

namespace platform_linux {

inline constexpr const char* kComportsVariable = "SCANMON_COMPORTS";

// The port number of a COM name, or 0 when `name` is not one ("COM0" gives 0
// too: Windows has no such port).
unsigned PortNumberOfName(const char* name);

// Writes the path to open for `name` into `path` (capacity bytes, terminated).
// Returns false with the last error set: ERROR_FILE_NOT_FOUND for a COM name
// that no device stands for, ERROR_FILENAME_EXCED_RANGE when the path does not
// fit. *is_port_name tells whether `name` was a COM name.
bool ResolveDeviceName(const char* name, char* path, std::size_t capacity, bool* is_port_name);

}  // namespace platform_linux
