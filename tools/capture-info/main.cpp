// capture-info: what a capture file holds. For each file: the header report,
// the records present against the header's count, whether the file ends on a
// whole record, the recorded duration, and for a .prc file the index marks,
// the mirror's rate and the lost-data flags. Exit status 0 when every file is
// whole and consistent, 1 otherwise, 2 on usage errors.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture_header.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/capture_scan.h"
#include "record/capture_writer.h"
#include "tools/common/command_line.h"

namespace {

constexpr int kExitConsistent = 0;
constexpr int kExitInconsistent = 1;

const ProgramText kProgram = {
    "capture-info", "Usage: capture-info [--help] [--version] FILE...\n",
    "\n"
    "Tells what each capture file (.prc, .raw, or a bare header file) holds:\n"
    "the header report, the records present against the header's sample\n"
    "count, whether the file ends on a whole record, the recorded duration,\n"
    "and for a .prc file the index marks, the mirror's revolutions per\n"
    "second and the lost-data flags. A file named *.prc holds 64-byte\n"
    "processed records, any other 16-byte raw records.\n"
    "\n"
    "Options:\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 every file whole and consistent, 1 otherwise, 2 usage\n"
    "error.\n"};

bool EndsWith(const char* text, const char* tail) {
  std::size_t n = std::strlen(text), m = std::strlen(tail);
  if (n < m) return false;
  for (std::size_t i = 0; i < m; ++i) {
    char c = text[n - m + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

// Reports one file; true when it is whole and consistent.
bool ReportFile(const char* path) {
  std::printf("== %s\n", path);
  CaptureHeader header{};
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  const int valid = ReadCaptureHeader(path, &handle, &header);
  const win::DWORD open_error = win::GetLastError();
  if (!win::IsValidHandle(handle)) {
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: cannot open %s (error %lu)\n", path,
                 static_cast<unsigned long>(open_error));
    return false;
  }
  if (!valid) {
    win::CloseHandle(handle);
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: %s: not a whole, valid capture header\n", path);
    return false;
  }
  const bool processed = EndsWith(path, ".prc");
  const std::size_t record_bytes = processed ? kProcessedRecordBytes : kRawRecordBytes;
  CaptureScan scan;
  win::DWORD read_error = 0;
  const bool read_ok =
      ScanCaptureRecords(handle, record_bytes, processed, header.sample_period, &scan, &read_error);
  win::CloseHandle(handle);

  bool consistent = read_ok;
  std::printf("Records: %s, %zu bytes each\n", processed ? "processed" : "raw", record_bytes);
  if (scan.data_bytes == 0) {
    std::printf("Records present: 0 (a header without records)\n");
  } else {
    const bool match = scan.records == header.num_samples;
    consistent = consistent && match;
    std::printf("Records present: %llu; header count %lu: %s\n",
                static_cast<unsigned long long>(scan.records),
                static_cast<unsigned long>(header.num_samples), match ? "match" : "MISMATCH");
  }
  if (scan.partial_bytes == 0) {
    std::printf("Ends on a whole record: yes\n");
  } else {
    consistent = false;
    std::printf("Ends on a whole record: NO (%llu bytes of a cut record)\n",
                static_cast<unsigned long long>(scan.partial_bytes));
  }
  std::printf("Duration: %.6f s (%llu samples x %lu us)\n",
              static_cast<double>(scan.records) * header.sample_period / 1e6,
              static_cast<unsigned long long>(scan.records),
              static_cast<unsigned long>(header.sample_period));
  if (processed) {
    std::printf("Index marks: %llu\n", static_cast<unsigned long long>(scan.health.index_marks));
    if (scan.health.rate_known) {
      std::printf("Mirror: %.3f rev/s mean, %.3f min, %.3f max\n", scan.health.rate_mean,
                  scan.health.rate_min, scan.health.rate_max);
    } else {
      std::printf("Mirror: no whole revolution between index marks\n");
    }
    std::printf("Lost-data flags: %llu\n", static_cast<unsigned long long>(scan.lost_flags));
  }
  std::fflush(stdout);
  if (!read_ok) {
    std::fprintf(stderr, "capture-info: %s: reading failed (error %lu)\n", path,
                 static_cast<unsigned long>(read_error));
  }
  return consistent;
}

}  // namespace

int main(int argc, char** argv) {
  // The whole command line is checked before any file is read.
  CommandLine line = StartCommandLine(kProgram, argc, argv);
  ArgStep step;
  int files = 0;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    ++files;
  }
  if (files == 0) return UsageError(&line, "no capture file given");
  bool all_consistent = true;
  line = StartCommandLine(kProgram, argc, argv);
  while (NextArgument(&line, &step) == ArgKind::kOperand) {
    all_consistent = ReportFile(step.text) && all_consistent;
  }
  return all_consistent ? kExitConsistent : kExitInconsistent;
}
