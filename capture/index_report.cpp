#include "capture/index_report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "capture/checked_time.h"

namespace {

void AddInterval(IntervalFigures* f, std::int64_t ns) {
  double decades = ns > 1000 ? std::log10(static_cast<double>(ns) / 1000.0) : 0.0;
  int bin = static_cast<int>(decades * kIntervalBinsPerDecade);
  if (bin >= kIntervalBins) bin = kIntervalBins - 1;
  ++f->bins[bin];
  ++f->count;
  if (ns > f->max_ns) f->max_ns = ns;
}

double MedianIntervalSeconds(const IntervalFigures& f) {
  std::uint64_t seen = 0;
  for (int bin = 0; bin < kIntervalBins; ++bin) {
    seen += f.bins[bin];
    if (2 * seen >= f.count) return 1e-6 * std::pow(10.0, (bin + 0.5) / kIntervalBinsPerDecade);
  }
  return 0;
}

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

}  // namespace

bool NextIndexGap(void* context, std::uint64_t* record) {
  auto* w = static_cast<IndexWalk*>(context);
  BlockRecord b;
  while (w->reader->Next(&b)) {
    if (!w->order.Take(b)) return false;
    if (TakeBlock(w, b, record)) return true;
  }
  return false;
}

// The block index part of the report; false when the index is inconsistent
// with the records (a cut last block record, blocks past the records).
bool ReportBlockIndex(const char* path, const IndexWalk& w, std::uint64_t records,
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
