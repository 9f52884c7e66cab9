// Link to the motor controller on a serial line of its own.
//
// A motor port is the platform handle of the open serial device, opened for
// plain synchronous transfers; the caller holds it and closes it with
// win::CloseHandle. The link hands out a valid handle or null, never
// INVALID_HANDLE_VALUE, and keeps nothing between calls.
//
// The controller takes ASCII commands ended by a carriage return alone:
// "ma <position>,1\r" moves to an absolute position. A reply that holds "!"
// tells that no further reply is coming for that command.
//
// Messages go to the console as the controller's operators know them: the
// failed open on standard output, every other fault on standard error, each
// with the platform's last-error code.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

// Read time-outs the open sets, in milliseconds. A read returns when it has
// what it asked for, when 10 ms pass between two bytes, or when 10 ms per byte
// asked plus 100 ms have passed, with whatever arrived (possibly nothing).
inline constexpr win::DWORD kMotorReadIntervalMs = 10;
inline constexpr win::DWORD kMotorReadMultiplierMs = 10;
inline constexpr win::DWORD kMotorReadConstantMs = 100;

// Size of the command and reply buffers of the move sequence.
inline constexpr std::uint32_t kMotorBufferSize = 100;

// How long an exchange waits for the first byte of a reply by default: long
// enough for a controller that answers only when a move across the whole
// travel has ended.
inline constexpr std::uint32_t kMotorReplyWaitMs = 30000;

// Opens the serial device `name` (as the platform's CreateFileA takes it:
// "COM<n>" or, on Linux, a device path) for synchronous transfers, sets the bit
// rate to `baud`, no parity and one stop bit (every other line setting, data
// bits and flow control among them, stays as the device had it) and the read
// time-outs above (the write time-outs stay).
// Returns the handle, or null after a message: "Motor - could not open serial
// port, %d\n" on stdout when the device does not open; on stderr, with the
// device closed again, "Motor - error getting comm: %d\n", "Motor - error
// setting comm: %d\n", " Motor - error getting comm timeouts:%d/n" (sic: "/n", no line end) or
// "Motor - error setting comm timeouts:%d\n". A null `name` fails to open with
// ERROR_INVALID_PARAMETER.
win::HANDLE OpenMotorPort(const char* name, std::int32_t baud);

// Sends `command` (NUL-terminated, without its NUL; nothing when empty or
// null), then reads up to `size` bytes into `reply` until a read brings at
// least one byte. The bytes are stored at the start of `reply`; no terminator
// is added. Write errors go unnoticed, as the reply tells whether the
// controller heard.
// Returns the number of bytes received (1 to `size`), or 0 when:
//   - no byte came within `wait_ms` (counted as reads that each wait the
//     longest time the open's time-outs allow, 10 * size + 100 ms; at least
//     one read is made): last error ERROR_TIMEOUT;
//   - a read failed: last error as the read left it;
//   - `reply` is null or `size` is 0: last error ERROR_INVALID_PARAMETER,
//     nothing sent.
std::uint32_t MotorExchange(win::HANDLE port, const char* command, char* reply, std::uint32_t size,
                            std::uint32_t wait_ms = kMotorReplyWaitMs);

// True when at least one received byte waits in the device's input queue.
// Clears the device's line-error state on the way. False when the status
// cannot be read (the last error then tells why): a caller polling for input
// sees a failed device as a quiet one and learns of the fault from its next
// exchange.
bool MotorInputPending(win::HANDLE port);

// Runs one move sequence: writes "calling getMotorData\n" and "position %ld\n"
// to stderr; sends "ma 0,1\r" and waits for the reply; if the reply (read as
// text up to its first NUL) holds "!", writes "! found, no need to wait\n" to
// stdout, otherwise waits for one more reply and writes "# %d |%s|\n" with its
// count and text to stderr; then sends "ma <position>,1\r" and waits for its
// first reply, which is not examined. It does not wait for the move to end.
// Each wait is bounded by `wait_ms` as in MotorExchange.
// Returns 1 when every wait got a reply. Returns 0, after "Motor - no reply
// from the controller within %u ms\n" or "Motor - error reading reply: %d\n" on
// stderr, at the first wait that got none; the remaining steps are not taken,
// so no further move is sent to a controller that has not answered.
int MoveMotor(win::HANDLE port, std::int32_t position, std::uint32_t wait_ms = kMotorReplyWaitMs);

// Empties the device's input queue: a reply left waiting on the line (from an
// earlier run that was stopped, or a controller that talks when powered up)
// would otherwise be taken as the answer to the next command. Call it after
// the open, before the first command. Returns false when the platform refused
// (the last error then tells why); the queue may then still hold bytes.
bool DiscardMotorInput(win::HANDLE port);
