// Handles of files, serial devices and events; synchronous and overlapped
// transfers.
//
// On Linux a handle is a file descriptor (never 0, 1 or 2); an event is a
// descriptor of the layer's own. CreateFileA of "COM<n>" opens the serial device
// bound to that number (SCANMON_COMPORTS, ~/.config/scanmon/comports,
// /etc/scanmon/comports, else /dev/ttyS<n-1>: see docs/serial.md); any other name
// is a path. A request made with an OVERLAPPED block is always complete, or
// collected, before the call returns, so no platform block outlives a call: its
// Internal holds the request's error code (0 on success), InternalHigh its count.
#pragma once

#include "platform/win_types.h"

namespace win {

// name: "COM<n>" or a path. Returns a handle, or INVALID_HANDLE_VALUE with the
// last error set (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_SHARING_VIOLATION, ...). share_mode 0 on an existing file takes an
// exclusive advisory lock: a second open through this layer is refused.
HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode,
                   void* security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);

// Closes a file, device or event handle, also a descriptor the layer adopted
// (a line handed over by the driver). FALSE with ERROR_INVALID_HANDLE for null,
// INVALID_HANDLE_VALUE, the standard streams and numbers that are not open.
BOOL CloseHandle(HANDLE handle);

// Reads up to `count` bytes. *count_read (may be null with an overlapped block)
// receives the bytes transferred. With `overlapped` the request completes before
// the call returns; the block's event is signalled. A regular file at its end
// gives TRUE with 0 bytes. A serial line reads under its comm time-outs; running
// out of time is a success with a short count; a line that vanished fails with
// ERROR_DEVICE_NOT_CONNECTED.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read, OVERLAPPED* overlapped);

// Writes `count` bytes. A write on a serial line that its total write time-out
// cuts short fails on Linux with ERROR_TIMEOUT (Windows may report success); in
// both cases *count_written holds the bytes that went out, so a caller can tell
// it from a complete write.
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written,
               OVERLAPPED* overlapped);

// Writes what the system holds of the file's data (and what is needed to read
// it back: its size) to the device, as a power cut would otherwise lose it.
// Linux: fdatasync. FALSE with the last error set when that fails (or for a
// handle that is not a file).
BOOL FlushFileBuffers(HANDLE handle);

// Moves a file's position: distance (low 32 bits, and the high ones through
// *distance_high when not null, which then receives the new position's high
// bits) from FILE_BEGIN, FILE_CURRENT or FILE_END. Returns the new position's
// low 32 bits, or INVALID_SET_FILE_POINTER with the last error set.
DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distance_high, DWORD method);

// Ends the file at its current position (cuts or extends it).
BOOL SetEndOfFile(HANDLE handle);

// Result of the last overlapped request made with `overlapped` (never pending
// on Linux, so `wait` changes nothing there).
BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* count_transferred,
                         BOOL wait);

// An unnamed manual-reset event; on Linux a named or auto-reset event fails
// with ERROR_NOT_SUPPORTED.
HANDLE CreateEventA(void* security_attributes, BOOL manual_reset, BOOL initial_state,
                    const char* name);

}  // namespace win
