// What the layer keeps beside each descriptor: the state of a Windows handle
// that a descriptor cannot hold (the kind of object, comm time-outs, the fields
// of the device-control block that termios has no place for, the event mask,
// the line-error counters seen last).
//
// Descriptors the layer did not open itself (a serial line handed over by the
// card's driver, for instance) are adopted on first use: their state is made
// then, with the defaults of a freshly opened port.
//
// An entry belongs to one open of a file, not to a descriptor number: the
// driver may close its line with close() and open the same device again under
// the same number, and that open must start with fresh state. Every pollable
// descriptor the table knows is registered in a private epoll set; the kernel
// keys a registration by the open file itself and drops it when that open is
// released, so "is this number still registered" tells the same open from a
// new one and cannot be fooled by a reused number or a reopened device. Files
// epoll does not take (regular files, /dev/null) are told apart by device and
// inode, which is all their state needs.
//
// Safe for concurrent callers: every read and change of an entry happens under
// the table's lock, and changes touch only the fields they mean to, so two
// threads working on one line never undo each other's settings. The lock is
// never held across a transfer or a wait.
#pragma once

#include "platform/win_types.h"

namespace platform_linux {

enum class HandleKind {
  kFile,    // regular file: synchronous, positioned transfers
  kSerial,  // terminal device: a serial line with the comm semantics
  kEvent,   // event made by CreateEventA
  kStream,  // anything else that reads and writes (pipe, /dev/null, ...)
};

// Line-error counters of the driver (TIOCGICOUNT) at the last ClearCommError.
struct LineErrorCounts {
  int frame = 0;
  int parity = 0;
  int overrun = 0;
  int buffer_overrun = 0;
  int breaks = 0;
};

struct HandleState {
  HandleKind kind = HandleKind::kStream;
  win::COMMTIMEOUTS timeouts{};  // all zero: reads and writes wait without limit
  win::DCB kept{};               // the last DCB set; termios fields are read live
  win::DWORD event_mask = 0;
  win::DWORD input_queue = 0;  // sizes asked for by SetupComm (advisory)
  win::DWORD output_queue = 0;
  LineErrorCounts errors_seen{};
  bool errors_seen_valid = false;  // false until the first TIOCGICOUNT
  bool no_error_counters = false;  // the driver refused TIOCGICOUNT: it keeps none
};

// The descriptor a handle stands for, or -1 for null, INVALID_HANDLE_VALUE,
// 0, 1, 2 and values that do not fit a descriptor.
int DescriptorFromHandle(win::HANDLE handle);

// Makes fresh state for a descriptor the layer has just opened or created.
void RegisterHandle(int fd, HandleKind kind);

// Copies the state of `fd` into *state, adopting the descriptor if the layer
// has none for it (or has stale state of an earlier open with that number).
// false with the last error set (ERROR_INVALID_HANDLE) when fd is not open.
bool LoadHandleState(int fd, HandleState* state);

// Runs change(&state) on the state kept for `fd`, under the table's lock, so
// that it sees and changes the latest state. Keep it short: no waits.
// false when the layer has no state for `fd` (it was closed meanwhile).
using StateChange = void (*)(HandleState* state, void* context);
bool ChangeHandleState(int fd, StateChange change, void* context);

template <typename Change>
bool ChangeHandleState(int fd, Change change) {
  return ChangeHandleState(
      fd, [](HandleState* state, void* context) { (*static_cast<Change*>(context))(state); },
      &change);
}

// Drops the state of a descriptor that is being closed.
void ForgetHandle(int fd);

// Loads the state of a serial line. false with the last error set when the
// handle is invalid (ERROR_INVALID_HANDLE) or not a terminal
// (ERROR_NOT_SUPPORTED).
bool LoadSerialState(win::HANDLE handle, int* fd, HandleState* state);

// The DCB that a port has before any SetCommState: binary, 8 data bits read
// from the line itself, DTR and RTS control as the lines stand.
win::DCB DefaultKeptDcb();

}  // namespace platform_linux
