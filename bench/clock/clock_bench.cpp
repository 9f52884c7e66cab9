// Sample clock benchmark: the library's block times against the stand-in's
// truth, beside the times the block index gave before the clock (the old
// Timeline's algorithm, run here on the same blocks), printing figures (not a
// timed test: nothing here fails on a slow machine).
//
//   1. The scanner source at 200 kHz, fetches of 5000, the stand-in's sample
//      clock CLOCK_BENCH_PPM fast (default 50) and its fetches returning up to
//      CLOCK_BENCH_DELAY_MS late (default 2), for CLOCK_BENCH_SECONDS (default
//      30); CLOCK_BENCH_LOAD busy threads beside it (default 0). Every block's
//      first and last sample time (scanmon_block_times) against the true times
//      in the samples' bytes 52-59: |estimated - true| median, 99th percentile
//      and maximum once locked, the signed median (the least fetch-return
//      latency, which no host-side clock can see), the same for the old
//      algorithm and the ratio; times running back; the time to lock; heap
//      allocations per block over the whole read path (all threads).
//   2. The clock alone: the blocks of 1 replayed through a fresh SampleClock,
//      ns per block and allocations per block.
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
#include "libscanmon/sample_clock.h"
#include "scanmon/scanmon.h"

namespace {

struct BlockRow {
  std::uint64_t first_sample;
  std::uint32_t count;
  std::uint32_t flags;
  std::int64_t mono_ns;
  std::int64_t true_first, true_last;
  std::int64_t est_first;
  double period;
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

}  // namespace

int main() {
  const int seconds = static_cast<int>(EnvNumber("CLOCK_BENCH_SECONDS", 30));
  const double ppm = EnvNumber("CLOCK_BENCH_PPM", 50);
  const double delay_ms = EnvNumber("CLOCK_BENCH_DELAY_MS", 2);
  const int load = static_cast<int>(EnvNumber("CLOCK_BENCH_LOAD", 0));
  char text[64];
  std::snprintf(text, sizeof text, "%g", ppm);
  setenv("HSIF_SIM_CLOCK_PPM", text, 1);
  std::snprintf(text, sizeof text, "%g", delay_ms);
  setenv("HSIF_SIM_FETCH_DELAY_MS", text, 1);

  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < load; ++i) {
    busy.emplace_back([&stop] {
      volatile std::uint64_t x = 0;
      while (!stop.load(std::memory_order_relaxed)) x = x + 1;
    });
  }

  scanmon_scanner_settings settings = DemoScannerSettings();
  scanmon_source* source = nullptr;
  if (scanmon_open_scanner(&settings, &source) != SCANMON_OK) {
    std::fprintf(stderr, "clock_bench: %s\n", scanmon_last_error());
    return 1;
  }
  std::vector<scanmon_sample> samples(5000);
  std::vector<BlockRow> rows;
  rows.reserve(static_cast<std::size_t>(seconds) * 50 + 100);
  scanmon_block_times times{};
  times.struct_size = sizeof times;
  const std::int64_t start = NowNs();
  std::uint64_t allocations_at = 0;
  std::size_t counted_from = 0;
  while (NowNs() - start < static_cast<std::int64_t>(seconds) * 1000000000) {
    if (counted_from == 0 && NowNs() - start > 1000000000) {
      counted_from = rows.size();
      allocations_at = HeapAllocationCount();
    }
    scanmon_block block{};
    if (scanmon_read_block(source, 2000, &block, samples.data(), nullptr, 5000) != SCANMON_OK ||
        scanmon_block_times_get(source, &times) != SCANMON_OK) {
      std::fprintf(stderr, "clock_bench: %s\n", scanmon_last_error());
      return 1;
    }
    rows.push_back(BlockRow{block.first_sample, block.count, block.flags, block.mono_ns,
                            TrueTime(samples[0]), TrueTime(samples[block.count - 1]),
                            times.first_mono_ns, times.period_ns,
                            times.clock_state == SCANMON_CLOCK_LOCKED});
  }
  const std::uint64_t allocations = HeapAllocationCount() - allocations_at;
  const std::size_t counted_blocks = rows.size() - counted_from;
  scanmon_health health{};
  health.struct_size = sizeof health;
  scanmon_health_get(source, &health);
  scanmon_close(source);
  stop = true;
  for (std::thread& t : busy) t.join();

  // 1. Errors against the truth.
  const std::vector<std::int64_t> old_starts = OldTimelineStarts(rows, 5000.0);
  std::vector<double> clock_errors, old_errors, clock_settling;
  int running_back = 0, old_running_back = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const BlockRow& r = rows[i];
    const double last = r.est_first + (r.count - 1.0) * r.period;
    const double old_last = old_starts[i] + (r.count - 1.0) * 5000.0;
    if (i > 0) {
      const BlockRow& p = rows[i - 1];
      if (r.est_first <= p.est_first + (p.count - 1.0) * p.period) ++running_back;
      if (old_starts[i] <= old_starts[i - 1] + (p.count - 1.0) * 5000.0) ++old_running_back;
    }
    std::vector<double>& into = r.locked ? clock_errors : clock_settling;
    into.push_back(static_cast<double>(r.est_first - r.true_first));
    into.push_back(last - static_cast<double>(r.true_last));
    if (r.locked) {
      old_errors.push_back(static_cast<double>(old_starts[i] - r.true_first));
      old_errors.push_back(old_last - static_cast<double>(r.true_last));
    }
  }
  const Stats clock = Summarise(clock_errors);
  const Stats old = Summarise(old_errors);
  std::printf(
      "1. scanner source, 200 kHz, fetches of 5000, clock %+g ppm, returns up to %g ms "
      "late, %d s, %d busy thread(s) beside it:\n",
      ppm, delay_ms, seconds, load);
  std::printf("   blocks %zu (%zu locked), samples dropped %llu, card lost-data %llu\n",
              rows.size(), clock_errors.size() / 2,
              static_cast<unsigned long long>(health.samples_dropped),
              static_cast<unsigned long long>(health.lost_events));
  Print("sample clock, locked:", clock);
  Print("old Timeline, same blocks:", old);
  Print("sample clock, settling:", Summarise(clock_settling));
  const Stats clock_spread = Summarise(clock_errors, true);
  const Stats old_spread = Summarise(old_errors, true);
  Print("clock, around its median:", clock_spread);
  Print("old, around its median:", old_spread);
  std::printf("   ratio old/clock around the medians: median %.1f, p99 %.1f, max %.1f\n",
              old_spread.median / clock_spread.median, old_spread.p99 / clock_spread.p99,
              old_spread.max / clock_spread.max);
  std::printf("   ratio old/clock: median %.1f, p99 %.1f, max %.1f\n", old.median / clock.median,
              old.p99 / clock.p99, old.max / clock.max);
  std::printf(
      "   steps <= 0 between blocks: clock %d, old %d; locked after %.2f s; fit: %.3f Hz, "
      "drift %+.2f ppm, residuals median %.0f us, p99 %.0f us, max %.0f us\n",
      running_back, old_running_back, times.lock_after_ns * 1e-9, times.rate_hz, times.drift_ppm,
      times.residual_median_ns / 1e3, times.residual_p99_ns / 1e3, times.residual_max_ns / 1e3);
  std::printf("   heap allocations over the read path: %llu in %zu blocks (%.3f per block)\n",
              static_cast<unsigned long long>(allocations), counted_blocks,
              counted_blocks ? static_cast<double>(allocations) / counted_blocks : 0.0);

  // 2. The clock alone.
  const int rounds = 200;
  std::uint64_t replay_allocations = 0;
  const std::int64_t t0 = NowNs();
  for (int round = 0; round < rounds; ++round) {
    scanmon_lib::SampleClock replay(5000.0);
    const std::uint64_t before = HeapAllocationCount();
    for (const BlockRow& r : rows) {
      replay.Add(r.first_sample, r.count, r.mono_ns, (r.flags & SCANMON_BLOCK_LOST_DATA) != 0);
    }
    replay_allocations += HeapAllocationCount() - before;
  }
  const double ns_per_block =
      static_cast<double>(NowNs() - t0) / (static_cast<double>(rounds) * rows.size());
  std::printf("2. the clock alone, %zu blocks x %d: %.0f ns per block, %llu allocations\n",
              rows.size(), rounds, ns_per_block,
              static_cast<unsigned long long>(replay_allocations));
  return 0;
}
