#include "platform/process.h"

#include <windows.h>

namespace win {

HANDLE GetCurrentProcess() {
  return ::GetCurrentProcess();
}

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
  return ::SetPriorityClass(process, priority_class);
}

DWORD GetPriorityClass(HANDLE process) {
  return ::GetPriorityClass(process);
}

BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  return ::SetProcessAffinityMask(process, static_cast<::DWORD_PTR>(mask));
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask) {
  // The platform's DWORD_PTR is unsigned long on 32-bit Windows, ours unsigned
  // int: same width, different type, so the masks pass through locals.
  ::DWORD_PTR own = 0, system = 0;
  ::BOOL result = ::GetProcessAffinityMask(process, &own, &system);
  if (result) {
    if (process_mask != nullptr) *process_mask = own;
    if (system_mask != nullptr) *system_mask = system;
  }
  return result;
}

}  // namespace win
