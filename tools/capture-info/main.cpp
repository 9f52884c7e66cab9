// capture-info: what a capture file holds. For each file: the header report,
// the records present against the header's count, whether the file ends on a
// whole record, the recorded duration, for a .prc file the index marks, the
// mirror's rate and the lost-data flags, and what its block index (<base>.idx)
// tells: the host's time of the fetches, the gaps, and the sample clock
// against the host's. With --repair it mends files a crash cut short. Exit
// status 0 when every file is whole and consistent (or mended), 1 otherwise,
// 2 on usage errors.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "capture/block_index.h"
#include "capture/capture_header.h"
#include "capture/checked_time.h"
#include "capture/header_bytes.h"
#include "capture/header_plausibility.h"
#include "health/scan_health.h"
#include "hsif/driver_records.h"
#include "libscanmon/capture_records.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/capture_writer.h"
#include "scanmon/scanmon.h"
#include "tools/capture-info/field_report.h"
#include "cli/command_line.h"

namespace {

using scanmon_lib::CaptureRecordReader;
using scanmon_lib::GapSource;
using scanmon_lib::HealthBreaks;

constexpr int kExitConsistent = 0;
constexpr int kExitInconsistent = 1;

const ProgramText kProgram = {
    "capture-info", "Usage: capture-info [--help] [--version] [--repair] FILE...\n",
    "\n"
    "Tells what each capture file (.prc, .raw, or a bare header file) holds:\n"
    "the header report, the records present against the header's sample\n"
    "count, whether the file ends on a whole record, the recorded duration,\n"
    "and for a .prc file the index marks, the mirror's revolutions per\n"
    "second and the lost-data flags, and from its block index (<base>.idx,\n"
    "when present) the host's time of the fetches, the gaps in the samples\n"
    "and the sample clock against the host's, and the field map naming its\n"
    "driver's bytes (<base>.fields, when present). A file named *.prc holds\n"
    "64-byte processed records, any other 16-byte raw records. A header\n"
    "that is not plausible (not a capture of this system) is refused.\n"
    "\n"
    "For a .prc file the \"Revolutions:\" lines count the revolutions the\n"
    "library's revolution reader assembles over the capture, as a program\n"
    "reading it gets them: complete (from an index mark to the sample\n"
    "before the next, nothing missing) and incomplete, and why the\n"
    "incomplete ones are (one may have several reasons): data lost on the\n"
    "card, samples not kept, cut by the start or by the end of the capture,\n"
    "no index mark for 1 s. \"Revolutions: not assembled (why)\" says the\n"
    "library could not open the capture. These lines only report: the\n"
    "file's verdict is the other lines'.\n"
    "\n"
    "Options:\n"
    "  --repair    mend files a crash cut short: cut a partial last record,\n"
    "              set the header's count to the whole records present\n"
    "              (and cut the block index's trailing blocks past them; an\n"
    "              index with a block out of order is left alone, exit 1);\n"
    "              nothing else changes\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 every file whole and consistent (with --repair: whole\n"
    "after the mend), 1 otherwise, 2 usage error.\n"};

enum Option { kRepair };
const OptionEntry kOptions[] = {{"--repair", nullptr}};

// The reading buffer: a whole number of records of either size.
constexpr std::size_t kReadBufferBytes = 1 << 20;

// Where the header keeps num_samples (see capture/capture_header.h).
constexpr win::DWORD kSampleCountOffset = 16;

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

std::size_t HeaderBytes(const CaptureHeader& header) {
  return header.version == kCaptureHeaderVersion ? kCaptureHeaderBytes : kCaptureHeaderBytesOther;
}

// Opens and checks a capture file's header: whole, valid and plausible. On
// failure says why (stderr) and returns an invalid handle.
win::HANDLE OpenCapture(const char* path, CaptureHeader* header) {
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  const int valid = ReadCaptureHeaderQuietly(path, &handle, header);
  const win::DWORD open_error = win::GetLastError();
  if (!win::IsValidHandle(handle)) {
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: cannot open %s (error %lu)\n", path,
                 static_cast<unsigned long>(open_error));
    return win::INVALID_HANDLE_VALUE;
  }
  if (!valid) {
    win::CloseHandle(handle);
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: %s: not a whole, valid capture header\n", path);
    return win::INVALID_HANDLE_VALUE;
  }
  // A count of 0 is honest here: the recorder writes it until records are
  // safely in the file, so a capture stopped or killed early carries it.
  CaptureHeader held = *header;
  if (held.num_samples == 0) held.num_samples = 1;
  const int implausible = ReportImplausibleHeaderFields(held, nullptr);
  if (implausible > 0) {
    win::CloseHandle(handle);
    std::printf("Header not plausible (%d field%s):\n", implausible, implausible == 1 ? "" : "s");
    ReportImplausibleHeaderFields(held, stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: %s: not a capture file of this system\n", path);
    return win::INVALID_HANDLE_VALUE;
  }
  return handle;
}

// Fetch intervals, in fixed memory: a histogram of 1.2 % wide bins from 1 us to
// 1000 s (the median to that precision), and the longest exactly.
constexpr int kBinsPerDecade = 200;
constexpr int kDecades = 9;
constexpr int kBins = kBinsPerDecade * kDecades;

struct IntervalFigures {
  std::uint64_t bins[kBins];
  std::uint64_t count;
  std::int64_t max_ns;
};

void AddInterval(IntervalFigures* f, std::int64_t ns) {
  double decades = ns > 1000 ? std::log10(static_cast<double>(ns) / 1000.0) : 0.0;
  int bin = static_cast<int>(decades * kBinsPerDecade);
  if (bin >= kBins) bin = kBins - 1;
  ++f->bins[bin];
  ++f->count;
  if (ns > f->max_ns) f->max_ns = ns;
}

double MedianIntervalSeconds(const IntervalFigures& f) {
  std::uint64_t seen = 0;
  for (int bin = 0; bin < kBins; ++bin) {
    seen += f.bins[bin];
    if (2 * seen >= f.count) return 1e-6 * std::pow(10.0, (bin + 0.5) / kBinsPerDecade);
  }
  return 0;
}

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
// the figures of the report.
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

// The gap (if any) before `block`, given the block before it.
bool GapBefore(IndexWalk* w, const BlockRecord& b) {
  if (!w->have_previous) return (b.flags & (SCANMON_BLOCK_CARD_LOST | SCANMON_BLOCK_DROPPED)) != 0;
  const BlockRecord& p = w->previous;
  return (b.flags & (SCANMON_BLOCK_CARD_LOST | SCANMON_BLOCK_DROPPED)) != 0 ||
         (p.flags & SCANMON_BLOCK_CARD_LOST) != 0 || b.first_sample != p.first_sample + p.count ||
         b.first_record != p.first_record + p.count;
}

// Takes the next block; true with *gap_at set when a gap comes before it.
bool TakeBlock(IndexWalk* w, const BlockRecord& b, std::uint64_t* gap_at) {
  bool gap = GapBefore(w, b);
  if (w->have_previous) {
    AddInterval(&w->intervals, checked_time::SaturatingSubtract(b.mono_ns, w->previous.mono_ns));
  } else {
    w->first = b;
  }
  if (gap) {
    bool card = (b.flags & SCANMON_BLOCK_CARD_LOST) != 0 ||
                (w->have_previous && (w->previous.flags & SCANMON_BLOCK_CARD_LOST) != 0);
    if (card) ++w->card_gaps;
    if ((b.flags & SCANMON_BLOCK_DROPPED) != 0) ++w->ring_gaps;
    w->dropped += b.dropped_before;
    if (w->gaps < kGapLinesShown) {
      GapLine& line = w->lines[w->gaps];
      line.record = b.first_record;
      line.flags = b.flags | (w->have_previous ? w->previous.flags & SCANMON_BLOCK_CARD_LOST : 0);
      line.dropped = b.dropped_before;
      line.host_estimate = -1;
      if (card && w->have_previous && w->period_s > 0) {
        // The samples the card took between the two fetches' returns, less
        // those this fetch brought and those dropped on the way.
        double taken =
            static_cast<double>(checked_time::SaturatingSubtract(b.mono_ns, w->previous.mono_ns)) *
            1e-9 / w->period_s;
        double missing = taken - b.count - static_cast<double>(b.dropped_before);
        // (A hostile file's times give nonsense, never an overflow.)
        line.host_estimate = !(missing > 0) ? 0 : missing < 1e15 ? std::llround(missing) : -1;
      }
      line.utc_ns = b.utc_ns;
    }
    ++w->gaps;
    *gap_at = b.first_record;
  }
  ++w->blocks;
  w->covered += b.count;
  if (b.first_record + b.count > w->reach) w->reach = b.first_record + b.count;
  w->previous = b;
  w->have_previous = true;
  return gap;
}

bool NextGap(void* context, std::uint64_t* record) {
  auto* w = static_cast<IndexWalk*>(context);
  BlockRecord b;
  while (w->reader->Next(&b)) {
    if (!w->order.Take(b)) return false;
    if (TakeBlock(w, b, record)) return true;
  }
  return false;
}

void FormatUtc(std::int64_t utc_ns, char* out, std::size_t size) {
  std::time_t seconds = static_cast<std::time_t>(utc_ns / 1000000000);
  long ms = static_cast<long>(utc_ns % 1000000000 / 1000000);
  const std::tm* t = std::gmtime(&seconds);
  if (t == nullptr) {
    std::snprintf(out, size, "(time %lld ns)", static_cast<long long>(utc_ns));
    return;
  }
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", t);
  std::snprintf(out, size, "%s.%03ld UTC", text, ms);
}

// The block index part of the report; false when the index is inconsistent
// with the records (a cut last block record, blocks past the records).
bool ReportIndex(const char* path, const IndexWalk& w, std::uint64_t records,
                 std::uint32_t period_us) {
  std::printf("Block index: %s, %llu blocks covering %llu of %llu records\n", path,
              static_cast<unsigned long long>(w.blocks), static_cast<unsigned long long>(w.covered),
              static_cast<unsigned long long>(records));
  bool consistent = true;
  if (w.order.fault() != BlockOrderFault::kNone) {
    consistent = false;
    char why[256];
    w.order.Describe(why, sizeof why);
    std::printf("Block index out of order: %s; the blocks from there on are not read\n", why);
  } else if (w.reader->partial_bytes() > 0) {
    consistent = false;
    std::printf("Block index ends on a whole record: NO (%llu bytes of a cut record)\n",
                static_cast<unsigned long long>(w.reader->partial_bytes()));
  }
  if (w.reach > records) {
    consistent = false;
    std::printf("Block index reaches past the records: to record %llu\n",
                static_cast<unsigned long long>(w.reach));
  }
  if (w.blocks > 0) {
    char from[48], to[48];
    FormatUtc(w.first.utc_ns, from, sizeof from);
    FormatUtc(w.previous.utc_ns, to, sizeof to);
    std::printf("Host time: %s to %s\n", from, to);
  }
  std::printf(
      "Gaps: %llu (%llu after lost data on the card, %llu where samples were not kept: "
      "%llu samples)\n",
      static_cast<unsigned long long>(w.gaps), static_cast<unsigned long long>(w.card_gaps),
      static_cast<unsigned long long>(w.ring_gaps), static_cast<unsigned long long>(w.dropped));
  for (std::uint64_t i = 0; i < w.gaps && i < kGapLinesShown; ++i) {
    const GapLine& g = w.lines[i];
    char when[48];
    FormatUtc(g.utc_ns, when, sizeof when);
    std::printf("  before record %llu (%s):", static_cast<unsigned long long>(g.record), when);
    if ((g.flags & SCANMON_BLOCK_DROPPED) != 0) {
      std::printf(" %llu samples not kept (ring full)", static_cast<unsigned long long>(g.dropped));
    }
    if ((g.flags & SCANMON_BLOCK_CARD_LOST) != 0) {
      if (g.host_estimate >= 0) {
        std::printf(" lost on the card, about %lld samples by the host clock", g.host_estimate);
      } else {
        std::printf(" lost on the card");
      }
    }
    if ((g.flags & (SCANMON_BLOCK_DROPPED | SCANMON_BLOCK_CARD_LOST)) == 0) {
      std::printf(" the sample numbering jumps");
    }
    std::printf("\n");
  }
  if (w.gaps > kGapLinesShown) {
    std::printf("  ... and %llu more\n", static_cast<unsigned long long>(w.gaps - kGapLinesShown));
  }
  if (w.intervals.count > 0) {
    std::printf("Fetch intervals (host): median %.3f ms, max %.3f ms over %llu\n",
                1e3 * MedianIntervalSeconds(w.intervals),
                static_cast<double>(w.intervals.max_ns) * 1e-6,
                static_cast<unsigned long long>(w.intervals.count));
  }
  // The sample clock: samples the card delivered between the first block's
  // return and the last's, over the host's time between them.
  const std::uint64_t samples =
      w.previous.first_sample + w.previous.count - (w.first.first_sample + w.first.count);
  const double host_s =
      static_cast<double>(checked_time::SaturatingSubtract(w.previous.mono_ns, w.first.mono_ns)) *
      1e-9;
  if (w.blocks < 2 || host_s <= 0 || samples == 0) {
    std::printf("Sample clock: not measured (too few blocks)\n");
  } else if (w.card_gaps > 0) {
    std::printf("Sample clock: not measured (the card lost samples of unknown number)\n");
  } else {
    const double rate = static_cast<double>(samples) / host_s;
    const double period = 1e6 / rate;
    std::printf(
        "Sample clock: %.1f samples/s over %.3f s of host time: period %.6f us, %+.0f ppm "
        "against the nominal %lu us\n",
        rate, host_s, period, (period / period_us - 1.0) * 1e6,
        static_cast<unsigned long>(period_us));
  }
  return consistent;
}

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

// Reports one file; true when it is whole and consistent.
bool ReportFile(const char* path) {
  std::printf("== %s\n", path);
  CaptureHeader header{};
  win::HANDLE handle = OpenCapture(path, &header);
  if (!win::IsValidHandle(handle)) return false;
  PrintCaptureHeaderReport(header, true);
  const bool processed = EndsWith(path, ".prc");
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
  if (have_index) breaks.gaps = GapSource{NextGap, &walk};
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
    while (NextGap(&walk, &ignored)) {
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
    consistent = ReportIndex(idx_path, walk, records, header.sample_period) && consistent;
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
    std::fprintf(stderr, "capture-info: %s: reading failed (error %lu)\n", path,
                 static_cast<unsigned long>(read_error));
  }
  return consistent;
}

// A file's size through its handle; false with the last error set.
bool FileSize(win::HANDLE handle, std::uint64_t* size) {
  win::LONG high = 0;
  win::SetLastError(win::ERROR_SUCCESS);
  win::DWORD low = win::SetFilePointer(handle, 0, &high, win::FILE_END);
  if (low == win::INVALID_SET_FILE_POINTER && win::GetLastError() != win::ERROR_SUCCESS) {
    return false;
  }
  *size = static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32 | low;
  return true;
}

// Cuts the open file to `size` bytes.
bool CutTo(win::HANDLE handle, std::uint64_t size) {
  win::LONG high = static_cast<win::LONG>(size >> 32);
  win::SetLastError(win::ERROR_SUCCESS);
  win::DWORD low = win::SetFilePointer(handle, static_cast<win::LONG>(size & 0xFFFFFFFFu), &high,
                                       win::FILE_BEGIN);
  if (low == win::INVALID_SET_FILE_POINTER && win::GetLastError() != win::ERROR_SUCCESS) {
    return false;
  }
  return win::SetEndOfFile(handle) != 0;
}

// Cuts the block index beside a repaired .prc to the blocks inside its
// `records` and to whole block records: only a trailing run of blocks past the
// records (what a crash leaves) goes. An index with a block out of order
// anywhere is left alone: cutting there would throw away good blocks after a
// damaged one, and the damage is not what a crash does.
bool RepairIndex(const char* idx_path, std::uint64_t records) {
  static BlockIndexReader reader;
  if (!reader.Open(idx_path)) {
    if (reader.error() == win::ERROR_FILE_NOT_FOUND) return true;
    std::printf("Block index %s: left alone (not readable as a block index)\n", idx_path);
    return false;
  }
  // The blocks in order are a run of records from the first on, so those
  // within the records come first and the rest all reach past them.
  BlockOrderCheck order;
  std::uint64_t keep = 0;
  BlockRecord b;
  while (reader.Next(&b) && order.Take(b)) {
    if (order.end_record() <= records) ++keep;
  }
  const bool read_failed = reader.read_failed();
  const std::uint64_t size = reader.header_size() + keep * reader.record_size();
  reader.Close();
  if (read_failed) {
    std::printf("Block index %s: left alone (reading it failed)\n", idx_path);
    return false;
  }
  if (order.fault() != BlockOrderFault::kNone) {
    char why[256];
    order.Describe(why, sizeof why);
    std::printf(
        "Block index %s: left alone: %s (a repair cuts only blocks past the records at the "
        "index's end; this damage is not a crash's)\n",
        idx_path, why);
    return false;
  }
  win::HANDLE handle = win::CreateFileA(idx_path, win::GENERIC_READ | win::GENERIC_WRITE, 0,
                                        nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle)) return false;
  std::uint64_t before = 0;
  bool ok = FileSize(handle, &before);
  if (ok && before > size) {
    ok = CutTo(handle, size) && win::FlushFileBuffers(handle) != 0;
    if (ok) {
      std::printf("Block index %s: cut to %llu blocks (%llu bytes removed)\n", idx_path,
                  static_cast<unsigned long long>(keep),
                  static_cast<unsigned long long>(before - size));
    }
  }
  win::CloseHandle(handle);
  return ok;
}

// Mends one file; true when it is whole and consistent afterwards.
bool RepairFile(const char* path) {
  std::printf("== %s\n", path);
  CaptureHeader header{};
  win::HANDLE check = OpenCapture(path, &header);
  if (!win::IsValidHandle(check)) {
    std::printf("Not repaired: not one of this system's capture files\n");
    return false;
  }
  win::CloseHandle(check);
  win::HANDLE handle = win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                        win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle)) {
    std::fprintf(stderr, "capture-info: cannot open %s for writing (error %lu)\n", path,
                 static_cast<unsigned long>(win::GetLastError()));
    return false;
  }
  const bool processed = EndsWith(path, ".prc");
  const std::size_t record_bytes = processed ? kProcessedRecordBytes : kRawRecordBytes;
  const std::size_t header_bytes = HeaderBytes(header);
  std::uint64_t size = 0;
  bool ok = FileSize(handle, &size);
  std::uint64_t records = ok ? (size - header_bytes) / record_bytes : 0;
  if (records > UINT32_MAX) records = UINT32_MAX;  // the most a header can count
  const std::uint64_t whole = header_bytes + records * record_bytes;
  if (ok && size > whole) {
    ok = CutTo(handle, whole);
    if (ok) {
      std::printf("Cut: %llu bytes of a partial record removed\n",
                  static_cast<unsigned long long>(size - whole));
    }
  }
  if (ok && records != header.num_samples) {
    unsigned char count[4];
    capture_bytes::EncodeLe32(static_cast<std::uint32_t>(records), count);
    win::OVERLAPPED at{};
    at.Offset = kSampleCountOffset;
    win::DWORD written = 0;
    ok = win::WriteFile(handle, count, sizeof count, &written, &at) != 0 && written == sizeof count;
    if (ok) {
      std::printf("Header count: %lu -> %llu\n", static_cast<unsigned long>(header.num_samples),
                  static_cast<unsigned long long>(records));
    }
  }
  if (ok) ok = win::FlushFileBuffers(handle) != 0;
  const win::DWORD error = win::GetLastError();
  win::CloseHandle(handle);
  if (!ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "capture-info: mending %s failed (error %lu)\n", path,
                 static_cast<unsigned long>(error));
    return false;
  }
  char idx_path[1024];
  if (processed && BlockIndexPathFor(path, idx_path, sizeof idx_path)) {
    ok = RepairIndex(idx_path, records);
  }
  if (ok) {
    std::printf("Whole: %llu records, header count %llu\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(records));
  } else {
    std::printf("Not whole: %llu records, header count %llu; the block index is not mended\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(records));
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // The whole command line is checked before any file is read.
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  int files = 0;
  bool repair = false;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (kind == ArgKind::kOperand) {
      ++files;
    } else if (step.option == kRepair) {
      repair = true;
    }
  }
  if (files == 0) return UsageError(&line, "no capture file given");
  bool all_consistent = true;
  line = StartCommandLine(kProgram, kOptions, argc, argv);
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind != ArgKind::kOperand) continue;
    all_consistent = (repair ? RepairFile(step.text) : ReportFile(step.text)) && all_consistent;
  }
  return all_consistent ? kExitConsistent : kExitInconsistent;
}
