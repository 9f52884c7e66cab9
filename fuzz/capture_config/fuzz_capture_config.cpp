// Feeds any bytes to the capture configuration reader as a configuration
// file (an in-memory file reached by its /proc path) and checks that every
// output stays within its buffer and the flags are flags.
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

  CaptureConfig config;
  config.single_cpu = 0xA5;
  config.write_raw = 0xA5;
  const int result = ReadCaptureConfigRecord(path, &config);
  if (result != 0 && result != 1) std::abort();
  if (config.single_cpu > 1 || config.write_raw > 1) std::abort();
  if (strnlen(config.header.cal_file, kCalFileBytes) == kCalFileBytes) std::abort();
  if (strnlen(config.capture_file, kCaptureFileNameBytes) == kCaptureFileNameBytes) std::abort();
  if (strnlen(config.prc_file, kCaptureFileNameBytes) == kCaptureFileNameBytes) std::abort();
  if (config.header.card_number > 15 || config.header.comport > 254) std::abort();
  return 0;
}
