// Sample clock benchmark: the library's block times against the stand-in's
// truth, beside the times the block index gave before the clock (the old
// Timeline's algorithm, run here on the same blocks), printing figures (not a
// timed test: nothing here fails on a slow machine). All runs in one process,
// one after the other, so their figures stand side by side:
//
//   1. The scanner source at 200 kHz, fetches of 5000, the stand-in's sample
//      clock CLOCK_BENCH_PPM fast (default 50) and its fetches returning up to
//      CLOCK_BENCH_DELAY_MS late (default 2), for CLOCK_BENCH_SECONDS each
//      (default 30): idle, then with CLOCK_BENCH_LOAD busy threads beside it
//      (default 2); then both again with the stand-in's fetches stalling (one
//      in CLOCK_BENCH_STALL_EVERY, default 100, by 350 to 700 ms: longer than
//      the card's buffer, so the card loses samples). Every block's first and
//      last sample time (scanmon_block_times) against the true times in the
//      samples' bytes 52-59: |estimated - true| median, 99th percentile and
//      maximum once locked, the signed median (the least fetch-return
//      latency, which no host-side clock can see), the same for the old
//      algorithm and the ratio; times running back; the time to lock; heap
//      allocations per block over the whole read path (all threads). With
//      stalls: the gaps the card lost (by the true sample numbers, bytes 4 and
//      60) against the gaps the clock found, and each gap's length against the
//      truth of the samples either side.
//      CLOCK_BENCH_DUMP=prefix writes each run's blocks to prefix-N, as text.
//   2. The clock alone: the blocks of the first run replayed through a fresh
//      SampleClock, ns per block and allocations per block.
//   3. The revolution reader alone: the first run's first blocks (samples and
//      times) replayed through a RevolutionReader, ns per block beyond the
//      replay's own copy, and allocations per block.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/monitor/malloc_counter.h"
#include "bench/support/demo_scanner.h"
#include "libscanmon/revolution_reader.h"
#include "libscanmon/sample_clock.h"
#include "scanmon/scanmon.h"

namespace {

struct BlockRow {
  std::uint64_t first_sample;
  std::uint32_t count;
  std::uint32_t flags;
  std::int64_t mono_ns;
  std::int64_t true_first, true_last;
  std::uint64_t true_seq_first, true_seq_last;  // the stand-in's full sample numbers
  std::int64_t est_first;
  double period;
  std::uint64_t missing_estimated;
  bool locked;
};

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double EnvNumber(const char* name, double fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && text[0] != '\0' ? std::atof(text) : fallback;
}

std::int64_t TrueTime(const scanmon_sample& sample) {
  std::int64_t t = 0;
  std::memcpy(&t, reinterpret_cast<const unsigned char*>(&sample) + 52, sizeof t);
  return t;
}

std::uint64_t TrueNumber(const scanmon_sample& sample) {
  std::uint32_t low = 0, high = 0;
  std::memcpy(&low, reinterpret_cast<const unsigned char*>(&sample) + 4, sizeof low);
  std::memcpy(&high, reinterpret_cast<const unsigned char*>(&sample) + 60, sizeof high);
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

struct Stats {
  double median = 0, p99 = 0, max = 0, signed_median = 0;
};

// |error| figures, or with `around_median` |error - its signed median|: the
// spread around the constant least latency.
Stats Summarise(std::vector<double> errors, bool around_median = false) {
  Stats s;
  if (errors.empty()) return s;
  std::vector<double> sorted = errors;
  std::sort(sorted.begin(), sorted.end());
  s.signed_median = sorted[sorted.size() / 2];
  for (double& e : errors) e = std::fabs(around_median ? e - s.signed_median : e);
  std::sort(errors.begin(), errors.end());
  s.median = errors[errors.size() / 2];
  s.p99 = errors[(errors.size() * 99) / 100];
  s.max = errors.back();
  return s;
}

// The block index's times before the sample clock: each block's samples at the
// earliest sample-0 time its return and the next 15 returns allow, one nominal
// period apart, moved earlier where they would run back.
std::vector<std::int64_t> OldTimelineStarts(const std::vector<BlockRow>& rows, double period) {
  const std::size_t n = rows.size();
  const int window = 16;
  std::vector<double> anchor(n), steps(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double last = static_cast<double>(rows[i].first_sample + rows[i].count - 1);
    anchor[i] = static_cast<double>(rows[i].mono_ns) - last * period;
    if (i > 0) {
      double previous_last = static_cast<double>(rows[i - 1].first_sample + rows[i - 1].count - 1);
      steps[i] =
          steps[i - 1] + (static_cast<double>(rows[i].first_sample) - previous_last) * period;
    }
  }
  std::vector<double> windowed(n);
  for (std::size_t i = 0; i < n; ++i) {
    double m = anchor[i];
    for (std::size_t j = i; j < n && j < i + window; ++j) m = std::min(m, anchor[j]);
    windowed[i] = m;
  }
  std::vector<std::int64_t> starts(n);
  double running = 1e300;
  for (std::size_t k = n; k-- > 0;) {
    running = std::min(running, windowed[k] + steps[k]);
    double a = running - steps[k];
    starts[k] = static_cast<std::int64_t>(a + static_cast<double>(rows[k].first_sample) * period);
  }
  return starts;
}

void Print(const char* what, const Stats& s) {
  std::printf("   %-28s median %8.1f us  p99 %8.1f us  max %8.1f us  (signed median %8.1f us)\n",
              what, s.median / 1e3, s.p99 / 1e3, s.max / 1e3, s.signed_median / 1e3);
}

struct RunConfig {
  const char* name;
  int load;
  std::int64_t stall_every;
};

// The first blocks of a run kept whole, for the revolution reader's replay.
struct Kept {
  std::vector<scanmon_block> blocks;
  std::vector<scanmon_block_times> times;
  std::vector<scanmon_sample> samples;
};

struct RunResult {
  std::vector<BlockRow> rows;
  double lock_after_s = -1, rate_hz = 0, drift_ppm = 0;
  double residual_median = 0, residual_p99 = 0, residual_max = 0;
  std::uint64_t allocations = 0;
  std::size_t counted_blocks = 0;
  std::uint64_t dropped = 0, lost_events = 0;
};

bool Run(const RunConfig& config, int seconds, Kept* keep, std::size_t keep_blocks,
         RunResult* result) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(config.stall_every));
  setenv("HSIF_SIM_FETCH_STALL_EVERY", text, 1);
  setenv("HSIF_SIM_FETCH_STALL_MS", "700", 1);

  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < config.load; ++i) {
    busy.emplace_back([&stop] {
      volatile std::uint64_t x = 0;
      while (!stop.load(std::memory_order_relaxed)) x = x + 1;
    });
  }
  auto end_load = [&] {
    stop = true;
    for (std::thread& t : busy) t.join();
  };

  scanmon_scanner_settings settings = DemoScannerSettings();
  scanmon_source* source = nullptr;
  if (scanmon_open_scanner(&settings, &source) != SCANMON_OK) {
    std::fprintf(stderr, "clock_bench: %s\n", scanmon_last_error());
    end_load();
    return false;
  }
  std::vector<scanmon_sample> samples(5000);
  std::vector<BlockRow>& rows = result->rows;
  rows.reserve(static_cast<std::size_t>(seconds) * 50 + 100);
  if (keep != nullptr) keep->samples.reserve(keep_blocks * 5000);
  scanmon_block_times times{};
  times.struct_size = sizeof times;
  const std::int64_t start = NowNs();
  std::uint64_t allocations_at = 0;
  std::size_t counted_from = 0;
  bool ok = true;
  while (NowNs() - start < static_cast<std::int64_t>(seconds) * 1000000000) {
    if (counted_from == 0 && NowNs() - start > 1000000000) {
      counted_from = rows.size();
      allocations_at = HeapAllocationCount();
    }
    scanmon_block block{};
    if (scanmon_read_block(source, 2000, &block, samples.data(), nullptr, 5000) != SCANMON_OK ||
        scanmon_block_times_get(source, &times) != SCANMON_OK) {
      std::fprintf(stderr, "clock_bench: %s\n", scanmon_last_error());
      ok = false;
      break;
    }
    if (block.count == 0) continue;
    rows.push_back(BlockRow{block.first_sample, block.count, block.flags, block.mono_ns,
                            TrueTime(samples[0]), TrueTime(samples[block.count - 1]),
                            TrueNumber(samples[0]), TrueNumber(samples[block.count - 1]),
                            times.first_mono_ns, times.period_ns, times.missing_estimated,
                            times.clock_state == SCANMON_CLOCK_LOCKED});
    if (keep != nullptr && keep->blocks.size() < keep_blocks) {
      keep->blocks.push_back(block);
      keep->times.push_back(times);
      keep->samples.insert(keep->samples.end(), samples.begin(), samples.begin() + block.count);
    }
  }
  result->allocations = HeapAllocationCount() - allocations_at;
  result->counted_blocks = rows.size() - counted_from;
  result->lock_after_s = times.lock_after_ns * 1e-9;
  result->rate_hz = times.rate_hz;
  result->drift_ppm = times.drift_ppm;
  result->residual_median = times.residual_median_ns;
  result->residual_p99 = times.residual_p99_ns;
  result->residual_max = times.residual_max_ns;
  scanmon_health health{};
  health.struct_size = sizeof health;
  scanmon_health_get(source, &health);
  result->dropped = health.samples_dropped;
  result->lost_events = health.lost_events;
  scanmon_close(source);
  end_load();
  return ok;
}

struct Figures {
  Stats clock, old, settling, clock_spread, old_spread;
  int running_back = 0, old_running_back = 0;
  std::size_t locked_blocks = 0;
  // Gaps: lost by the card (true numbers), found by the clock, both; the
  // error of each found gap's length (ns).
  int gaps_lost = 0, gaps_found = 0, gaps_both = 0;
  std::vector<double> gap_errors;
  double gap_true_total_ms = 0, gap_found_total_ms = 0;
};

Figures Analyse(const RunResult& run, double period) {
  const std::vector<BlockRow>& rows = run.rows;
  const std::vector<std::int64_t> old_starts = OldTimelineStarts(rows, period);
  Figures f;
  std::vector<double> clock_errors, old_errors, clock_settling;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const BlockRow& r = rows[i];
    const double last = r.est_first + (r.count - 1.0) * r.period;
    const double old_last = old_starts[i] + (r.count - 1.0) * period;
    if (i > 0) {
      const BlockRow& p = rows[i - 1];
      const double previous_last = p.est_first + (p.count - 1.0) * p.period;
      if (r.est_first <= previous_last) ++f.running_back;
      if (old_starts[i] <= old_starts[i - 1] + (p.count - 1.0) * period) ++f.old_running_back;
      // A gap the card lost: the true numbers jump (both ends known).
      const bool known = p.true_last != 0 && r.true_first != 0;
      const bool lost = known && r.true_seq_first != p.true_seq_last + 1;
      const bool found = r.missing_estimated > 0;
      f.gaps_lost += lost ? 1 : 0;
      f.gaps_found += found ? 1 : 0;
      if (lost && found) {
        ++f.gaps_both;
        const double true_length = static_cast<double>(r.true_first - p.true_last);
        const double estimated_length = r.est_first - previous_last;
        f.gap_errors.push_back(estimated_length - true_length);
      }
      if (lost) f.gap_true_total_ms += static_cast<double>(r.true_first - p.true_last) * 1e-6;
      if (found) f.gap_found_total_ms += (r.est_first - previous_last) * 1e-6;
    }
    std::vector<double>& into = r.locked ? clock_errors : clock_settling;
    into.push_back(static_cast<double>(r.est_first - r.true_first));
    into.push_back(last - static_cast<double>(r.true_last));
    if (r.locked) {
      old_errors.push_back(static_cast<double>(old_starts[i] - r.true_first));
      old_errors.push_back(old_last - static_cast<double>(r.true_last));
    }
  }
  f.locked_blocks = clock_errors.size() / 2;
  f.clock = Summarise(clock_errors);
  f.old = Summarise(old_errors);
  f.settling = Summarise(clock_settling);
  f.clock_spread = Summarise(clock_errors, true);
  f.old_spread = Summarise(old_errors, true);
  return f;
}

void PrintRun(const RunConfig& config, const RunResult& run, const Figures& f) {
  std::printf("-- %s: %d busy thread(s) beside it%s\n", config.name, config.load,
              config.stall_every > 0 ? ", fetches stalling 350-700 ms now and then" : "");
  std::printf("   blocks %zu (%zu locked), samples dropped %llu, card lost-data %llu\n",
              run.rows.size(), f.locked_blocks, static_cast<unsigned long long>(run.dropped),
              static_cast<unsigned long long>(run.lost_events));
  Print("sample clock, locked:", f.clock);
  Print("old Timeline, same blocks:", f.old);
  Print("sample clock, settling:", f.settling);
  Print("clock, around its median:", f.clock_spread);
  Print("old, around its median:", f.old_spread);
  std::printf("   ratio old/clock around the medians: median %.1f, p99 %.1f, max %.1f\n",
              f.old_spread.median / f.clock_spread.median, f.old_spread.p99 / f.clock_spread.p99,
              f.old_spread.max / f.clock_spread.max);
  std::printf("   ratio old/clock: median %.1f, p99 %.1f, max %.1f\n",
              f.old.median / f.clock.median, f.old.p99 / f.clock.p99, f.old.max / f.clock.max);
  std::printf(
      "   steps <= 0 between blocks: clock %d, old %d; locked after %.2f s; fit: %.3f Hz, "
      "drift %+.2f ppm, residuals median %.0f us, p99 %.0f us, max %.0f us\n",
      f.running_back, f.old_running_back, run.lock_after_s, run.rate_hz, run.drift_ppm,
      run.residual_median / 1e3, run.residual_p99 / 1e3, run.residual_max / 1e3);
  std::printf("   heap allocations over the read path: %llu in %zu blocks (%.3f per block)\n",
              static_cast<unsigned long long>(run.allocations), run.counted_blocks,
              run.counted_blocks ? static_cast<double>(run.allocations) / run.counted_blocks : 0.0);
  if (config.stall_every > 0) {
    std::vector<double> abs_errors;
    for (double e : f.gap_errors) abs_errors.push_back(std::fabs(e));
    std::sort(abs_errors.begin(), abs_errors.end());
    std::printf(
        "   gaps: the card lost %d (%.1f ms in all), the clock found %d (%.1f ms), both %d; "
        "|length error| median %.1f us, max %.1f us\n",
        f.gaps_lost, f.gap_true_total_ms, f.gaps_found, f.gap_found_total_ms, f.gaps_both,
        abs_errors.empty() ? 0.0 : abs_errors[abs_errors.size() / 2] / 1e3,
        abs_errors.empty() ? 0.0 : abs_errors.back() / 1e3);
  }
}

// The kept blocks over and over, numbers and times moved on each round, as a
// source through the C interface would hand them (the samples copied out).
class ReplayFeed : public scanmon_lib::BlockFeed {
 public:
  ReplayFeed(const Kept& kept, std::size_t rounds) : kept_(kept), rounds_(rounds) {
    const scanmon_block& last = kept.blocks.back();
    samples_per_round_ = last.first_sample + last.count - kept.blocks.front().first_sample;
    const scanmon_block_times& t = kept.times.back();
    ns_per_round_ = static_cast<std::int64_t>(
        static_cast<double>(t.first_mono_ns - kept.times.front().first_mono_ns) +
        last.count * t.period_ns);
  }
  int Next(std::int32_t, scanmon_block* block, scanmon_block_times* times, scanmon_sample* samples,
           std::uint32_t capacity) override {
    if (round_ == rounds_) return SCANMON_END;
    const std::uint64_t round = round_;
    *block = kept_.blocks[index_];
    *times = kept_.times[index_];
    block->first_sample += round * samples_per_round_;
    block->mono_ns += static_cast<std::int64_t>(round) * ns_per_round_;
    times->first_mono_ns += static_cast<std::int64_t>(round) * ns_per_round_;
    times->run_start = index_ == 0 && round == 0 ? 1 : 0;
    const std::uint32_t n = std::min(block->count, capacity);
    std::memcpy(samples, kept_.samples.data() + offset_, n * sizeof(scanmon_sample));
    offset_ += block->count;
    if (++index_ == kept_.blocks.size()) {
      index_ = 0;
      offset_ = 0;
      ++round_;
    }
    return SCANMON_OK;
  }

 private:
  const Kept& kept_;
  std::size_t rounds_, round_ = 0, index_ = 0, offset_ = 0;
  std::uint64_t samples_per_round_ = 0;
  std::int64_t ns_per_round_ = 0;
};

}  // namespace

int main() {
  const int seconds = static_cast<int>(EnvNumber("CLOCK_BENCH_SECONDS", 30));
  const double ppm = EnvNumber("CLOCK_BENCH_PPM", 50);
  const double delay_ms = EnvNumber("CLOCK_BENCH_DELAY_MS", 2);
  const int load = static_cast<int>(EnvNumber("CLOCK_BENCH_LOAD", 2));
  const auto stall_every = static_cast<std::int64_t>(EnvNumber("CLOCK_BENCH_STALL_EVERY", 100));
  char text[64];
  std::snprintf(text, sizeof text, "%g", ppm);
  setenv("HSIF_SIM_CLOCK_PPM", text, 1);
  std::snprintf(text, sizeof text, "%g", delay_ms);
  setenv("HSIF_SIM_FETCH_DELAY_MS", text, 1);

  const RunConfig configs[] = {
      {"idle", 0, 0},
      {"loaded", load, 0},
      {"idle, card losing data", 0, stall_every},
      {"loaded, card losing data", load, stall_every},
  };
  std::printf(
      "1. scanner source, 200 kHz, fetches of 5000, clock %+g ppm, returns up to %g ms late, "
      "%d s a run:\n",
      ppm, delay_ms, seconds);
  Kept kept;
  const std::size_t keep_blocks = 80;
  std::vector<BlockRow> first_rows;
  for (const RunConfig& config : configs) {
    RunResult run;
    if (!Run(config, seconds, first_rows.empty() ? &kept : nullptr, keep_blocks, &run)) return 1;
    PrintRun(config, run, Analyse(run, 5000.0));
    if (const char* dump = std::getenv("CLOCK_BENCH_DUMP"); dump != nullptr && dump[0] != '\0') {
      // The run's blocks as text, one a line, to study the clock offline.
      const std::string path = std::string(dump) + "-" + std::to_string(&config - configs);
      if (FILE* out = std::fopen(path.c_str(), "w")) {
        for (const BlockRow& r : run.rows) {
          std::fprintf(out, "%llu %u %u %lld %lld %lld %llu %llu\n",
                       static_cast<unsigned long long>(r.first_sample), r.count, r.flags,
                       static_cast<long long>(r.mono_ns), static_cast<long long>(r.true_first),
                       static_cast<long long>(r.true_last),
                       static_cast<unsigned long long>(r.true_seq_first),
                       static_cast<unsigned long long>(r.true_seq_last));
        }
        std::fclose(out);
      }
    }
    std::fflush(stdout);
    if (first_rows.empty()) first_rows = run.rows;
  }

  // 2. The clock alone.
  const int rounds = 200;
  std::uint64_t replay_allocations = 0;
  const std::int64_t t0 = NowNs();
  for (int round = 0; round < rounds; ++round) {
    scanmon_lib::SampleClock replay(5000.0);
    const std::uint64_t before = HeapAllocationCount();
    for (const BlockRow& r : first_rows) {
      replay.Add(r.first_sample, r.count, r.mono_ns, (r.flags & SCANMON_BLOCK_LOST_DATA) != 0);
    }
    replay_allocations += HeapAllocationCount() - before;
  }
  const double ns_per_block =
      static_cast<double>(NowNs() - t0) / (static_cast<double>(rounds) * first_rows.size());
  std::printf("2. the clock alone, %zu blocks x %d: %.0f ns per block, %llu allocations\n",
              first_rows.size(), rounds, ns_per_block,
              static_cast<unsigned long long>(replay_allocations));

  // 3. The revolution reader alone: the replay's own cost (its copy of each
  // block's samples, as scanmon_read_block makes) measured apart and taken off.
  if (kept.blocks.size() >= 2) {
    const std::size_t revolution_rounds = 25;
    const std::size_t blocks = kept.blocks.size() * revolution_rounds;
    std::vector<scanmon_sample> block_samples(5000);
    scanmon_block block{};
    scanmon_block_times times{};
    ReplayFeed copy_only(kept, revolution_rounds);
    std::int64_t t = NowNs();
    while (copy_only.Next(0, &block, &times, block_samples.data(), 5000) == SCANMON_OK) {
    }
    const double copy_ns = static_cast<double>(NowNs() - t) / static_cast<double>(blocks);

    scanmon_lib::RevolutionReader reader;
    if (!reader.Open(200000, 5000, false)) return 1;
    std::vector<scanmon_sample> revolution_samples(200000);
    scanmon_revolution revolution{};
    revolution.struct_size = sizeof revolution;
    ReplayFeed feed(kept, revolution_rounds);
    std::size_t revolutions = 0;
    const std::uint64_t before = HeapAllocationCount();
    t = NowNs();
    while (reader.Read(&feed, 0, &revolution, revolution_samples.data(), 200000) == SCANMON_OK) {
      ++revolutions;
    }
    const double read_ns = static_cast<double>(NowNs() - t) / static_cast<double>(blocks);
    const std::uint64_t allocations = HeapAllocationCount() - before;
    std::printf(
        "3. the revolution reader alone, %zu blocks (%zu revolutions): %.0f ns per block "
        "(%.0f with the replay's copy, %.0f the copy alone), %llu allocations\n",
        blocks, revolutions, read_ns - copy_ns, read_ns, copy_ns,
        static_cast<unsigned long long>(allocations));
  }
  return 0;
}
