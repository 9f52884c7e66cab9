// Feeds any bytes to ReadProperties as a properties file (an in-memory file
// reached by its /proc path), then to the preflight's check of its keys and
// values, and checks that every text slot is a line piece's worth at most,
// that the check's counts stay within what the file can hold, and that
// nothing leaks (the record is released here, as the program never does).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "properties/properties.h"
#include "properties/property_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static char path[64];
  static const int fd = [] {
    const int memory_fd = memfd_create("properties", MFD_CLOEXEC);
    if (memory_fd < 0) std::abort();
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memory_fd);
    return memory_fd;
  }();
  // The reader's ">>not found" lines and the check's report are not what is
  // under test here; keep the runs fast.
  static std::FILE* const quiet = std::freopen("/dev/null", "w", stdout);
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  if (quiet == nullptr || sink == nullptr) std::abort();

  if (ftruncate(fd, 0) != 0) std::abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  RunProperties* record = ReadProperties(path);
  if (record == nullptr) std::abort();
  char* texts[] = {record->gyro_serial_port, record->gyro_mode, record->gps_serial_port,
                   record->calibration_file};
  for (char* text : texts) {
    if (text != nullptr && std::strlen(text) >= static_cast<std::size_t>(kPropertyLineBytes)) {
      std::abort();
    }
  }

  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) std::abort();
  PropertyFindings findings;
  CheckPropertyLines(file, "properties.txt", sink, &findings);
  std::fclose(file);
  CheckPropertyValues(*record, sink, &findings);
  // At most three reports a line piece (over-long, key read as another, set
  // again), plus the four value checks.
  const std::size_t pieces = size + 1;  // a piece holds one byte at least
  if (findings.errors < 0 || findings.notes < 0) std::abort();
  if (static_cast<std::size_t>(findings.errors + findings.notes) > 3 * pieces + 4) std::abort();

  for (char* text : texts) std::free(text);
  std::free(record);
  return 0;
}
