// Process settings: priority class and processor affinity.
//
// On Windows each call passes straight through to kernel32. On Linux:
// - The only process handle is the current-process pseudo handle that
//   GetCurrentProcess returns (as on Windows, the value -1; never closed). Any
//   other handle fails with ERROR_INVALID_HANDLE.
// - Priority classes are nice values applied to every thread of the process:
//     IDLE 19, BELOW_NORMAL 10, NORMAL 0, ABOVE_NORMAL -5, HIGH -10, REALTIME -20.
//   Raising priority (a lower nice value) needs CAP_SYS_NICE or a matching
//   RLIMIT_NICE; without it the call fails with ERROR_ACCESS_DENIED and the
//   process keeps the settings it had.
// - An affinity mask counts the processors the process may run on (its allowed
//   set, lowest CPU number first): bit 0 is the first processor of that set, bit 1
//   the second, and so on. A mask naming no processor or one beyond the set fails
//   with ERROR_INVALID_PARAMETER.
//
// Errors follow the model of platform/win_types.h.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace win {

using DWORD_PTR = std::uintptr_t;

// The pseudo handle of the calling process. It needs no closing.
HANDLE GetCurrentProcess();

// Sets the priority class (NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS...)
// of `process`. Non-zero on success; 0 and the last error on failure
// (ERROR_ACCESS_DENIED: not allowed; ERROR_INVALID_PARAMETER: unknown class).
BOOL SetPriorityClass(HANDLE process, DWORD priority_class);

// The priority class of `process`; 0 and the last error on failure. On Linux the
// class whose nice value is nearest to the calling thread's nice value.
DWORD GetPriorityClass(HANDLE process);

// Restricts `process` to the processors of `mask`. Non-zero on success; 0 and
// the last error on failure (ERROR_INVALID_PARAMETER: no processor of the mask
// is available to the process; ERROR_ACCESS_DENIED: not allowed).
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask);

// The processors `process` may run on now (`process_mask`) and could run on
// (`system_mask`). On Linux both are the mask of the allowed set, which is
// therefore all ones up to its size (bit n: the n+1-th allowed processor).
// Non-zero on success; 0 and the last error on failure.
BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask);

}  // namespace win
