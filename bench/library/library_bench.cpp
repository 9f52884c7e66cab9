// Scanner library benchmark: the library's sources against the stand-in
// driver and a capture file, printing figures (not a timed test: nothing here
// fails on a slow machine, only on wrong data).
//
//   1. Scanner source paced at 200 kHz (5 us, fetches of 5000), a reader
//      taking every block with its samples: CPU share of this process (user +
//      system over wall; the stand-in driver runs in it too), and the latency
//      from a fetch's return (the block's mono_ns) to the reader's return from
//      scanmon_read_block, median and 99th percentile.
//   2. The same with a ring of 1 s and a reader that stalls 2 s: the samples
//      dropped, checked against the stand-in's own sample numbers (each
//      block's first number less the first block's must equal its
//      first_sample), and the card's lost-data count (must stay 0).
//   3. Capture source unpaced: records per second reading a capture of
//      LIBRARY_BENCH_RECORDS records (default 2,000,000: 128 MB) in its
//      blocks, against a plain loop of read() of 1 MB over the same file,
//      medians of LIBRARY_BENCH_RUNS runs (default 3) side by side.
//
// Runs in the current folder (the capture file is written there and removed).
// LIBRARY_BENCH_SECONDS sets the paced length (default 10).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/demo_scanner.h"
#include "scanmon/scanmon.h"

namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <class T>
T Percentile(std::vector<T> values, double share) {
  if (values.empty()) return T{};
  std::sort(values.begin(), values.end());
  std::size_t at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
  return values[at];
}

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

std::uint32_t SampleNumber(const scanmon_sample& sample) {
  std::uint32_t number;
  std::memcpy(&number, reinterpret_cast<const unsigned char*>(&sample) + 4, sizeof number);
  return number;
}

scanmon_source* OpenScanner(int ring_ms) {
  scanmon_scanner_settings settings = DemoScannerSettings();
  settings.ring_ms = ring_ms;
  scanmon_source* source = nullptr;
  if (scanmon_open_scanner(&settings, &source) != SCANMON_OK) {
    std::fprintf(stderr, "library_bench: %s\n", scanmon_last_error());
    std::exit(1);
  }
  return source;
}

scanmon_health Health(scanmon_source* source) {
  scanmon_health health{};
  health.struct_size = sizeof health;
  scanmon_health_get(source, &health);
  return health;
}

void PacedReader(int seconds) {
  scanmon_source* source = OpenScanner(1000);
  std::vector<scanmon_sample> samples(5000);
  std::vector<double> latency_us;
  latency_us.reserve(static_cast<std::size_t>(seconds) * 50);
  const double cpu0 = CpuSeconds();
  const std::int64_t start = NowNs();
  std::uint64_t read = 0;
  std::uint64_t gaps = 0;
  std::uint32_t expected = 0;
  while (NowNs() - start < static_cast<std::int64_t>(seconds) * 1000000000) {
    scanmon_block block{};
    int status = scanmon_read_block(source, 2000, &block, samples.data(), nullptr, 5000);
    const std::int64_t now = NowNs();
    if (status != SCANMON_OK) {
      std::fprintf(stderr, "library_bench: %s\n", scanmon_last_error());
      break;
    }
    latency_us.push_back(static_cast<double>(now - block.mono_ns) / 1000.0);
    if (read > 0 && SampleNumber(samples[0]) != expected) ++gaps;
    expected = SampleNumber(samples[block.count - 1]) + 1;
    read += block.count;
  }
  const double wall = static_cast<double>(NowNs() - start) * 1e-9;
  const double cpu = CpuSeconds() - cpu0;
  scanmon_health health = Health(source);
  scanmon_close(source);
  std::printf("1. scanner source, 200 kHz, every block read, %d s:\n", seconds);
  std::printf("   samples read %llu (%.0f/s), gaps %llu, dropped %llu, card lost-data %llu\n",
              static_cast<unsigned long long>(read), read / wall,
              static_cast<unsigned long long>(gaps),
              static_cast<unsigned long long>(health.samples_dropped),
              static_cast<unsigned long long>(health.lost_events));
  std::printf("   CPU share %.1f %% of a core (user+system over wall, stand-in included)\n",
              100.0 * cpu / wall);
  std::printf("   latency fetch return -> reader: median %.0f us, p99 %.0f us (%zu blocks)\n",
              Percentile(latency_us, 0.5), Percentile(latency_us, 0.99), latency_us.size());
}

void StalledReader() {
  scanmon_source* source = OpenScanner(1000);
  std::vector<scanmon_sample> samples(5000);
  scanmon_block block{};
  scanmon_read_block(source, 5000, &block, samples.data(), nullptr, 5000);
  const std::uint32_t first_number =
      SampleNumber(samples[0]) - static_cast<std::uint32_t>(block.first_sample);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::uint64_t dropped = 0;
  std::uint64_t mismatches = 0;
  std::uint64_t expected_next = block.first_sample + block.count;
  std::uint64_t gap_by_numbers = 0;
  // Read on for another second after the stall: the backlog, then fresh blocks.
  const std::int64_t until = NowNs() + 1500000000;
  while (NowNs() < until) {
    if (scanmon_read_block(source, 2000, &block, samples.data(), nullptr, 5000) != SCANMON_OK) {
      break;
    }
    const std::uint32_t number = SampleNumber(samples[0]);
    if (number - first_number != static_cast<std::uint32_t>(block.first_sample)) ++mismatches;
    gap_by_numbers += block.first_sample - expected_next;
    dropped += block.dropped_before;
    expected_next = block.first_sample + block.count;
  }
  scanmon_health health = Health(source);
  scanmon_close(source);
  std::printf("2. scanner source, 200 kHz, ring 1 s, reader stalled 2 s:\n");
  std::printf(
      "   dropped: blocks say %llu, sample numbers say %llu, library counted %llu "
      "(%llu episode(s)); number mismatches %llu\n",
      static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(gap_by_numbers),
      static_cast<unsigned long long>(health.samples_dropped),
      static_cast<unsigned long long>(health.drop_events),
      static_cast<unsigned long long>(mismatches));
  std::printf("   card lost-data events %llu; ring peak %llu of %llu samples\n",
              static_cast<unsigned long long>(health.lost_events),
              static_cast<unsigned long long>(health.ring_peak_samples),
              static_cast<unsigned long long>(health.ring_samples));
}

void CaptureRead(int runs) {
  const std::uint32_t records =
      static_cast<std::uint32_t>(EnvInt("LIBRARY_BENCH_RECORDS", 2000000));
  const std::string base = "library_bench_capture";
  {
    std::ofstream out(base + ".prc", std::ios::binary);
    std::string header(293, '\0');
    const std::uint32_t fields[] = {3, 5, 1200, 5000, records, 4096, 200, 0};
    std::memcpy(&header[0], fields, sizeof fields);
    std::memcpy(&header[36], "ar4000_demo.cal", 15);
    header[34] = 1;  // COM1
    header[292] = 1;
    out << header;
    std::vector<unsigned char> chunk(64 * 5000, 0);
    for (std::uint32_t done = 0; done < records; done += 5000) {
      const std::uint32_t n = std::min<std::uint32_t>(5000, records - done);
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t number = done + i;
        std::memcpy(&chunk[i * 64 + 4], &number, 4);
      }
      out.write(reinterpret_cast<const char*>(chunk.data()), n * 64);
    }
  }
  std::vector<double> library_rates;
  std::vector<double> read_rates;
  std::vector<unsigned char> buffer(1 << 20);
  std::vector<scanmon_sample> samples(5000);
  for (int run = 0; run < runs; ++run) {
    std::int64_t start = NowNs();
    int fd = open((base + ".prc").c_str(), O_RDONLY);
    std::uint64_t bytes = 0;
    for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;)
      bytes += static_cast<std::uint64_t>(got);
    close(fd);
    read_rates.push_back(static_cast<double>(bytes - 293) / 64 /
                         (static_cast<double>(NowNs() - start) * 1e-9));

    start = NowNs();
    scanmon_source* source = nullptr;
    if (scanmon_open_capture(base.c_str(), nullptr, &source) != SCANMON_OK) {
      std::fprintf(stderr, "library_bench: %s\n", scanmon_last_error());
      break;
    }
    std::uint64_t read_records = 0;
    scanmon_block block{};
    while (scanmon_read_block(source, 0, &block, samples.data(), nullptr, 5000) == SCANMON_OK) {
      read_records += block.count;
    }
    scanmon_close(source);
    library_rates.push_back(static_cast<double>(read_records) /
                            (static_cast<double>(NowNs() - start) * 1e-9));
    if (read_records != records)
      std::printf("   run %d: read %llu records of %u\n", run,
                  static_cast<unsigned long long>(read_records), records);
  }
  std::remove((base + ".prc").c_str());
  const double library = Percentile(library_rates, 0.5);
  const double plain = Percentile(read_rates, 0.5);
  std::printf("3. capture source unpaced, %u records (%u MB), median of %d:\n", records,
              static_cast<unsigned>(records * 64ull >> 20), runs);
  std::printf("   library %.1f M records/s | plain read() 1 MB %.1f M records/s | ratio %.2f\n",
              library / 1e6, plain / 1e6, plain > 0 ? library / plain : 0.0);
}

}  // namespace

int main() {
  setenv("HSIF_SIM_LOG", "", 1);
  PacedReader(EnvInt("LIBRARY_BENCH_SECONDS", 10));
  StalledReader();
  CaptureRead(EnvInt("LIBRARY_BENCH_RUNS", 3));
  return 0;
}
