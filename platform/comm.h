// Serial communication calls on a handle from CreateFileA("COM<n>", ...), or
// on a serial line's descriptor handed over from elsewhere.
// A handle that is not a serial line fails every call here
// (ERROR_INVALID_HANDLE or ERROR_NOT_SUPPORTED); a line that vanished fails
// with ERROR_DEVICE_NOT_CONNECTED. On Linux see docs/serial.md for what termios
// can and cannot do (SetCommState refuses what the device does not take).
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace win {

BOOL GetCommState(HANDLE handle, DCB* dcb);
BOOL SetCommState(HANDLE handle, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);
BOOL SetupComm(HANDLE handle, DWORD input_queue, DWORD output_queue);
BOOL SetCommMask(HANDLE handle, DWORD event_mask);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL PurgeComm(HANDLE handle, DWORD flags);
// Clears the line-error state; reports it in *errors and the queue counts in
// *status (either may be null).
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);

}  // namespace win

namespace platform {

// The bit rates this platform's serial lines are set to by name, ascending
// (Linux: the termios B-constants; Windows: the CBR_ rates and the common
// higher ones). *rates points at a table that lives for the run; returns its
// length. A tool refuses any other rate: no controller runs at 96000.
std::size_t StandardBitRates(const win::DWORD** rates);

}  // namespace platform
