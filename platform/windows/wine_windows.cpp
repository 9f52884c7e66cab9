#include "platform/windows/wine_windows.h"

#include <windows.h>

namespace platform_windows {

bool RunningUnderWine() {
  ::HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace platform_windows
