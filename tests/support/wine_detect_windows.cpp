#include "tests/support/wine_detect.h"

#include <windows.h>

namespace test_support {

bool RunningUnderWine() {
  // Wine's ntdll offers its own export `wine_get_version`; Windows' does not.
  ::HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace test_support
