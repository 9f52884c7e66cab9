// capture-record's command line and exit statuses.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kExitComplete = 0;  // every configured sample recorded
inline constexpr int kExitSetup = 1;     // configuration, existing files, ring, bring-up
// 2: a usage error, the command-line kit's kExitUsage.
inline constexpr int kExitStopped = 3;   // stopped by the operator ('x', Ctrl-C, SIGTERM)
inline constexpr int kExitWrite = 4;     // a file could not be created or written
inline constexpr int kExitLostData = 5;  // complete, but data was lost on the way
inline constexpr int kExitFetch = 6;     // the card stopped delivering (a fetch failed)

inline constexpr std::size_t kDefaultRingMb = 48;
inline constexpr std::size_t kMaxRingMb = 4096;
// The largest ring this build can hold: no object is larger than PTRDIFF_MAX
// bytes, which on a 32-bit build is 2047 MB; elsewhere kMaxRingMb.
inline constexpr std::uint64_t kPlatformRingMb =
    (static_cast<std::uint64_t>(PTRDIFF_MAX) >> 20) < kMaxRingMb
        ? static_cast<std::uint64_t>(PTRDIFF_MAX) >> 20
        : kMaxRingMb;
inline constexpr unsigned kMaxStallMs = 60000;

struct RecordOptions {
  const char* config_path = nullptr;
  std::int32_t calibration_value = 0;
  bool calibration_value_given = false;
  bool force = false;
  // Record although configuration lines carry text right after their number.
  bool accept_warnings = false;
  std::size_t ring_mb = kDefaultRingMb;
  // A field map to copy beside the capture as <base>.fields (null: none).
  const char* fields_path = nullptr;
  // Test seam (SCANMON_RECORD_STALL_MS, SCANMON_RECORD_STALL_EVERY): the
  // writer sleeps stall_ms before one round of writes in every stall_every,
  // as a slow or stalling disk would.
  unsigned stall_ms = 0;
  unsigned stall_every = 1;
  // Test seam (SCANMON_RECORD_FAIL_THREAD=1): the writer thread does not start.
  bool fail_thread_start = false;
};

// Reads the command line through the command-line kit (and the test seam's
// variables). Returns -1 to go on, or the exit status to end with (after
// --help, --version or a usage error, with its message printed).
int ParseRecordOptions(int argc, char** argv, RecordOptions* options);
