#include "platform/linux/serial_io_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "platform/linux/errno_map.h"

namespace platform_linux {
namespace {

using win::DWORD;
constexpr std::int64_t kNoLimit = INT64_MAX;

std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int PollWait(std::int64_t deadline, std::int64_t now) {
  if (deadline == kNoLimit) return -1;
  return static_cast<int>(std::clamp<std::int64_t>(deadline - now, 0, INT_MAX));
}

// The line's descriptor may be blocking (a line handed over by the driver):
// transfers run non-blocking and wait in poll; the flags are put back after.
int EnterNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return flags;
}

void LeaveNonBlocking(int fd, int flags) {
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags);
}

std::int64_t TotalLimit(DWORD multiplier, DWORD constant, DWORD count, std::int64_t start) {
  if (multiplier == 0 && constant == 0) return kNoLimit;
  return start + static_cast<std::int64_t>(multiplier) * count + constant;
}

DWORD ReadAvailable(int fd, void* buffer, DWORD count, const win::COMMTIMEOUTS& timeouts,
                    DWORD* done) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  const DWORD interval = timeouts.ReadIntervalTimeout;
  const bool at_once = interval == win::MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                       timeouts.ReadTotalTimeoutConstant == 0;
  const bool any_byte =
      interval == win::MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == win::MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant != 0 && timeouts.ReadTotalTimeoutConstant != win::MAXDWORD;
  const std::int64_t start = NowMs();
  std::int64_t total = kNoLimit;
  if (any_byte) {
    total = start + timeouts.ReadTotalTimeoutConstant;
  } else if (!at_once) {
    total = TotalLimit(timeouts.ReadTotalTimeoutMultiplier, timeouts.ReadTotalTimeoutConstant,
                       count, start);
  }
  const bool has_interval = !at_once && !any_byte && interval != 0 && interval != win::MAXDWORD;
  std::int64_t last_byte = start;
  for (;;) {
    std::int64_t now = NowMs();
    std::int64_t deadline = total;
    if (at_once || (any_byte && *done > 0)) deadline = now;
    if (has_interval && *done > 0) deadline = std::min(deadline, last_byte + interval);
    pollfd watch{fd, POLLIN, 0};
    int ready = poll(&watch, 1, PollWait(deadline, now));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (ready == 0) {
      if (deadline != kNoLimit && NowMs() >= deadline) return win::ERROR_SUCCESS;
      continue;
    }
    if ((watch.revents & POLLIN) == 0) {
      // Hang-up or error with nothing left to read: the line is gone.
      return (watch.revents & POLLNVAL) != 0 ? win::ERROR_INVALID_HANDLE
                                             : win::ERROR_DEVICE_NOT_CONNECTED;
    }
    ssize_t got = read(fd, bytes + *done, count - *done);
    if (got > 0) {
      *done += static_cast<DWORD>(got);
      last_byte = NowMs();
      if (*done == count) return win::ERROR_SUCCESS;
    } else if (got == 0) {
      return win::ERROR_DEVICE_NOT_CONNECTED;  // readable yet empty: end of the line
    } else if (errno != EAGAIN && errno != EINTR) {
      return WinErrorFromErrno(errno);
    }
  }
}

DWORD WriteWithin(int fd, const void* buffer, DWORD count, const win::COMMTIMEOUTS& timeouts,
                  DWORD* done) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const std::int64_t deadline = TotalLimit(timeouts.WriteTotalTimeoutMultiplier,
                                           timeouts.WriteTotalTimeoutConstant, count, NowMs());
  while (*done < count) {
    ssize_t put = write(fd, bytes + *done, count - *done);
    if (put > 0) {
      *done += static_cast<DWORD>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return WinErrorFromErrno(errno);
    std::int64_t now = NowMs();
    if (deadline != kNoLimit && now >= deadline) return win::ERROR_TIMEOUT;
    pollfd watch{fd, POLLOUT, 0};
    if (poll(&watch, 1, PollWait(deadline, now)) < 0 && errno != EINTR) {
      return WinErrorFromErrno(errno);
    }
    if ((watch.revents & POLLNVAL) != 0) return win::ERROR_INVALID_HANDLE;
    if ((watch.revents & (POLLHUP | POLLERR)) != 0 && (watch.revents & POLLOUT) == 0) {
      return win::ERROR_DEVICE_NOT_CONNECTED;
    }
  }
  return win::ERROR_SUCCESS;
}

}  // namespace

DWORD ReadSerial(int fd, bool non_blocking, void* buffer, DWORD count,
                 const win::COMMTIMEOUTS& timeouts, DWORD* done) {
  *done = 0;
  if (count == 0) return win::ERROR_SUCCESS;
  if (non_blocking) return ReadAvailable(fd, buffer, count, timeouts, done);
  int flags = EnterNonBlocking(fd);
  DWORD error = ReadAvailable(fd, buffer, count, timeouts, done);
  LeaveNonBlocking(fd, flags);
  return error;
}

DWORD WriteSerial(int fd, bool non_blocking, const void* buffer, DWORD count,
                  const win::COMMTIMEOUTS& timeouts, DWORD* done) {
  *done = 0;
  if (count == 0) return win::ERROR_SUCCESS;
  if (non_blocking) return WriteWithin(fd, buffer, count, timeouts, done);
  int flags = EnterNonBlocking(fd);
  DWORD error = WriteWithin(fd, buffer, count, timeouts, done);
  LeaveNonBlocking(fd, flags);
  return error;
}

}  // namespace platform_linux
