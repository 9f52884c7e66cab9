#include "capture/capture_check.h"

#include <cstdio>
#include <cstring>

#include "capture/header_plausibility.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

bool EndsWith(const char* text, const char* tail) {
  std::size_t n = std::strlen(text), m = std::strlen(tail);
  if (n < m) return false;
  for (std::size_t i = 0; i < m; ++i) {
    char c = text[n - m + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

}  // namespace

bool IsProcessedCaptureName(const char* path) {
  return EndsWith(path, ".prc");
}

std::size_t CaptureHeaderBytesOf(const CaptureHeader& header) {
  return header.version == kCaptureHeaderVersion ? kCaptureHeaderBytes : kCaptureHeaderBytesOther;
}

win::HANDLE OpenCheckedCapture(const char* program, const char* path, CaptureHeader* header) {
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  const int valid = ReadCaptureHeaderQuietly(path, &handle, header);
  const win::DWORD open_error = win::GetLastError();
  if (!win::IsValidHandle(handle)) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: cannot open %s (error %lu)\n", program, path,
                 static_cast<unsigned long>(open_error));
    return win::INVALID_HANDLE_VALUE;
  }
  if (!valid) {
    win::CloseHandle(handle);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: not a whole, valid capture header\n", program, path);
    return win::INVALID_HANDLE_VALUE;
  }
  // A count of 0 is honest here: the recorder writes it until records are
  // safely in the file, so a capture stopped or killed early carries it.
  CaptureHeader held = *header;
  if (held.num_samples == 0) held.num_samples = 1;
  const int implausible = ReportImplausibleHeaderFields(held, nullptr);
  if (implausible > 0) {
    win::CloseHandle(handle);
    std::printf("Header not plausible (%d field%s):\n", implausible, implausible == 1 ? "" : "s");
    ReportImplausibleHeaderFields(held, stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: not a capture file of this system\n", program, path);
    return win::INVALID_HANDLE_VALUE;
  }
  return handle;
}
