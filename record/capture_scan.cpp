#include "record/capture_scan.h"

#include <cstring>

#include "hsif/driver_records.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// A whole number of records of either size.
constexpr std::size_t kScanBufferBytes = 1 << 20;

// Feeds `count` processed records, the first being record number `first`, to
// the health figures, breaking the mark spacing at each gap: the source's, or
// without one after each record carrying the lost-data flag.
void FeedRecords(HealthState& health, const ProcessedSample* records, std::size_t count,
                 std::uint64_t first, double period_us, GapSource gaps, std::uint64_t* next_gap,
                 CaptureScan* scan) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if ((records[i].flags & kProcessedLostDataFlag) != 0) ++scan->lost_flags;
  }
  if (gaps.next != nullptr) {
    while (start < count) {
      // Gaps at or before the first record fed here break before it.
      std::uint64_t here = first + start;
      if (*next_gap <= here) {
        if (*next_gap == here) NoteHealthGap(health);
        if (!gaps.next(gaps.context, next_gap)) *next_gap = UINT64_MAX;
        continue;
      }
      std::uint64_t until = *next_gap - first;
      std::size_t end = until < count ? static_cast<std::size_t>(until) : count;
      FeedHealth(health, records + start, static_cast<std::uint32_t>(end - start), false, period_us,
                 0.0);
      start = end;
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if ((records[i].flags & kProcessedLostDataFlag) == 0) continue;
    FeedHealth(health, records + start, static_cast<std::uint32_t>(i + 1 - start), false, period_us,
               0.0);
    NoteHealthGap(health);
    start = i + 1;
  }
  if (start < count) {
    FeedHealth(health, records + start, static_cast<std::uint32_t>(count - start), false, period_us,
               0.0);
  }
}

}  // namespace

bool ScanCaptureRecords(win::HANDLE handle, std::size_t record_bytes, bool processed,
                        std::uint32_t sample_period_us, GapSource gaps, CaptureScan* scan,
                        win::DWORD* error) {
  // Static: a megabyte of buffer and the health record's revolution ring are
  // kept out of the stack, and the program scans one file at a time.
  alignas(ProcessedSample) static unsigned char buffer[kScanBufferBytes];
  static HealthState health;
  StartHealth(health, HealthSettings{});
  *scan = CaptureScan{};
  *error = win::ERROR_SUCCESS;
  std::size_t have = 0;  // bytes in the buffer, a cut record's start kept at the front
  bool ok = true;
  std::uint64_t next_gap = 0;  // the first gap is asked for at record 0
  if (gaps.next != nullptr && !gaps.next(gaps.context, &next_gap)) next_gap = UINT64_MAX;
  for (;;) {
    win::DWORD got = 0;
    if (win::ReadFile(handle, buffer + have, static_cast<win::DWORD>(kScanBufferBytes - have), &got,
                      nullptr) == 0) {
      *error = win::GetLastError();
      ok = false;
      break;
    }
    if (got == 0) break;
    have += got;
    scan->data_bytes += got;
    std::size_t whole = have / record_bytes;
    if (processed) {
      FeedRecords(health, reinterpret_cast<const ProcessedSample*>(buffer), whole, scan->records,
                  sample_period_us, gaps, &next_gap, scan);
    }
    scan->records += whole;
    std::size_t used = whole * record_bytes;
    std::memmove(buffer, buffer + used, have - used);
    have -= used;
  }
  scan->partial_bytes = have;
  if (processed) scan->health = SummarizeHealth(health);
  return ok;
}
