// Fixed memory blocks: on Linux a fixed block is simply heap memory.
#include <cstdlib>

#include "platform/errors.h"
#include "platform/global_memory.h"

namespace win {

HGLOBAL GlobalAlloc(DWORD flags, SIZE_T bytes) {
  if ((flags & ~GMEM_ZEROINIT) != GMEM_FIXED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A block of no bytes is still a block, as on Windows.
  SIZE_T size = bytes == 0 ? 1 : bytes;
  void* block = (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  std::free(block);
  return nullptr;
}

}  // namespace win
