// Linux: a pseudo-terminal. The slave side is a terminal like a USB serial
// adapter (termios, bit rate, modem-control calls that a pty accepts or
// refuses harmlessly); the master side is the sensor.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "standin/sim_line.h"

namespace standin {

namespace {

struct BaudEntry {
  int baud;
  speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

bool SpeedForBaud(int baud, speed_t* speed) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

// Moves a descriptor above the standard streams, so that a program whose
// stdin was closed never gets its line as descriptor 0.
int AboveStandardStreams(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

int WaitReadable(int fd, int wait_ms) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, wait_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  return (entry.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

}  // namespace

bool OpenLinePair(int baud, std::int32_t* caller_slot, SensorEnd* sensor_end) {
  speed_t speed;
  if (!SpeedForBaud(baud, &speed)) return false;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  master = AboveStandardStreams(master);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0) {
    if (master >= 0) close(master);
    return false;
  }
  int slave = AboveStandardStreams(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (slave < 0) {
    close(master);
    return false;
  }
  // A raw line at the asked rate: no echo, no line editing, no translation,
  // 8 data bits, no parity, one stop bit, as the sensor's line is wired.
  termios settings{};
  if (tcgetattr(slave, &settings) != 0) {
    close(slave);
    close(master);
    return false;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  if (tcsetattr(slave, TCSANOW, &settings) != 0) {
    close(slave);
    close(master);
    return false;
  }
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  *caller_slot = slave;
  *sensor_end = master;
  return true;
}

void CloseCallerEnd(std::int32_t caller_slot) {
  if (caller_slot > 2) close(caller_slot);
}

void CloseSensorEnd(SensorEnd sensor_end) {
  if (sensor_end > 2) close(static_cast<int>(sensor_end));
}

bool CallerEndClosed(SensorEnd sensor_end) {
  // Once every descriptor of the slave is closed the master reports a hang-up.
  pollfd entry{static_cast<int>(sensor_end), POLLIN, 0};
  if (poll(&entry, 1, 0) < 0) return false;
  return (entry.revents & (POLLHUP | POLLNVAL)) != 0 && (entry.revents & POLLIN) == 0;
}

int ReadSensorEnd(SensorEnd sensor_end, char* buffer, int size, int wait_ms) {
  int fd = static_cast<int>(sensor_end);
  int ready = WaitReadable(fd, wait_ms);
  if (ready <= 0) return ready;
  ssize_t got = read(fd, buffer, static_cast<size_t>(size));
  if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<int>(got);
}

int WriteSensorEnd(SensorEnd sensor_end, const char* data, int count) {
  ssize_t put = write(static_cast<int>(sensor_end), data, static_cast<size_t>(count));
  if (put < 0) return (errno == EAGAIN) ? 0 : -1;
  return static_cast<int>(put);
}

int WriteCallerEnd(std::int32_t caller_slot, const void* data, int count) {
  const char* bytes = static_cast<const char*>(data);
  int done = 0;
  while (done < count) {
    ssize_t put = write(caller_slot, bytes + done, static_cast<size_t>(count - done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    done += static_cast<int>(put);
  }
  return done;
}

int ReadCallerEnd(std::int32_t caller_slot, void* buffer, int size, int wait_ms) {
  int ready = WaitReadable(caller_slot, wait_ms);
  if (ready <= 0) return ready;
  ssize_t got = read(caller_slot, buffer, static_cast<size_t>(size));
  if (got < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  return static_cast<int>(got);
}

void PurgeCallerInput(std::int32_t caller_slot) {
  tcflush(caller_slot, TCIFLUSH);
}

}  // namespace standin
