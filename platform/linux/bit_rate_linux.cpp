#include "platform/linux/bit_rate_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

namespace platform_linux {

bool SetBitRate(int fd, unsigned rate) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));  // input rate follows output
  line.c_cflag |= BOTHER;
  line.c_ispeed = rate;
  line.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &line) == 0;
}

bool GetBitRate(int fd, unsigned* rate) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  *rate = line.c_ospeed;
  return true;
}

static_assert(sizeof(termios2) <= sizeof(LineSnapshot::bytes));

bool SaveLine(int fd, LineSnapshot* line) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  std::memcpy(line->bytes, &settings, sizeof settings);
  return true;
}

bool RestoreLine(int fd, const LineSnapshot& line) {
  termios2 settings{};
  std::memcpy(&settings, line.bytes, sizeof settings);
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace platform_linux
