// Transfers on a serial line under the Windows comm time-outs.
#pragma once

#include "platform/win_types.h"

namespace platform_linux {

// Reads up to `count` bytes with the meaning Windows gives `timeouts`:
//  - interval MAXDWORD, multiplier 0, constant 0: returns at once with what is
//    already received (possibly nothing);
//  - interval MAXDWORD, multiplier MAXDWORD, constant C (0 < C < MAXDWORD):
//    returns at once with what is received, or waits up to C ms for a first byte;
//  - otherwise: a total limit of multiplier x count + constant ms from the start
//    (none when both are 0), and an interval limit (interval ms, none when 0)
//    counted between bytes once the first has come. The read ends with `count`
//    bytes or when a limit runs out, with whatever arrived.
// A blocking descriptor keeps its flags (they are shared with every other user
// of the open file): a read takes only the bytes poll found waiting.
// *done gets the bytes stored. Returns ERROR_SUCCESS (a time-out is a success
// with a short count, as on Windows) or the failure: ERROR_DEVICE_NOT_CONNECTED
// when the line hung up or vanished (bytes stored before stay counted).
win::DWORD ReadSerial(int fd, void* buffer, win::DWORD count, const win::COMMTIMEOUTS& timeouts,
                      win::DWORD* done);

// Writes `count` bytes within the total write time-out (multiplier x count +
// constant ms; none when both are 0). *done gets the bytes accepted by the
// line. A write cut short by the time-out fails with ERROR_TIMEOUT and the
// short count, so a caller can tell it from a complete one; a vanished line
// fails with ERROR_DEVICE_NOT_CONNECTED. A blocking descriptor is written
// through a private non-blocking open of the same device, made for the call
// (when the device refuses a second open, in pieces that fit the room poll saw).
win::DWORD WriteSerial(int fd, const void* buffer, win::DWORD count,
                       const win::COMMTIMEOUTS& timeouts, win::DWORD* done);

}  // namespace platform_linux
