// What the monitor costs per sample, with and without its status display's
// health figures, and how much of a CPU it takes while the card samples at
// 200 kHz.
//
//   monitor_bench                 the round benchmarks, then the CPU share run
//   monitor_bench --no-cpu-share  only the round benchmarks
//   SCANMON_BENCH_SECONDS=N       length of the CPU share run (default 10 s)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/monitor/malloc_counter.h"
#include "hsif/driver_records.h"
#include "monitor/angle.h"
#include "monitor/sample_round.h"
#include "monitor/status_display.h"
#include "platform/clock.h"

namespace {

// A fetch as the card delivers it at 200 kHz with the mirror at 20 rev/s: one
// index mark per 10000 samples, so at most one per fetch.
struct PreparedFetch {
  RawSample raw[kRawBufferSlots];
  ProcessedSample processed[kRawBufferSlots];
  PreparedFetch() : raw(), processed() {
    for (int i = 0; i < kRawBufferSlots; ++i) {
      processed[i].angle = 6.283185307179586 * (i % 4096) / 4096.0;
      processed[i].flags = (i == 2500) ? kProcessedIndexFlag : 0;
    }
  }
};

PreparedFetch& Fetch() {
  static PreparedFetch fetch;
  return fetch;
}

std::FILE* NullStream() {
  static std::FILE* stream = std::fopen("/dev/null", "w");
  return stream;
}

// The monitor's own work on one fetch: the lost-data test, the count bound and
// the printout (on a stream that discards, so the terminal is not measured).
void BM_MonitorRound(benchmark::State& state) {
  PreparedFetch& fetch = Fetch();
  std::FILE* out = NullStream();
  std::uint64_t rounds = 0;
  for (auto _ : state) {
    bool lost = RawLostDataFlag(fetch.raw);
    benchmark::DoNotOptimize(lost);
    PrintSampleRound(out, fetch.processed, BoundedSampleCount(kRawBufferSlots));
    ++rounds;
  }
  state.counters["ns_per_sample"] =
      benchmark::Counter(static_cast<double>(rounds) * kRawBufferSlots,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MonitorRound);

// Heap allocations made by a number of rounds, once the output stream has its
// buffer (the benchmark framework's own allocations are kept out of it).
std::uint64_t CountRoundAllocations(int rounds) {
  PreparedFetch& fetch = Fetch();
  std::FILE* out = NullStream();
  PrintSampleRound(out, fetch.processed, kRawBufferSlots);
  std::uint64_t before = HeapAllocationCount();
  for (int i = 0; i < rounds; ++i) {
    bool lost = RawLostDataFlag(fetch.raw);
    benchmark::DoNotOptimize(lost);
    PrintSampleRound(out, fetch.processed, BoundedSampleCount(kRawBufferSlots));
  }
  return HeapAllocationCount() - before;
}

// The round of scanmon --status: the lost-data test, the health module fed
// with the fetch, the clock read, and the display's test whether its line is
// due (a few times a second, so almost never within a round).
struct StatusRound {
  HealthState health;
  StatusDisplay display;
  StatusRound() {
    StartHealth(health, HealthSettings{});
    StartStatusDisplay(display, false, platform::MonotonicSeconds());
  }
  void Run(const PreparedFetch& fetch, std::FILE* out) {
    bool lost = RawLostDataFlag(fetch.raw);
    double now = platform::MonotonicSeconds();
    FeedHealth(health, fetch.processed, BoundedSampleCount(kRawBufferSlots), lost, 5.0, now);
    if (StatusDisplayDue(display, now)) {
      UpdateStatusDisplay(display, out, ReadHealth(health), now);
    }
  }
};

StatusRound& Status() {
  static StatusRound round;  // 64 KiB of revolution ring: static, as in the monitor
  return round;
}

void BM_StatusRound(benchmark::State& state) {
  PreparedFetch& fetch = Fetch();
  std::FILE* out = NullStream();
  std::uint64_t rounds = 0;
  for (auto _ : state) {
    Status().Run(fetch, out);
    ++rounds;
  }
  state.counters["ns_per_sample"] =
      benchmark::Counter(static_cast<double>(rounds) * kRawBufferSlots,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StatusRound);

std::uint64_t CountStatusRoundAllocations(int rounds) {
  PreparedFetch& fetch = Fetch();
  std::FILE* out = NullStream();
  Status().Run(fetch, out);
  std::uint64_t before = HeapAllocationCount();
  for (int i = 0; i < rounds; ++i) Status().Run(fetch, out);
  return HeapAllocationCount() - before;
}

// The floor: a plain loop that reads the same flags and does nothing else.
void BM_PlainFlagLoop(benchmark::State& state) {
  PreparedFetch& fetch = Fetch();
  std::uint64_t rounds = 0;
  for (auto _ : state) {
    int indexed = 0;
    for (int i = 0; i < kRawBufferSlots; ++i) indexed += IndexFlag(fetch.processed[i].flags);
    benchmark::DoNotOptimize(indexed);
    ++rounds;
  }
  state.counters["ns_per_sample"] =
      benchmark::Counter(static_cast<double>(rounds) * kRawBufferSlots,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlainFlagLoop);

int PlainFlagRound(const PreparedFetch& fetch) {
  int indexed = 0;
  for (int i = 0; i < kRawBufferSlots; ++i) indexed += IndexFlag(fetch.processed[i].flags);
  return indexed;
}

double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Median CPU cost of one round, in nanoseconds, over `runs` timed runs of
// `rounds` rounds each. CPU time of this thread, not the wall clock, so other
// work on a shared machine does not count; the median keeps a run that lost
// its caches to a neighbour out of the figure.
template <typename Round>
double MedianRoundNs(Round round, int runs, int rounds) {
  std::vector<double> costs;
  for (int r = 0; r < runs; ++r) {
    double start = ThreadCpuNs();
    for (int i = 0; i < rounds; ++i) round();
    costs.push_back((ThreadCpuNs() - start) / rounds);
  }
  std::sort(costs.begin(), costs.end());
  return costs[costs.size() / 2];
}

// The one line the issue of "does --status cost anything" is settled by.
void PrintRoundCosts() {
  constexpr int kRuns = 21;
  constexpr int kRounds = 2000;
  PreparedFetch& fetch = Fetch();
  std::FILE* out = NullStream();
  double plain =
      MedianRoundNs([&] { benchmark::DoNotOptimize(PlainFlagRound(fetch)); }, kRuns, kRounds);
  double without = MedianRoundNs(
      [&] {
        bool lost = RawLostDataFlag(fetch.raw);
        benchmark::DoNotOptimize(lost);
        PrintSampleRound(out, fetch.processed, BoundedSampleCount(kRawBufferSlots));
      },
      kRuns, kRounds);
  double with = MedianRoundNs([&] { Status().Run(fetch, out); }, kRuns, kRounds);
  std::printf(
      "round of %d samples, median CPU time of %d runs of %d rounds: plain flag loop %.0f ns; "
      "without "
      "the health module (angle lines) %.0f ns; with it (--status) %.0f ns; with/plain %.2f, "
      "with/without %.2f\n",
      kRawBufferSlots, kRuns, kRounds, plain, without, with, with / plain, with / without);
}

double Seconds(const timeval& t) {
  return t.tv_sec + t.tv_usec / 1e6;
}

// Runs scanmon against the paced stand-in at 200 kHz (5 us period) and reports
// the CPU time it used per second of sampling.
int MeasureCpuShare(int sampling_seconds) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("scanmon_bench_" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::copy(SCANMON_DEMO_DIR, folder, fs::copy_options::recursive);
  std::ofstream(folder / "properties.txt", std::ios::app) << "\nlaser_sample_period=5\n";

  int keys[2];
  if (pipe(keys) != 0) return 1;
  auto started = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    dup2(keys[0], STDIN_FILENO);
    close(keys[0]);
    close(keys[1]);
    if (chdir(folder.c_str()) != 0) _exit(126);
    std::FILE* sink = std::freopen("/dev/null", "w", stderr);
    (void)sink;
    sink = std::freopen("/dev/null", "w", stdout);
    (void)sink;
    setenv("HSIF_SIM_MODEL", "200", 1);
    execl(SCANMON_BINARY, SCANMON_BINARY, "capture.out", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(keys[0]);
  // The bring-up waits five seconds for the mirror before sampling starts.
  constexpr double kBringUpSeconds = 5.2;
  std::this_thread::sleep_for(std::chrono::duration<double>(kBringUpSeconds + sampling_seconds));
  ssize_t written = write(keys[1], "x", 1);
  (void)written;
  close(keys[1]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  fs::remove_all(folder);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("scanmon did not end cleanly (status %d)\n", status);
    return 1;
  }
  double cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  double sampling = wall - kBringUpSeconds;
  std::printf(
      "scanmon at 200 kHz (paced stand-in): %.3f s CPU (user %.3f, sys %.3f) over %.1f s "
      "of sampling: %.2f%% of one core\n",
      cpu, Seconds(usage.ru_utime), Seconds(usage.ru_stime), sampling, 100.0 * cpu / sampling);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool cpu_share = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-cpu-share") == 0) {
      cpu_share = false;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      --i;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  constexpr int kCountedRounds = 10000;
  PrintRoundCosts();
  std::printf(
      "heap allocations in %d rounds of %d samples: %llu without the health module, "
      "%llu with it\n",
      kCountedRounds, kRawBufferSlots,
      static_cast<unsigned long long>(CountRoundAllocations(kCountedRounds)),
      static_cast<unsigned long long>(CountStatusRoundAllocations(kCountedRounds)));
  if (!cpu_share) return 0;
  const char* seconds_text = std::getenv("SCANMON_BENCH_SECONDS");
  int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 10;
  if (seconds < 1 || seconds > 3600) seconds = 10;
  return MeasureCpuShare(seconds);
}
