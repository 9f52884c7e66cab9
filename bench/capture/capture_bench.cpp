// Capture recorder benchmark: runs the real capture-record against the
// stand-in driver and prints figures (not a timed test; nothing here fails on a
// slow machine, only on a wrong recording).
//
//   1. Paced 200 kHz (5 us) for 20 s: samples recorded against configured,
//      gaps in the .prc sample numbers, CPU share (user + system over wall, of
//      the recorder's process, the stand-in included), peak resident memory.
//   2. The same with the writer stalled 1.5 s once every 32 rounds (32 MB of
//      .prc, 2.6 s of data): the ring must hold, 0 lost.
//   3. Unpaced: capture-record end to end, and the recording path alone (ring,
//      writer thread, block writes, in this process), each against a plain
//      loop of write() of 1 MB blocks of the same total into the same folder.
//   4. Heap allocations per fetch: a malloc counter preloaded into two
//      recordings of different length; the difference over the fetches.
//
// Runs in the current folder (the disk being measured). Medians over
// CAPTURE_BENCH_RUNS runs (default 3); CAPTURE_BENCH_SECONDS sets the paced
// length (default 20). CAPTURE_BENCH_BASELINE names another capture-record
// (an older build) to run the paced recording side by side with.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "record/capture_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kHeaderBytes = 293;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

struct Recording {
  int status = -1;
  double wall_s = 0;
  double cpu_s = 0;
  long max_rss_kb = 0;
  std::uint64_t records = 0;
  std::uint64_t gaps = 0;
  std::string out;
};

void WriteConfig(const fs::path& folder, unsigned buffer, std::uint64_t samples) {
  std::ofstream(folder / "bench.cfg")
      << "3\n1\n0\n5\n1200\n"
      << buffer << "\n"
      << samples << "\n200\n100\n4096\n200\nar4000_demo.cal\nbench\n0\n0\n1\n";
}

// The .prc's records and the gaps in their sample numbers, read in 1 MB pieces.
void CheckPrc(const fs::path& path, Recording* r) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;
  std::vector<unsigned char> buffer(1 << 20);
  std::fseek(file, kHeaderBytes, SEEK_SET);
  std::uint32_t last = 0;
  bool first = true;
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (std::size_t at = 0; at + 64 <= got; at += 64) {
      std::uint32_t number = 0;
      std::memcpy(&number, buffer.data() + at + 4, 4);
      if (!first && number != last + 1) ++r->gaps;
      first = false;
      last = number;
      ++r->records;
    }
  }
  std::fclose(file);
}

// Runs capture-record in `folder` with extra environment; waits for it with its
// resource use.
Recording Record(const fs::path& folder, const std::vector<std::string>& environment,
                 const char* program = CAPTURE_RECORD_EXE) {
  fs::remove(folder / "bench.prc");
  fs::remove(folder / "bench.raw");
  fs::path out_path = folder / "bench.out";
  Recording r;
  double start = Now();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(out, 1);
    dup2(out, 2);
    for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    execl(program, "capture-record", "--force", "bench.cfg", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  r.wall_s = Now() - start;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.max_rss_kb = usage.ru_maxrss;
  std::ifstream in(out_path);
  r.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  CheckPrc(folder / "bench.prc", &r);
  return r;
}

std::string SummaryLine(const std::string& out, const char* start) {
  std::size_t at = out.find(start);
  if (at == std::string::npos) return "(none)";
  return out.substr(at, out.find('\n', at) - at);
}

// The recording path alone: `total` bytes of .prc and a quarter as much .raw
// through a CaptureWriter, offered as 1000-sample fetches as fast as the
// rings take them. Returns MB/s of file bytes.
double WriterPath(const fs::path& folder, std::uint64_t samples) {
  static std::vector<unsigned char> processed(1000 * 64, 0x5a);
  static std::vector<unsigned char> raw(1000 * 16, 0xa5);
  std::string prc = (folder / "path.prc").string(), rawp = (folder / "path.raw").string();
  std::string idx = (folder / "path.idx").string();
  CaptureWriterSettings settings;
  settings.files[0] = {prc.c_str(), kProcessedRecordBytes};
  settings.files[1] = {rawp.c_str(), kRawRecordBytes};
  settings.ring_bytes = 48u << 20;
  settings.overwrite = true;
  settings.index_path = idx.c_str();
  CaptureWriter writer;
  if (!writer.MakeRings(settings)) return 0;
  CaptureHeader header{};
  double start = Now();
  if (!writer.Open(header)) return 0;
  BlockRecord block{};
  for (std::uint64_t done = 0; done < samples;) {
    block.first_sample = block.first_record = done;
    block.count = 1000;
    if (writer.Append(processed.data(), raw.data(), 1000, block)) {
      ++block.sequence;
      done += 1000;
    } else {
      // As a card's fetch would: wait for samples rather than spin against
      // the writer thread for the CPU.
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  bool ok = false;
  writer.Finish(&ok);
  double seconds = Now() - start;
  double bytes = static_cast<double>(fs::file_size(prc) + fs::file_size(rawp));
  std::printf("  path: %u syncs (about one a second and the end) took %.3f s of %.3f s\n",
              writer.Syncs(), writer.SyncSeconds(), seconds);
  fs::remove(prc);
  fs::remove(rawp);
  fs::remove(idx);
  return ok ? bytes / seconds / 1e6 : 0;
}

// The same bytes with a plain write() loop of 1 MB blocks into one file.
double PlainWrites(const fs::path& folder, std::uint64_t bytes) {
  static std::vector<unsigned char> block(1 << 20, 0x3c);
  fs::path path = folder / "plain.bin";
  double start = Now();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (std::uint64_t done = 0; done < bytes;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - done));
    ssize_t put = write(fd, block.data(), n);
    if (put <= 0) break;
    done += static_cast<std::uint64_t>(put);
  }
  close(fd);
  double seconds = Now() - start;
  fs::remove(path);
  return static_cast<double>(bytes) / seconds / 1e6;
}

// Starts a timed phase from a quiet disk: the last recording's files removed
// and the file system's dirty data written out, so no phase pays for the
// write-back of the one before.
void Settle(const fs::path& folder) {
  fs::remove(folder / "bench.prc");
  fs::remove(folder / "bench.raw");
  fs::remove(folder / "bench.idx");
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    syncfs(fd);
    close(fd);
  }
}

std::uint64_t ReadCount(const fs::path& path) {
  std::ifstream in(path);
  std::uint64_t count = 0;
  in >> count;
  return count;
}

}  // namespace

int main() {
  const int runs = EnvInt("CAPTURE_BENCH_RUNS", 3);
  const int seconds = EnvInt("CAPTURE_BENCH_SECONDS", 20);
  const fs::path folder = fs::absolute("capture-bench-" + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::copy_file(fs::path(SCANMON_DEMO_DIR) / "ar4000_demo.cal", folder / "ar4000_demo.cal");
  bool wrong = false;
  std::printf("capture-record benchmark in %s, %d run(s) each\n", folder.c_str(), runs);

  // 1. Paced.
  const std::uint64_t paced_samples = 200000ull * seconds;
  WriteConfig(folder, 5000, paced_samples);
  std::vector<double> shares;
  long rss = 0;
  for (int i = 0; i < runs; ++i) {
    Recording r = Record(folder, {});
    shares.push_back(r.cpu_s / r.wall_s);
    rss = std::max(rss, r.max_rss_kb);
    std::printf(
        "paced 200 kHz %d s: status %d, %llu of %llu samples, %llu gaps, CPU %.1f%% "
        "(%.2f s of %.2f s), peak RSS %ld kB; %s; %s\n",
        seconds, r.status, static_cast<unsigned long long>(r.records),
        static_cast<unsigned long long>(paced_samples), static_cast<unsigned long long>(r.gaps),
        100 * r.cpu_s / r.wall_s, r.cpu_s, r.wall_s, r.max_rss_kb,
        SummaryLine(r.out, "Ring:").c_str(), SummaryLine(r.out, "Syncs").c_str());
    wrong = wrong || r.status != 0 || r.records != paced_samples || r.gaps != 0;
  }
  std::printf("PACED: median CPU share %.1f%%, peak RSS %ld kB\n", 100 * Median(shares), rss);

  // 1b. Side by side with another build of capture-record (an older one, to
  // see that a change did not make the recorder dearer): the paced recording
  // alternately with each, so that both meet the same machine.
  if (const char* baseline = std::getenv("CAPTURE_BENCH_BASELINE")) {
    std::vector<double> base_shares, new_shares;
    long base_rss = 0, new_rss = 0;
    for (int i = 0; i < runs; ++i) {
      Recording b = Record(folder, {}, baseline);
      Recording n = Record(folder, {});
      base_shares.push_back(b.cpu_s / b.wall_s);
      new_shares.push_back(n.cpu_s / n.wall_s);
      base_rss = std::max(base_rss, b.max_rss_kb);
      new_rss = std::max(new_rss, n.max_rss_kb);
      std::printf(
          "side by side %d: baseline CPU %.2f%% RSS %ld kB status %d; this build CPU "
          "%.2f%% RSS %ld kB status %d\n",
          i + 1, 100 * b.cpu_s / b.wall_s, b.max_rss_kb, b.status, 100 * n.cpu_s / n.wall_s,
          n.max_rss_kb, n.status);
      wrong = wrong || n.status != 0 || n.records != paced_samples || n.gaps != 0;
    }
    const double base_share = Median(base_shares), new_share = Median(new_shares);
    std::printf(
        "SIDE BY SIDE (%s): median CPU share %.2f%% against %.2f%% (ratio %.2f), peak RSS "
        "%ld kB against %ld kB (ratio %.2f)\n",
        baseline, 100 * new_share, 100 * base_share, base_share > 0 ? new_share / base_share : 0.0,
        new_rss, base_rss,
        base_rss > 0 ? static_cast<double>(new_rss) / static_cast<double>(base_rss) : 0.0);
  }

  // 2. Stalled writer.
  Recording stalled =
      Record(folder, {"SCANMON_RECORD_STALL_MS=1500", "SCANMON_RECORD_STALL_EVERY=32"});
  std::printf(
      "STALLED writer (1.5 s every 32 rounds) 200 kHz %d s: status %d, %llu of %llu "
      "samples, %llu gaps; %s; %s\n",
      seconds, stalled.status, static_cast<unsigned long long>(stalled.records),
      static_cast<unsigned long long>(paced_samples), static_cast<unsigned long long>(stalled.gaps),
      SummaryLine(stalled.out, "Ring:").c_str(), SummaryLine(stalled.out, "Syncs").c_str());
  wrong = wrong || stalled.status != 0 || stalled.gaps != 0;

  // 3. Unpaced: per run, the recording path, capture-record end to end (the
  // difference of a long and a short recording, so the bring-up drops out),
  // and plain writes of the same 320 MB, one after the other in this folder.
  const std::uint64_t delta_samples = 4000000;  // 256 MB of .prc, 64 MB of .raw
  const std::uint64_t e2e_small = 100000, e2e_large = e2e_small + delta_samples;
  std::vector<double> path_rates, e2e_rates, plain_rates, path_ratios, e2e_ratios;
  for (int i = 0; i < runs; ++i) {
    Settle(folder);
    double path = WriterPath(folder, delta_samples);
    WriteConfig(folder, 30000, e2e_small);
    Settle(folder);
    Recording small = Record(folder, {"HSIF_SIM_UNPACED=1"});
    WriteConfig(folder, 30000, e2e_large);
    Settle(folder);
    Recording large = Record(folder, {"HSIF_SIM_UNPACED=1"});
    Settle(folder);
    double e2e = static_cast<double>(delta_samples) * 80 / 1e6 / (large.wall_s - small.wall_s);
    double plain = PlainWrites(folder, delta_samples * 80);
    path_rates.push_back(path);
    e2e_rates.push_back(e2e);
    plain_rates.push_back(plain);
    path_ratios.push_back(path / plain);
    e2e_ratios.push_back(e2e / plain);
    std::printf(
        "unpaced: path %.0f MB/s, capture-record %.0f MB/s (status %d, %llu gaps where "
        "the ring was full), plain write() %.0f MB/s: ratios %.2f and %.2f\n",
        path, e2e, large.status, static_cast<unsigned long long>(large.gaps), plain, path / plain,
        e2e / plain);
    // A card that delivers faster than the disk takes loses what the ring
    // cannot hold (status 5): counted, not wrong.
    wrong = wrong || (large.status != 0 && large.status != 5) || large.records == 0;
  }
  std::printf(
      "UNPACED: median path %.0f MB/s, capture-record %.0f MB/s, plain write() %.0f MB/s; "
      "median ratios: path %.2f, capture-record %.2f\n",
      Median(path_rates), Median(e2e_rates), Median(plain_rates), Median(path_ratios),
      Median(e2e_ratios));

  // 4. Allocations per fetch.
  const std::string counter = "CAPTURE_BENCH_MALLOC_OUT=" + (folder / "mallocs").string();
  const std::string preload = std::string("LD_PRELOAD=") + MALLOC_PRELOAD_LIB;
  std::uint64_t counts[2] = {};
  const std::uint64_t fetches[2] = {100, 1100};
  for (int i = 0; i < 2; ++i) {
    WriteConfig(folder, 1000, fetches[i] * 1000);
    Recording r = Record(folder, {"HSIF_SIM_UNPACED=1", preload, counter});
    counts[i] = ReadCount(folder / "mallocs");
    wrong = wrong || r.status != 0;
  }
  double per_fetch = (static_cast<double>(counts[1]) - static_cast<double>(counts[0])) /
                     static_cast<double>(fetches[1] - fetches[0]);
  std::printf("ALLOCATIONS: %llu in %llu fetches, %llu in %llu: %.3f per fetch\n",
              static_cast<unsigned long long>(counts[0]),
              static_cast<unsigned long long>(fetches[0]),
              static_cast<unsigned long long>(counts[1]),
              static_cast<unsigned long long>(fetches[1]), per_fetch);
  wrong = wrong || per_fetch != 0;

  fs::remove_all(folder);
  if (wrong) std::printf("WRONG: a recording lost samples, failed or allocated per fetch\n");
  return wrong ? 1 : 0;
}
