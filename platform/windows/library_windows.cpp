#include "platform/library.h"

#include <windows.h>

namespace win {

HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags) {
  // Windows appends ".dll" to a name without an extension and searches the
  // program's folder, the system folders and PATH.
  return ::LoadLibraryExA(name, reserved, flags);
}

const char* LastLoaderMessage() {
  return "";
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  // Windows would look a null module up in the program itself; the program
  // only ever asks a library it loaded, so a null module is refused as the
  // Linux side refuses it.
  if (module == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Entry points are cast back to their own types by the caller; void(*)() is
  // the neutral function pointer type for the trip.
  return reinterpret_cast<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(module), name));
}

BOOL FreeLibrary(HMODULE module) {
  return ::FreeLibrary(static_cast<::HMODULE>(module));
}

DWORD GetModuleFileNameA(HMODULE module, char* path, DWORD size) {
  ::DWORD length = ::GetModuleFileNameA(static_cast<::HMODULE>(module), path, size);
  // Windows XP leaves a cut path unterminated; later versions terminate it.
  // Terminate it everywhere.
  if (length != 0 && length >= size && size != 0) path[size - 1] = '\0';
  return length;
}

}  // namespace win

namespace platform {

bool DescribeLibrarySearch(char* text, std::size_t size) {
  // Windows' search order is fixed and documented; its error code says enough.
  if (size > 0) text[0] = '\0';
  return false;
}

}  // namespace platform
