// Feeds any bytes to ReadCaptureConfig as a configuration file (an in-memory
// file reached by its /proc path) and checks that every output stays within
// its buffer and the flags are flags.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/capture_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static char path[64];
  static const int fd = [] {
    const int memory_fd = memfd_create("capture_config", MFD_CLOEXEC);
    if (memory_fd < 0) std::abort();
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memory_fd);
    return memory_fd;
  }();
  // The echoes are not what is under test here; keep the runs fast.
  static std::FILE* const quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;

  if (ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  CaptureHeader header{};
  std::int32_t delay_ms = 0;
  char capture_file[kCaptureFileNameBytes] = {};
  char prc_file[kCaptureFileNameBytes] = {};
  std::uint8_t single_cpu = 0xA5;
  std::uint8_t write_raw = 0xA5;
  const int result =
      ReadCaptureConfig(path, &header, &delay_ms, capture_file, prc_file, &single_cpu, &write_raw);
  if (result != 0 && result != 1) std::abort();
  if (single_cpu > 1 || write_raw > 1) std::abort();
  if (strnlen(header.cal_file, kCalFileBytes) == kCalFileBytes) std::abort();
  if (strnlen(capture_file, kCaptureFileNameBytes) == kCaptureFileNameBytes) std::abort();
  if (strnlen(prc_file, kCaptureFileNameBytes) == kCaptureFileNameBytes) std::abort();
  if (header.card_number > 15 || header.comport > 254) std::abort();
  return 0;
}
