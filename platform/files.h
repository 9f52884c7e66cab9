// Handles of files, serial devices and events; synchronous and overlapped
// transfers.
//
// On Linux a handle is a file descriptor (never 0, 1 or 2); an event is a
// descriptor of the layer's own. CreateFileA of "COM<n>" opens the serial device
// bound to that number (see the README for the bindings); any other name is a
// path. A request made with an OVERLAPPED block is always complete, or collected,
// before the call returns, so no platform block outlives a call.
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

// Closes a file, device or event handle. FALSE with ERROR_INVALID_HANDLE for a
// handle this layer did not hand out.
BOOL CloseHandle(HANDLE handle);

// Reads up to `count` bytes. *count_read (may be null with an overlapped block)
// receives the bytes transferred. With `overlapped` the request completes before
// the call returns; the block's event is signalled.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read,
              OVERLAPPED* overlapped);

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written,
               OVERLAPPED* overlapped);

// Result of the last overlapped request made with `overlapped`.
BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* count_transferred,
                         BOOL wait);

// An unnamed event; `name` must be null on Linux.
HANDLE CreateEventA(void* security_attributes, BOOL manual_reset, BOOL initial_state,
                    const char* name);

}  // namespace win
