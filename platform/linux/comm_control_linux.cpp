// Comm time-outs, queue sizes, event mask, modem-line escapes and purges.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/handle_table_linux.h"

namespace win {
namespace {

BOOL FromSystemCall(int result) {
  if (result != 0) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL ChangeModemLine(int fd, unsigned long request, int line) {
  return FromSystemCall(ioctl(fd, request, &line));
}

}  // namespace

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  if (timeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *timeouts = state.timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  if (timeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const COMMTIMEOUTS wanted = *timeouts;
  platform_linux::ChangeHandleState(
      fd, [&wanted](platform_linux::HandleState* kept) { kept->timeouts = wanted; });
  return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD input_queue, DWORD output_queue) {
  // The tty driver's queues have fixed sizes; the request is kept as advice.
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  platform_linux::ChangeHandleState(fd, [=](platform_linux::HandleState* kept) {
    kept->input_queue = input_queue;
    kept->output_queue = output_queue;
  });
  return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD event_mask) {
  // No wait for comm events is offered; the mask is kept for what reads it back.
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  platform_linux::ChangeHandleState(
      fd, [=](platform_linux::HandleState* kept) { kept->event_mask = event_mask; });
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  // A pseudo-terminal has no modem lines: DTR and RTS requests fail there with
  // ERROR_NOT_SUPPORTED.
  switch (function) {
    case SETDTR:
      return ChangeModemLine(fd, TIOCMBIS, TIOCM_DTR);
    case CLRDTR:
      return ChangeModemLine(fd, TIOCMBIC, TIOCM_DTR);
    case SETRTS:
      return ChangeModemLine(fd, TIOCMBIS, TIOCM_RTS);
    case CLRRTS:
      return ChangeModemLine(fd, TIOCMBIC, TIOCM_RTS);
    case SETBREAK:
      return FromSystemCall(ioctl(fd, TIOCSBRK));
    case CLRBREAK:
      return FromSystemCall(ioctl(fd, TIOCCBRK));
    // As if XOFF (XON) had been received: output stops (resumes).
    case SETXOFF:
      return FromSystemCall(tcflow(fd, TCOOFF));
    case SETXON:
      return FromSystemCall(tcflow(fd, TCOON));
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  constexpr DWORD kAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((flags & ~kAll) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The aborts have nothing to do: no request outlives the call that made it.
  bool input = (flags & PURGE_RXCLEAR) != 0;
  bool output = (flags & PURGE_TXCLEAR) != 0;
  if (!input && !output) return TRUE;
  return FromSystemCall(tcflush(fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH));
}

}  // namespace win
