#include "platform/linux/serial_io_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/linux/errno_map.h"

namespace platform_linux {
namespace {

using win::DWORD;
constexpr std::int64_t kNoLimit = INT64_MAX;
// A write to a blocking line that cannot be reopened waits for room in poll
// and then writes this much at most: a UART reports room only with thousands
// of bytes free.
constexpr DWORD kBlockingChunk = 256;

std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int PollWait(std::int64_t deadline, std::int64_t now) {
  if (deadline == kNoLimit) return -1;
  return static_cast<int>(std::clamp<std::int64_t>(deadline - now, 0, INT_MAX));
}

std::int64_t TotalLimit(DWORD multiplier, DWORD constant, DWORD count, std::int64_t start) {
  if (multiplier == 0 && constant == 0) return kNoLimit;
  // At most (2^32 - 1)^2 + 2^32 - 1 < 2^64: exact in 64 unsigned bits. A limit
  // beyond what the clock can count is no limit, never a deadline in the past.
  std::uint64_t span = static_cast<std::uint64_t>(multiplier) * count + constant;
  if (span >= static_cast<std::uint64_t>(kNoLimit - start)) return kNoLimit;
  return start + static_cast<std::int64_t>(span);
}

bool IsNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// Bytes a read can take from a blocking descriptor without waiting: what the
// line holds now (a hang-up or an error is reported by the read at once).
DWORD ReadableNow(int fd, short revents, DWORD wanted) {
  if ((revents & (POLLHUP | POLLERR)) != 0) return wanted;
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0) return wanted;
  return std::min<DWORD>(wanted, static_cast<DWORD>(std::max(queued, 0)));
}

DWORD ReadAvailable(int fd, bool blocking, void* buffer, DWORD count,
                    const win::COMMTIMEOUTS& timeouts, DWORD* done) {
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
    DWORD wanted = count - *done;
    if (blocking) {
      // Another reader of the line may have taken the bytes poll saw.
      wanted = ReadableNow(fd, watch.revents, wanted);
      if (wanted == 0) continue;
    }
    ssize_t got = read(fd, bytes + *done, wanted);
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

// `blocking`: a write may only follow a poll that saw room, and takes at most
// kBlockingChunk bytes, to fit in it.
DWORD WriteWithin(int fd, bool blocking, const void* buffer, DWORD count,
                  const win::COMMTIMEOUTS& timeouts, DWORD* done) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const std::int64_t deadline = TotalLimit(timeouts.WriteTotalTimeoutMultiplier,
                                           timeouts.WriteTotalTimeoutConstant, count, NowMs());
  const DWORD chunk = blocking ? kBlockingChunk : count;
  bool may_write = !blocking;
  while (*done < count) {
    ssize_t put = -1;
    errno = EAGAIN;
    if (may_write) put = write(fd, bytes + *done, std::min(count - *done, chunk));
    may_write = !blocking;
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
    if ((watch.revents & POLLOUT) != 0) may_write = true;
  }
  return win::ERROR_SUCCESS;
}

// A blocking descriptor (a line opened by the card's driver) is never switched
// to non-blocking: its flags belong to the open file, shared with the driver
// and with every other thread. Writes go through a private non-blocking open
// of the same device for the call; reads take only what poll found.
int OpenPrivateWriter(int fd) {
  int number = 0;
  if (ioctl(fd, TIOCGPTN, &number) == 0) return -1;  // a pty master: reopening makes a new pty
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

DWORD ReadSerial(int fd, void* buffer, DWORD count, const win::COMMTIMEOUTS& timeouts,
                 DWORD* done) {
  *done = 0;
  if (count == 0) return win::ERROR_SUCCESS;
  return ReadAvailable(fd, !IsNonBlocking(fd), buffer, count, timeouts, done);
}

DWORD WriteSerial(int fd, const void* buffer, DWORD count, const win::COMMTIMEOUTS& timeouts,
                  DWORD* done) {
  *done = 0;
  if (count == 0) return win::ERROR_SUCCESS;
  if (IsNonBlocking(fd)) return WriteWithin(fd, false, buffer, count, timeouts, done);
  int writer = OpenPrivateWriter(fd);
  if (writer < 0) return WriteWithin(fd, true, buffer, count, timeouts, done);
  DWORD error = WriteWithin(writer, false, buffer, count, timeouts, done);
  close(writer);
  return error;
}

}  // namespace platform_linux
