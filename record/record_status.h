// What the recorder (capture-record) tells the operator while it records and
// at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "health/scan_health.h"
#include "platform/win_types.h"
#include "record/capture_writer.h"

// The progress report on stderr: on a terminal one line rewritten in place a
// few times a second; otherwise a plain line every few seconds.
class StatusLine {
 public:
  explicit StatusLine(bool terminal) : terminal_(terminal) {}

  // True when the next line is due (a few times a second on a terminal).
  bool Due(double elapsed_s) const { return elapsed_s >= next_s_; }

  // Prints the line (the figures are only gathered when it is due).
  void Update(std::uint64_t done, std::uint64_t total, std::uint64_t lost_events,
              std::uint64_t bytes_written, const HealthFigures& health, double elapsed_s);

  // A message of its own line (lost data, ...), clear of the status line.
  void Note(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  // Ends the status line.
  void Finish();

 private:
  bool terminal_;
  bool line_open_ = false;
  double next_s_ = 0;
  std::size_t last_width_ = 0;
};

struct SummaryFigures {
  std::uint64_t recorded = 0;
  std::uint64_t configured = 0;
  double seconds = 0;
  std::uint64_t lost_events = 0;
  std::uint64_t ring_events = 0;
  std::uint64_t ring_dropped = 0;
  HealthTotals health{};
  std::size_t ring_peak = 0;   // the most the ring held, bytes
  std::size_t ring_bytes = 0;  // its size
  const char* paths[2] = {};
  std::uint64_t bytes[2] = {};
  const char* index_path = nullptr;
  std::uint64_t index_bytes = 0;
  unsigned syncs = 0;  // the writer's syncs to the device, and their time
  double sync_s = 0;
  double sync_longest_s = 0;
};

// The writer's figures of a finished capture: the ring's peak and size, the
// files and their bytes, the index's bytes, the syncs.
void TakeWriterFigures(const CaptureWriter& writer, SummaryFigures* summary);

// The closing summary, on stdout.
void PrintSummary(const SummaryFigures& summary);

// The system's text for a platform error code, without its line end, with
// the code: "There is not enough space on the disk. (error 112)".
void DescribeError(win::DWORD code, char* out, std::size_t size);
