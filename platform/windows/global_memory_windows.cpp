#include "platform/global_memory.h"

#include <windows.h>

namespace win {

HGLOBAL GlobalAlloc(DWORD flags, SIZE_T bytes) {
  return ::GlobalAlloc(flags, bytes);
}

HGLOBAL GlobalFree(HGLOBAL block) {
  return ::GlobalFree(block);
}

}  // namespace win
