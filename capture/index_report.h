// What a capture's block index (<base>.idx) tells beside its records, walked
// block by block in fixed memory: the gaps (why, and how many samples), the
// host's time of the fetches and their intervals, and the sample clock
// against the host's. capture-info feeds the gaps to the health figures while
// it reads the records, then prints the rest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/block_index.h"

// Fetch intervals, in fixed memory: a histogram of 1.2 % wide bins from 1 us to
// 1000 s (the median to that precision), and the longest exactly.
constexpr int kIntervalBinsPerDecade = 200;
constexpr int kIntervalDecades = 9;
constexpr int kIntervalBins = kIntervalBinsPerDecade * kIntervalDecades;

struct IntervalFigures {
  std::uint64_t bins[kIntervalBins];
  std::uint64_t count;
  std::int64_t max_ns;
};

// One gap, as the report shows it.
struct GapLine {
  std::uint64_t record;
  std::uint32_t flags;      // why: SCANMON_BLOCK_* of the blocks around it
  std::uint64_t dropped;    // samples not kept (exact)
  long long host_estimate;  // samples the host clock says are missing (card losses), -1 unknown
  std::int64_t utc_ns;
};
constexpr int kGapLinesShown = 10;

// The walk through a block index beside the records: gaps for the scan, and
// the figures of the report. A fresh one (reader and period set) per file;
// some 15 kB, kept out of the stack by its user.
struct IndexWalk {
  BlockIndexReader* reader = nullptr;
  double period_s = 0;
  bool have_previous = false;
  BlockRecord first{};
  BlockRecord previous{};
  std::uint64_t blocks = 0;
  std::uint64_t covered = 0;  // records the blocks account for
  std::uint64_t reach = 0;    // the highest first_record + count
  std::uint64_t gaps = 0;
  std::uint64_t card_gaps = 0;  // gaps after the card reported lost data
  std::uint64_t ring_gaps = 0;  // gaps where samples were not kept
  std::uint64_t dropped = 0;
  GapLine lines[kGapLinesShown];
  IntervalFigures intervals;
  // The order every index reader checks (the library's verdict too): the walk
  // ends at the first block out of order.
  BlockOrderCheck order;
};

// The gap source of the record reader (libscanmon/capture_records.h's
// GapSource, `context` an IndexWalk): reads blocks until the next gap and
// gives the record it comes before; false at the index's end or at the first
// block out of order.
bool NextIndexGap(void* context, std::uint64_t* record);

// The block index part of the report, on stdout; false when the index is
// inconsistent with the records (a cut last block record, blocks past the
// records, a block out of order).
bool ReportBlockIndex(const char* path, const IndexWalk& w, std::uint64_t records,
                      std::uint32_t period_us);
