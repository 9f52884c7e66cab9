#include "platform/console.h"

#include <conio.h>
#include <io.h>

namespace win {

int _kbhit() {
  return ::_kbhit();
}
int _getch() {
  return ::_getch();
}
int _isatty(int fd) {
  return ::_isatty(fd);
}

}  // namespace win
