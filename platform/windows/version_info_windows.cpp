#include "platform/version_info.h"

#include <windows.h>

namespace win {

DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) {
  // The platform's DWORD is unsigned long, ours unsigned int: the same 32 bits.
  ::DWORD unused = 0;
  ::DWORD size = ::GetFileVersionInfoSizeA(path, &unused);
  if (handle != nullptr) *handle = unused;
  return size;
}

BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data) {
  return ::GetFileVersionInfoA(path, handle, size, data);
}

BOOL VerQueryValueA(const void* block, const char* sub_block, void** buffer, UINT* length) {
  ::UINT value_length = 0;
  ::BOOL result = ::VerQueryValueA(block, sub_block, buffer, &value_length);
  if (length != nullptr) *length = value_length;
  return result;
}

}  // namespace win
