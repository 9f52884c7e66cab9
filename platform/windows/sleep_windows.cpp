#include "platform/sleep.h"

#include <windows.h>

namespace win {

void Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

}  // namespace win
