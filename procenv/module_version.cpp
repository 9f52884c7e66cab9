#include "procenv/module_version.h"

#include <cstdio>
#include <cstring>

#include "platform/global_memory.h"
#include "platform/library.h"
#include "platform/version_info.h"

namespace {

constexpr win::DWORD kPathSize = win::kMaxPath;

// Fills `buffer` with `path`, or with the program's own path when `path` is null.
// False when the path does not fit or the program's path could not be had.
bool FillModulePath(const char* path, char (&buffer)[kPathSize]) {
  buffer[0] = '\0';
  if (path != nullptr) {
    std::size_t length = strnlen(path, kPathSize);
    if (length == kPathSize) return false;
    std::memcpy(buffer, path, length + 1);
    return true;
  }
  // A cut path would name another file: only a complete one is used.
  win::DWORD length = win::GetModuleFileNameA(nullptr, buffer, kPathSize);
  buffer[kPathSize - 1] = '\0';
  return length > 0 && length < kPathSize;
}

// The fixed file information of the module at `path`, formatted into `text`.
bool FormatModuleVersion(const char* path, char* text, int size) {
  win::DWORD unused = 0;
  win::DWORD block_size = win::GetFileVersionInfoSizeA(path, &unused);
  if (block_size == 0) return false;
  win::HGLOBAL block = win::GlobalAlloc(win::GMEM_FIXED, block_size);
  if (block == nullptr) return false;

  bool made = false;
  void* value = nullptr;
  win::UINT value_length = 0;
  if (win::GetFileVersionInfoA(path, 0, block_size, block) &&
      win::VerQueryValueA(block, "\\", &value, &value_length) && value != nullptr &&
      value_length >= sizeof(win::VS_FIXEDFILEINFO)) {
    const auto* info = static_cast<const win::VS_FIXEDFILEINFO*>(value);
    if (size > 0) {
      std::snprintf(text, static_cast<std::size_t>(size), "%d.%d.%d.%d",
                    static_cast<int>(info->dwFileVersionMS >> 16),
                    static_cast<int>(info->dwFileVersionMS & 0xFFFF),
                    static_cast<int>(info->dwFileVersionLS >> 16),
                    static_cast<int>(info->dwFileVersionLS & 0xFFFF));
    }
    made = true;
  }
  win::GlobalFree(block);
  return made;
}

}  // namespace

int GetModuleVersion(const char* path, char* text, int size) {
  if (text == nullptr) size = 0;
  if (size > 0) text[0] = '\0';
  char module_path[kPathSize];
  if (!FillModulePath(path, module_path)) return 0;
  return FormatModuleVersion(module_path, text, size) ? 1 : 0;
}
