// Fixed memory blocks.
//
// On Windows the calls pass straight through to kernel32.
//
// Errors follow the model of platform/win_types.h.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace win {

using SIZE_T = std::size_t;
using HGLOBAL = void*;

inline constexpr DWORD GMEM_ZEROINIT = 0x0040;

// A block of `bytes` bytes. Only GMEM_FIXED (with or without GMEM_ZEROINIT) is
// offered on Linux; the block is then its own address. Null and the last error
// (ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER) on failure.
HGLOBAL GlobalAlloc(DWORD flags, SIZE_T bytes);

// Releases a block from GlobalAlloc (null is accepted and ignored). Returns null
// on success.
HGLOBAL GlobalFree(HGLOBAL block);

}  // namespace win
