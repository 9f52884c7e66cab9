// What the layer keeps beside each descriptor: the state of a Windows handle
// that a descriptor cannot hold (the kind of object, comm time-outs, the fields
// of the device-control block that termios has no place for, the event mask,
// the line-error counters seen last).
//
// Descriptors the layer did not open itself (a serial line handed over by the
// card's driver, for instance) are adopted on first use: their state is made
// then, with the defaults of a freshly opened port. An entry remembers the file
// it was made for, so a descriptor number that was closed elsewhere and reused
// for another file starts over with fresh state.
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
  bool non_blocking = false;       // O_NONBLOCK set at open by the layer, and kept
};

// The descriptor a handle stands for, or -1 for null, INVALID_HANDLE_VALUE,
// 0, 1, 2 and values that do not fit a descriptor.
int DescriptorFromHandle(win::HANDLE handle);

// Makes fresh state for a descriptor the layer has just opened or created.
// `non_blocking`: the layer opened it with O_NONBLOCK and keeps it so.
void RegisterHandle(int fd, HandleKind kind, bool non_blocking = false);

// Copies the state of `fd` into *state, adopting the descriptor if the layer
// has none for it (or has stale state of an earlier file with that number).
// false with the last error set (ERROR_INVALID_HANDLE) when fd is not open.
bool LoadHandleState(int fd, HandleState* state);

// Stores state for `fd` (after LoadHandleState).
void StoreHandleState(int fd, const HandleState& state);

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
