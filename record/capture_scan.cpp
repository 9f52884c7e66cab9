#include "record/capture_scan.h"

#include <cstring>

#include "hsif/driver_records.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// A whole number of records of either size.
constexpr std::size_t kScanBufferBytes = 1 << 20;

// Feeds `count` processed records to the health figures, breaking the mark
// spacing after each record that carries the lost-data flag.
void FeedRecords(HealthState& health, const ProcessedSample* records, std::size_t count,
                 double period_us, CaptureScan* scan) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if ((records[i].flags & kProcessedLostDataFlag) == 0) continue;
    ++scan->lost_flags;
    FeedHealth(health, records + start, static_cast<std::uint32_t>(i + 1 - start), true, period_us,
               0.0);
    start = i + 1;
  }
  if (start < count) {
    FeedHealth(health, records + start, static_cast<std::uint32_t>(count - start), false, period_us,
               0.0);
  }
}

}  // namespace

bool ScanCaptureRecords(win::HANDLE handle, std::size_t record_bytes, bool processed,
                        std::uint32_t sample_period_us, CaptureScan* scan, win::DWORD* error) {
  // Static: a megabyte of buffer and the health record's revolution ring are
  // kept out of the stack, and the program scans one file at a time.
  alignas(ProcessedSample) static unsigned char buffer[kScanBufferBytes];
  static HealthState health;
  StartHealth(health, HealthSettings{});
  *scan = CaptureScan{};
  *error = win::ERROR_SUCCESS;
  std::size_t have = 0;  // bytes in the buffer, a cut record's start kept at the front
  bool ok = true;
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
    scan->records += whole;
    if (processed) {
      FeedRecords(health, reinterpret_cast<const ProcessedSample*>(buffer), whole, sample_period_us,
                  scan);
    }
    std::size_t used = whole * record_bytes;
    std::memmove(buffer, buffer + used, have - used);
    have -= used;
  }
  scan->partial_bytes = have;
  if (processed) scan->health = SummarizeHealth(health);
  return ok;
}
