#include "libscanmon/capture_report.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/block_index.h"
#include "capture/capture_check.h"
#include "capture/capture_header.h"
#include "capture/index_report.h"
#include "fields/field_report.h"
#include "health/scan_health.h"
#include "hsif/driver_records.h"
#include "libscanmon/capture_records.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "scanmon/scanmon.h"

namespace {

using scanmon_lib::CaptureRecordReader;
using scanmon_lib::GapSource;
using scanmon_lib::HealthBreaks;

// The reading buffer: a whole number of records of either size.
constexpr std::size_t kReadBufferBytes = 1 << 20;

// The revolutions of a .prc capture, assembled by the library's revolution
// reader over the capture source (the blocks of its index, timed by its sample
// clock): the same revolutions a program reading the capture gets. A
// revolution counts as incomplete for any flag; one may have several reasons.
// Only reports: the file's verdict is the other lines'.
void ReportRevolutions(const char* path) {
  // The capture's base: the name without its extension.
  char base[1024];
  std::size_t length = std::strlen(path), stem = length;
  for (std::size_t i = length; i > 0; --i) {
    if (path[i - 1] == '/' || path[i - 1] == '\\') break;
    if (path[i - 1] == '.') {
      stem = i - 1;
      break;
    }
  }
  if (stem >= sizeof base) {
    std::printf("Revolutions: not assembled (the name is too long)\n");
    return;
  }
  std::memcpy(base, path, stem);
  base[stem] = '\0';
  scanmon_source* source = nullptr;
  scanmon_revolution_reader* reader = nullptr;
  int status = scanmon_open_capture(base, nullptr, &source);
  if (status == SCANMON_OK) status = scanmon_open_revolutions(source, nullptr, &reader);
  if (status != SCANMON_OK) {
    std::printf("Revolutions: not assembled (%s)\n", scanmon_last_error());
    scanmon_close(source);
    return;
  }
  std::uint64_t complete = 0, incomplete = 0, lost = 0, dropped = 0, cut_start = 0, cut_end = 0,
                no_index = 0;
  scanmon_revolution r{};
  while ((status = scanmon_read_revolution(reader, 0, &r, nullptr, 0)) == SCANMON_OK) {
    if (r.flags == 0) {
      ++complete;
      continue;
    }
    ++incomplete;
    if ((r.flags & SCANMON_REVOLUTION_LOST_DATA) != 0) ++lost;
    if ((r.flags & SCANMON_REVOLUTION_DROPPED) != 0) ++dropped;
    if ((r.flags & SCANMON_REVOLUTION_CUT_START) != 0) ++cut_start;
    if ((r.flags & SCANMON_REVOLUTION_CUT_END) != 0) ++cut_end;
    if ((r.flags & SCANMON_REVOLUTION_NO_INDEX) != 0) ++no_index;
  }
  std::printf("Revolutions: %llu complete, %llu incomplete\n",
              static_cast<unsigned long long>(complete),
              static_cast<unsigned long long>(incomplete));
  if (incomplete > 0) {
    std::printf(
        "  incomplete: %llu with data lost on the card, %llu with samples not kept, %llu cut "
        "by the start, %llu cut by the end, %llu without an index mark for 1 s\n",
        static_cast<unsigned long long>(lost), static_cast<unsigned long long>(dropped),
        static_cast<unsigned long long>(cut_start), static_cast<unsigned long long>(cut_end),
        static_cast<unsigned long long>(no_index));
  }
  if (status != SCANMON_END) {
    std::printf("Revolutions: reading stopped (%s)\n", scanmon_last_error());
  }
  scanmon_close_revolutions(reader);
  scanmon_close(source);
}

}  // namespace

bool ReportCaptureFile(const char* program, const char* path) {
  std::printf("== %s\n", path);
  CaptureHeader header{};
  win::HANDLE handle = OpenCheckedCapture(program, path, &header);
  if (!win::IsValidHandle(handle)) return false;
  PrintCaptureHeaderReport(header, true);
  const bool processed = IsProcessedCaptureName(path);
  const std::size_t record_bytes = processed ? kProcessedRecordBytes : kRawRecordBytes;

  // The block index beside a .prc file, when there is one.
  static BlockIndexReader reader;
  static IndexWalk walk;
  walk = IndexWalk{};
  walk.reader = &reader;
  walk.period_s = header.sample_period * 1e-6;
  char idx_path[1024] = {};
  bool have_index = false, index_ok = true;
  if (processed && BlockIndexPathFor(path, idx_path, sizeof idx_path)) {
    have_index = walk.reader->Open(idx_path);
    if (!have_index && walk.reader->error() != win::ERROR_FILE_NOT_FOUND &&
        walk.reader->error() != win::ERROR_PATH_NOT_FOUND) {
      index_ok = false;
    }
  }
  // The records, read to the end through the library's record reader: for a
  // .prc file fed to the health figures, which break at the index's gaps, or
  // without an index after each record the stand-in flags as lost. Static: a
  // megabyte of buffer and the health record's revolution ring are kept out
  // of the stack, and the program reads one file at a time.
  alignas(ProcessedSample) static unsigned char buffer[kReadBufferBytes];
  static HealthState health;
  static CaptureRecordReader scan;
  StartHealth(health, HealthSettings{});
  HealthBreaks breaks;
  breaks.after_lost_flags = true;
  if (have_index) breaks.gaps = GapSource{NextIndexGap, &walk};
  scan.Start(handle, record_bytes, buffer, sizeof buffer, processed ? &health : nullptr,
             header.sample_period, breaks);
  std::uint64_t records = 0;
  const bool read_ok = scan.Read(nullptr, UINT64_MAX, false, &records);
  const win::DWORD read_error = scan.error();
  const HealthTotals totals = processed ? SummarizeHealth(health) : HealthTotals{};
  win::CloseHandle(handle);
  if (have_index) {
    // The blocks after the last gap the scan asked for.
    std::uint64_t ignored = 0;
    while (NextIndexGap(&walk, &ignored)) {
    }
  }

  bool consistent = read_ok && index_ok;
  std::printf("Records: %s, %zu bytes each\n", processed ? "processed" : "raw", record_bytes);
  const bool match = records == header.num_samples;
  consistent = consistent && match;
  if (scan.data_bytes() == 0) {
    std::printf("Records present: 0 (a header without records); header count %lu: %s\n",
                static_cast<unsigned long>(header.num_samples), match ? "match" : "MISMATCH");
  } else {
    std::printf("Records present: %llu; header count %lu: %s\n",
                static_cast<unsigned long long>(records),
                static_cast<unsigned long>(header.num_samples), match ? "match" : "MISMATCH");
  }
  if (scan.partial_bytes() == 0) {
    std::printf("Ends on a whole record: yes\n");
  } else {
    consistent = false;
    std::printf("Ends on a whole record: NO (%llu bytes of a cut record)\n",
                static_cast<unsigned long long>(scan.partial_bytes()));
  }
  if (records != header.num_samples || scan.partial_bytes() != 0) {
    std::printf("(cut short by a crash? capture-info --repair %s mends it)\n", path);
  }
  std::printf("Duration: %.6f s (%llu samples x %lu us)\n",
              static_cast<double>(records) * header.sample_period / 1e6,
              static_cast<unsigned long long>(records),
              static_cast<unsigned long>(header.sample_period));
  if (processed) {
    std::printf("Index marks: %llu\n", static_cast<unsigned long long>(totals.index_marks));
    if (totals.rate_known) {
      std::printf("Mirror: %.3f rev/s mean, %.3f min, %.3f max\n", totals.rate_mean,
                  totals.rate_min, totals.rate_max);
    } else {
      std::printf("Mirror: no whole revolution between index marks\n");
    }
    std::printf("Lost-data flags: %llu\n", static_cast<unsigned long long>(scan.lost_flags()));
    if (read_ok) ReportRevolutions(path);
  }
  if (have_index) {
    consistent = ReportBlockIndex(idx_path, walk, records, header.sample_period) && consistent;
    if (walk.reader->read_failed()) consistent = false;
  } else if (!index_ok) {
    static const char* const kWhy[] = {"too short", "not a block index",
                                       "a version this program "
                                       "does not know",
                                       "sizes it cannot read"};
    std::printf("Block index: %s refused: %s\n", idx_path,
                walk.reader->error() != win::ERROR_SUCCESS
                    ? "cannot be read"
                    : kWhy[static_cast<int>(walk.reader->check()) - 1]);
  }
  walk.reader->Close();
  if (processed) consistent = ReportFieldMap(path) && consistent;
  std::fflush(stdout);
  if (!read_ok) {
    std::fprintf(stderr, "%s: %s: reading failed (error %lu)\n", program, path,
                 static_cast<unsigned long>(read_error));
  }
  return consistent;
}
