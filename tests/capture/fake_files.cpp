#include "tests/capture/fake_files.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"

FakeFiles g_fake;

namespace win {

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void*,
                   DWORD creation_disposition, DWORD flags_and_attributes, HANDLE) {
  g_fake.opened_name = name;
  g_fake.access = desired_access;
  g_fake.share_mode = share_mode;
  g_fake.disposition = creation_disposition;
  g_fake.flags = flags_and_attributes;
  if (!g_fake.exists) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  g_fake.position = 0;
  return kFakeHandle;
}

BOOL CloseHandle(HANDLE) {
  ++g_fake.close_calls;
  return TRUE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read, OVERLAPPED*) {
  g_fake.read_counts.push_back(count);
  if (handle != kFakeHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::size_t left = g_fake.content.size() - std::min(g_fake.position, g_fake.content.size());
  const std::size_t n = std::min<std::size_t>(count, left);
  // A short read fills the first bytes only, as a real one does.
  if (n > 0) std::memcpy(buffer, g_fake.content.data() + g_fake.position, n);
  g_fake.position += n;
  *count_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written, OVERLAPPED*) {
  const int call = static_cast<int>(g_fake.write_counts.size());
  g_fake.write_counts.push_back(count);
  if (handle != kFakeHandle || call == g_fake.fail_write) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const DWORD n = call == g_fake.short_write && count > 0 ? count - 1 : count;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  if (g_fake.content.size() < g_fake.position + n) g_fake.content.resize(g_fake.position + n);
  if (n > 0) std::memcpy(g_fake.content.data() + g_fake.position, bytes, n);
  g_fake.position += n;
  *count_written = n;
  return TRUE;
}

}  // namespace win
