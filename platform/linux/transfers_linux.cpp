// ReadFile, WriteFile and GetOverlappedResult for every kind of handle.
//
// Every request completes before the call returns. With an OVERLAPPED block the
// block's event is signalled when it ends (Windows resets it first; within one
// call that makes no difference anyone could see, so the reset is left out),
// Internal holds the request's Windows error code (0 for success) and
// InternalHigh its byte count, which GetOverlappedResult reports. On a regular
// file the block's Offset/OffsetHigh give the position, as on Windows, and a
// read with a block at or past the end fails with ERROR_HANDLE_EOF.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/events_linux.h"
#include "platform/linux/handle_table_linux.h"
#include "platform/linux/serial_io_linux.h"

namespace win {
namespace {

using platform_linux::HandleKind;
using platform_linux::HandleState;

off_t PositionOf(const OVERLAPPED* overlapped) {
  return static_cast<off_t>((static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) |
                            overlapped->Offset);
}

// A descriptor handed over non-blocking (a pipe inherited so) answers EAGAIN
// where Windows would wait: wait for it here. false on a poll failure.
bool WaitUntil(int fd, short events) {
  pollfd watch{fd, events, 0};
  while (poll(&watch, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Reads until `count` bytes or the end of the file. A stream (pipe, socket,
// character device) returns what a read brought, as a Windows pipe read
// returns what is there instead of waiting for the full count.
DWORD ReadPlain(int fd, bool stream, void* buffer, DWORD count, const OVERLAPPED* overlapped,
                DWORD* done) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*done < count) {
    ssize_t got = overlapped != nullptr
                      ? pread(fd, bytes + *done, count - *done, PositionOf(overlapped) + *done)
                      : read(fd, bytes + *done, count - *done);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && WaitUntil(fd, POLLIN)) continue;
      return platform_linux::WinErrorFromErrno(errno);
    }
    *done += static_cast<DWORD>(got);
    if (stream) break;
  }
  return ERROR_SUCCESS;
}

DWORD WritePlain(int fd, const void* buffer, DWORD count, const OVERLAPPED* overlapped,
                 DWORD* done) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (*done < count) {
    ssize_t put = overlapped != nullptr
                      ? pwrite(fd, bytes + *done, count - *done, PositionOf(overlapped) + *done)
                      : write(fd, bytes + *done, count - *done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && WaitUntil(fd, POLLOUT)) continue;
      return platform_linux::WinErrorFromErrno(errno);
    }
    *done += static_cast<DWORD>(put);
  }
  return ERROR_SUCCESS;
}

bool StartRequest(HANDLE handle, DWORD* count_out, int* fd, HandleState* state) {
  if (count_out != nullptr) *count_out = 0;
  *fd = platform_linux::DescriptorFromHandle(handle);
  if (!platform_linux::LoadHandleState(*fd, state)) return false;
  if (state->kind == HandleKind::kEvent) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

BOOL FinishRequest(DWORD error, DWORD done, DWORD* count_out, OVERLAPPED* overlapped) {
  if (count_out != nullptr) *count_out = done;
  if (overlapped != nullptr) {
    overlapped->Internal = error;
    overlapped->InternalHigh = done;
    platform_linux::SignalEvent(overlapped->hEvent);
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read, OVERLAPPED* overlapped) {
  int fd = -1;
  HandleState state;
  if (!StartRequest(handle, count_read, &fd, &state)) return FALSE;
  DWORD done = 0;
  DWORD error = state.kind == HandleKind::kSerial
                    ? platform_linux::ReadSerial(fd, buffer, count, state.timeouts, &done)
                    : ReadPlain(fd, state.kind == HandleKind::kStream, buffer, count,
                                state.kind == HandleKind::kFile ? overlapped : nullptr, &done);
  // Windows fails a positioned read (one with a block) of a file that starts at
  // or past the end of the file, where a plain read gives an empty success.
  if (error == ERROR_SUCCESS && done == 0 && count != 0 && overlapped != nullptr &&
      state.kind == HandleKind::kFile) {
    error = ERROR_HANDLE_EOF;
  }
  return FinishRequest(error, done, count_read, overlapped);
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written,
               OVERLAPPED* overlapped) {
  int fd = -1;
  HandleState state;
  if (!StartRequest(handle, count_written, &fd, &state)) return FALSE;
  DWORD done = 0;
  DWORD error = state.kind == HandleKind::kSerial
                    ? platform_linux::WriteSerial(fd, buffer, count, state.timeouts, &done)
                    : WritePlain(fd, buffer, count,
                                 state.kind == HandleKind::kFile ? overlapped : nullptr, &done);
  return FinishRequest(error, done, count_written, overlapped);
}

BOOL GetOverlappedResult(HANDLE /*handle*/, OVERLAPPED* overlapped, DWORD* count_transferred,
                         BOOL /*wait*/) {
  // Requests never stay pending here: the block holds the finished result.
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (count_transferred != nullptr) *count_transferred = overlapped->InternalHigh;
  if (overlapped->Internal != ERROR_SUCCESS) {
    SetLastError(overlapped->Internal);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
