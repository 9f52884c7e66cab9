#include "platform/console.h"

#include <conio.h>

namespace win {

int _kbhit() {
  return ::_kbhit();
}
int _getch() {
  return ::_getch();
}

}  // namespace win
