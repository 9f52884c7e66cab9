// Reading a capture file's records back, in bounded memory, for capture-info:
// how many whole records follow the header, whether the file ends inside one,
// and for a processed (.prc) file the index marks, the mirror's rate and the
// lost-data flags.
#pragma once

#include <cstddef>
#include <cstdint>

#include "health/scan_health.h"
#include "platform/win_types.h"

// Bit 0 of a processed record's flags as the stand-in driver sets it: the card
// reported lost data on the fetch this record ended. The real driver defines no
// such bit, so it places a gap only for files without a block index, and only
// after the flagged record (where the fetch began is not known).
inline constexpr std::uint16_t kProcessedLostDataFlag = 0x1;

// Where the records have gaps: each call gives the number of the next record
// that follows a gap (ascending), or false when there are no more.
struct GapSource {
  bool (*next)(void* context, std::uint64_t* record) = nullptr;
  void* context = nullptr;
};

struct CaptureScan {
  std::uint64_t data_bytes = 0;     // bytes after the header
  std::uint64_t records = 0;        // whole records among them
  std::uint64_t partial_bytes = 0;  // bytes of a last record cut short
  std::uint64_t lost_flags = 0;     // processed records carrying the lost-data flag
  HealthTotals health{};            // processed files only
};

// Reads from the handle's position to the end of the file, in records of
// `record_bytes` (16 or 64); `processed` records are also fed, in order, to the
// health figures with the header's sample period, broken at every gap: those
// `gaps` gives (the block index's), or with no source (next null) after each
// record carrying the stand-in's lost-data flag. Uses one fixed buffer.
// Returns false when a read fails (*error holds the platform's code); *scan
// then covers what was read.
bool ScanCaptureRecords(win::HANDLE handle, std::size_t record_bytes, bool processed,
                        std::uint32_t sample_period_us, GapSource gaps, CaptureScan* scan,
                        win::DWORD* error);
