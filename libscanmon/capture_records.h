// Reading a capture file's records in order, in bounded memory: the one loop
// that reads a capture's records, for the capture source (its blocks) and for
// capture-info (the whole file at once). It counts the whole records, the
// bytes of a record the file ends inside and, for processed (.prc) records,
// the lost-data flags, and feeds processed records to the health figures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "health/scan_health.h"
#include "platform/win_types.h"

namespace scanmon_lib {

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

// Where the health figures' mark spacing is broken (a revolution is never
// measured across missing samples), besides before each Read told of lost
// data: at the gaps `gaps` gives (the block index's), or with no source (next
// null) and `after_lost_flags` after each record carrying the stand-in's
// lost-data flag.
struct HealthBreaks {
  GapSource gaps;
  bool after_lost_flags = false;
};

class CaptureRecordReader {
 public:
  // Reads `handle` (not owned) from its position, at the file's first record,
  // in records of `record_bytes` (16 or 64). Records the caller wants no copy
  // of pass through `buffer` (`buffer_bytes`, a whole number of records,
  // aligned for ProcessedSample; the caller's, kept until the reading ends).
  // Processed records are fed to `health` (null: none; started by the caller)
  // with the sample period, broken as `breaks` says. The counts start at 0.
  void Start(win::HANDLE handle, std::size_t record_bytes, void* buffer, std::size_t buffer_bytes,
             HealthState* health, double sample_period_us, HealthBreaks breaks);

  // Reads `count` whole records, or those up to the end of the file: into
  // `out` (room for `count`) or, when out is null, through the buffer. `lost`:
  // the card lost data before these records (the health figures count a lost
  // fetch and break there). *got: the whole records read. The bytes of a
  // record the file ends inside are counted in partial_bytes(), not kept.
  // False when a read fails (error() holds the platform's code); the records
  // before the failure are read and counted.
  bool Read(void* out, std::uint64_t count, bool lost, std::uint64_t* got);

  // The wall clock, seconds, the next Reads give the health figures with the
  // records they feed (their samples and fetches per second, their run
  // time): a paced reader's clock. 0 (the start) when records are read as
  // fast as they come, where such figures would only measure the disk.
  void SetClock(double now_s) { now_s_ = now_s; }

  std::uint64_t data_bytes() const { return data_bytes_; }  // bytes read
  std::uint64_t records() const { return records_; }        // whole records among them
  std::uint64_t partial_bytes() const { return partial_bytes_; }
  std::uint64_t lost_flags() const { return lost_flags_; }  // processed records so flagged
  win::DWORD error() const { return error_; }

 private:
  bool Fill(unsigned char* to, std::size_t bytes, std::size_t* have);
  void Feed(const unsigned char* records, std::size_t count, bool lost);

  win::HANDLE handle_ = nullptr;
  std::size_t record_bytes_ = 0;
  unsigned char* buffer_ = nullptr;
  std::size_t buffer_records_ = 0;
  HealthState* health_ = nullptr;
  double period_us_ = 0;
  HealthBreaks breaks_{};
  std::uint64_t next_gap_ = 0;  // the record the next gap comes before
  std::uint64_t data_bytes_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t partial_bytes_ = 0;
  std::uint64_t lost_flags_ = 0;
  win::DWORD error_ = 0;
  double now_s_ = 0;
};

}  // namespace scanmon_lib
