#include <cerrno>
#include <ctime>

#include "platform/sleep.h"

namespace win {

void Sleep(DWORD milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal (Ctrl-C asking for a graceful stop) must not cut a wait short:
  // the program's sleeps are hardware settle times.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace win
