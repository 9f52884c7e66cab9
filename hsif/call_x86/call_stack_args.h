// The 32-bit x86 call routine itself (driver_call_x86.S); only the driver
// call (driver_call_x86.cpp) and its test use it.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

// Calls entry with count argument words on the stack, words[0] the first
// argument (lowest address), the stack 16-byte aligned at the call. Returns
// the entry point's EAX; *removed_bytes: how many bytes of the arguments the
// driver had removed when it returned (0 or 4 * count in either convention).
// ESP, EBX, ESI, EDI and EBP are as before the call.
extern "C" std::int32_t HsifCallStackArgs(win::FARPROC entry, const std::uint32_t* words,
                                          std::uint32_t count, std::uint32_t* removed_bytes);
