#include "capture/capture_header.h"
#include "platform/files.h"

int WriteExact(win::HANDLE handle, const void* buffer, win::DWORD count) {
  win::DWORD written = 0;
  if (!win::WriteFile(handle, buffer, count, &written, nullptr)) return 0;
  return written == count ? 1 : 0;
}

int ReadExact(win::HANDLE handle, void* buffer, win::DWORD count) {
  win::DWORD read = 0;
  if (!win::ReadFile(handle, buffer, count, &read, nullptr)) return 0;
  return read == count ? 1 : 0;
}
