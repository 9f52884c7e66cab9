// Feeds any bytes to ReadCaptureHeader as a capture file (an in-memory file
// reached by its /proc path, read through the real platform calls). Every
// header it accepts must write back as the same bytes: a version-3 header
// verbatim, any other as version 3 with the model byte 255.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/capture_header.h"
#include "platform/files.h"

namespace {

int MakeMemoryFile(const char* name, char* path, std::size_t size) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) std::abort();
  std::snprintf(path, size, "/proc/self/fd/%d", fd);
  return fd;
}

void Fill(int fd, const std::uint8_t* data, std::size_t size) {
  if (ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
}

void CheckRoundTrip(const char* path, int fd, const CaptureHeader& header,
                    const std::uint8_t* data) {
  if (ftruncate(fd, 0) != 0) std::abort();
  win::HANDLE out =
      win::CreateFileA(path, win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(out)) std::abort();
  if (WriteCaptureHeader(out, header) != 1) std::abort();
  win::CloseHandle(out);

  std::uint8_t written[kCaptureHeaderBytes + 1];
  if (pread(fd, written, sizeof written, 0) != static_cast<ssize_t>(kCaptureHeaderBytes)) {
    std::abort();
  }
  const std::uint8_t three[4] = {3, 0, 0, 0};
  if (std::memcmp(written, three, 4) != 0) std::abort();
  if (std::memcmp(written + 4, data + 4, kCaptureHeaderBytesOther - 4) != 0) std::abort();
  const std::uint8_t model =
      header.version == kCaptureHeaderVersion ? data[kCaptureHeaderBytesOther] : 255;
  if (written[kCaptureHeaderBytesOther] != model) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static char input_path[64];
  static char output_path[64];
  static const int input_fd = MakeMemoryFile("capture_in", input_path, sizeof input_path);
  static const int output_fd = MakeMemoryFile("capture_out", output_path, sizeof output_path);
  // The report is not what is under test here; keep the runs fast.
  static std::FILE* const quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;

  Fill(input_fd, data, size);
  CaptureHeader header;
  std::memset(&header, 0xA5, sizeof header);
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  const int valid = ReadCaptureHeader(input_path, &handle, &header);
  if (!win::IsValidHandle(handle)) std::abort();  // the file exists: the open must work

  if (valid) {
    // The rest of the file is the caller's to read through the same handle.
    const std::size_t header_bytes =
        header.version == kCaptureHeaderVersion ? kCaptureHeaderBytes : kCaptureHeaderBytesOther;
    std::uint8_t next = 0;
    const int more = ReadExact(handle, &next, 1);
    if (more != (size > header_bytes ? 1 : 0)) std::abort();
    if (more && next != data[header_bytes]) std::abort();
    if (header.version == kCaptureHeaderVersion ? header.sensor_model > 1
                                                : header.sensor_model != 255) {
      std::abort();
    }
  }
  win::CloseHandle(handle);
  if (valid) CheckRoundTrip(output_path, output_fd, header, data);
  return 0;
}
