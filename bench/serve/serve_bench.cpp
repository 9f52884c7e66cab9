// scanmon-serve's figures, printed: the stand-in scanner at 200 kHz (5 us, fetches
// of 1000 samples: 200 blocks a second) served on the loopback to 1, 4 and 16
// readers (threads of this program, each with the library's remote source):
//   - samples each reader lost (the most of any reader, and the sum);
//   - the server's CPU share (its user + system time over the wall clock, from
//     /proc, stand-in included: it runs in the server's process);
//   - the latency from the fetch's return in the server (the block's mono_ns)
//     to the block's arrival in a reader (this process's CLOCK_MONOTONIC, the
//     same clock on one machine): median and 99th percentile over all readers.
// Then four readers, one of which stops reading for 5 s: what the other three
// lost (the aim: nothing) and what the stalled one lost. Last, four readers
// side by side without and with the status page open in headless Chromium
// (Debian's, when installed; it polls as any browser does) and /metrics
// scraped every second: the server's CPU share and the readers' losses of
// each.
//
//   serve_bench [SECONDS]   (default 10 per run)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "scanmon/scanmon.h"

namespace {

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double CpuSeconds(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  char text[2048] = {};
  std::size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  const char* p = std::strrchr(text, ')');
  if (p == nullptr) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state is 3rd; utime and stime are the 14th and 15th.
  std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ServerProcess {
  pid_t pid = -1;
  int port = 0;
  int http_port = 0;
  std::string folder;
};

ServerProcess StartServer() {
  ServerProcess s;
  char folder[] = "/tmp/serve-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return s;
  s.folder = folder;
  std::string cal = std::string(SCANMON_DEMO_DIR) + "/ar4000_demo.cal";
  std::string copy = "cp '" + cal + "' '" + s.folder + "/'";
  if (std::system(copy.c_str()) != 0) return s;
  std::FILE* cfg = std::fopen((s.folder + "/scan.cfg").c_str(), "w");
  std::fputs(
      "3\n1\n0\n5\n1200\n1000\n100000\n200\n100\n4096\n200\nar4000_demo.cal\nunused\n0\n0\n0\n",
      cfg);
  std::fclose(cfg);
  int out[2];
  if (pipe(out) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    if (chdir(s.folder.c_str()) != 0) _exit(127);
    dup2(out[1], 1);
    close(out[0]);
    std::freopen("/dev/null", "r", stdin);
    std::freopen("/dev/null", "w", stderr);
    setenv("HSIF_SIM_MIRROR_WANDER", "0", 1);
    execl(SCANMON_SERVE_PATH, "scanmon-serve", "--listen", "127.0.0.1:0", "--max-readers", "32",
          "--http", "127.0.0.1:0", "scan.cfg", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::FILE* in = fdopen(out[0], "r");
  char line[512];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    const char* http = std::strstr(line, "Listening for HTTP on 127.0.0.1:");
    if (http != nullptr) {
      s.http_port = std::atoi(http + std::strlen("Listening for HTTP on 127.0.0.1:"));
      continue;
    }
    const char* at = std::strstr(line, "Listening on 127.0.0.1:");
    if (at != nullptr) {
      s.port = std::atoi(at + std::strlen("Listening on 127.0.0.1:"));
      break;
    }
  }
  // The rest of its output is not needed; a thread keeps the pipe drained.
  std::thread([in] {
    char sink[512];
    while (std::fgets(sink, sizeof sink, in) != nullptr) {
    }
    std::fclose(in);
  }).detach();
  return s;
}

void StopServer(ServerProcess& s) {
  if (s.pid > 0) {
    kill(s.pid, SIGTERM);
    int status = 0;
    waitpid(s.pid, &status, 0);
  }
  std::string remove = "rm -rf '" + s.folder + "'";
  if (std::system(remove.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", s.folder.c_str());
}

struct ReaderResult {
  std::uint64_t samples = 0;
  std::uint64_t lost = 0;
  std::vector<std::int64_t> latencies;  // reserved before the run
  bool failed = false;
};

void ReadFor(int port, double seconds, double stall_at, double stall_s, ReaderResult* r) {
  scanmon_source* source = nullptr;
  if (scanmon_open_remote("127.0.0.1", static_cast<std::uint16_t>(port), nullptr, &source) != 0) {
    std::fprintf(stderr, "open: %s\n", scanmon_last_error());
    r->failed = true;
    return;
  }
  std::vector<scanmon_sample> samples(30000);
  const std::int64_t start = NowNs();
  const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
  bool stalled = stall_s <= 0;
  bool first = true;
  while (NowNs() < end) {
    if (!stalled && NowNs() - start >= static_cast<std::int64_t>(stall_at * 1e9)) {
      stalled = true;
      usleep(static_cast<useconds_t>(stall_s * 1e6));
    }
    scanmon_block block;
    const int status = scanmon_read_block(source, 1000, &block, samples.data(), nullptr, 30000);
    const std::int64_t arrived = NowNs();
    if (status == SCANMON_TIMEOUT) continue;
    if (status != SCANMON_OK) {
      std::fprintf(stderr, "read: %s\n", scanmon_last_error());
      r->failed = true;
      break;
    }
    if (!first) r->lost += block.dropped_before;  // the first block's count is the server's past
    first = false;
    r->samples += block.count;
    if (r->latencies.size() < r->latencies.capacity())
      r->latencies.push_back(arrived - block.mono_ns);
  }
  scanmon_close(source);
}

struct RunFigures {
  std::uint64_t most_lost = 0, total_lost = 0, samples = 0;
  double cpu_share = 0, median_ms = 0, p99_ms = 0;
  bool failed = false;
};

// GET /metrics once a second until *stop, as a Prometheus scraper does.
void Scrape(int port, const std::atomic<bool>* stop, int* answered) {
  while (!stop->load()) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
      const char request[] =
          "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
      if (send(s, request, sizeof request - 1, 0) > 0) {
        char sink[4096];
        bool any = false;
        while (recv(s, sink, sizeof sink, 0) > 0) any = true;
        *answered += any ? 1 : 0;
      }
    }
    if (s >= 0) close(s);
    for (int i = 0; i < 10 && !stop->load(); ++i) usleep(100000);
  }
}

// The page open in headless Chromium until killed (its own profile folder).
pid_t OpenPage(int http_port, const std::string& folder) {
  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    const std::string profile = "--user-data-dir=" + folder + "/chromium";
    const std::string url = "http://127.0.0.1:" + std::to_string(http_port) + "/";
    execl(chromium, "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--remote-debugging-port=0", profile.c_str(), url.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

struct Watchers {
  bool page = false;     // the page open in Chromium
  bool scraped = false;  // /metrics every second
  bool page_opened = false;
  int scrapes = 0;
};

RunFigures Run(int readers, double seconds, int stalled_reader, std::vector<ReaderResult>* out,
               Watchers* watchers = nullptr) {
  RunFigures f;
  ServerProcess server = StartServer();
  if (server.port == 0) {
    std::fprintf(stderr, "the server did not start\n");
    f.failed = true;
    StopServer(server);
    return f;
  }
  usleep(300000);  // the bring-up's last steps
  pid_t page = -1;
  std::atomic<bool> stop_scraping{false};
  std::thread scraper;
  if (watchers != nullptr && watchers->page && server.http_port > 0) {
    page = OpenPage(server.http_port, server.folder);
    watchers->page_opened = page > 0;
    sleep(2);  // the browser's start, not counted
  }
  if (watchers != nullptr && watchers->scraped && server.http_port > 0) {
    scraper = std::thread(Scrape, server.http_port, &stop_scraping, &watchers->scrapes);
  }
  std::vector<ReaderResult> results(static_cast<std::size_t>(readers));
  for (auto& r : results) r.latencies.reserve(static_cast<std::size_t>(seconds * 400));
  const double cpu0 = CpuSeconds(server.pid);
  const std::int64_t wall0 = NowNs();
  std::vector<std::thread> threads;
  for (int i = 0; i < readers; ++i) {
    const bool stall = i == stalled_reader;
    threads.emplace_back(ReadFor, server.port, seconds, stall ? 2.0 : 0.0, stall ? 5.0 : 0.0,
                         &results[static_cast<std::size_t>(i)]);
  }
  for (auto& t : threads) t.join();
  const double cpu1 = CpuSeconds(server.pid);
  const double wall = static_cast<double>(NowNs() - wall0) * 1e-9;
  stop_scraping.store(true);
  if (scraper.joinable()) scraper.join();
  if (page > 0) {
    kill(page, SIGTERM);
    int status = 0;
    waitpid(page, &status, 0);
  }
  StopServer(server);
  std::vector<std::int64_t> all;
  for (auto& r : results) {
    f.failed = f.failed || r.failed;
    f.most_lost = std::max(f.most_lost, r.lost);
    f.total_lost += r.lost;
    f.samples += r.samples;
    all.insert(all.end(), r.latencies.begin(), r.latencies.end());
  }
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    f.median_ms = static_cast<double>(all[all.size() / 2]) * 1e-6;
    f.p99_ms = static_cast<double>(all[std::min(all.size() - 1, all.size() * 99 / 100)]) * 1e-6;
  }
  f.cpu_share = (cpu1 - cpu0) / wall;
  if (out != nullptr) *out = std::move(results);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (!(seconds >= 1 && seconds <= 600)) {
    std::fprintf(stderr, "usage: serve_bench [SECONDS 1..600]\n");
    return 2;
  }
  std::printf("scanmon-serve at 200 kHz (stand-in, fetches of 1000), loopback, %.0f s a run\n",
              seconds);
  std::printf("%8s %14s %14s %12s %12s %12s %14s\n", "readers", "most lost", "all lost",
              "server CPU", "latency p50", "latency p99", "samples read");
  bool failed = false;
  for (int readers : {1, 4, 16}) {
    RunFigures f = Run(readers, seconds, -1, nullptr);
    failed = failed || f.failed;
    std::printf("%8d %14llu %14llu %11.1f%% %9.3f ms %9.3f ms %14llu\n", readers,
                static_cast<unsigned long long>(f.most_lost),
                static_cast<unsigned long long>(f.total_lost), 100.0 * f.cpu_share, f.median_ms,
                f.p99_ms, static_cast<unsigned long long>(f.samples));
  }
  const double stall_run = seconds < 9 ? 9 : seconds;
  std::vector<ReaderResult> results;
  RunFigures f = Run(4, stall_run, 0, &results);
  failed = failed || f.failed;
  std::printf(
      "4 readers, reader 1 stalled 5 s (from 2 s, %.0f s run): lost by the stalled one "
      "%llu; by the other three %llu, %llu, %llu\n",
      stall_run, static_cast<unsigned long long>(results.size() > 0 ? results[0].lost : 0),
      static_cast<unsigned long long>(results.size() > 1 ? results[1].lost : 0),
      static_cast<unsigned long long>(results.size() > 2 ? results[2].lost : 0),
      static_cast<unsigned long long>(results.size() > 3 ? results[3].lost : 0));
  // Without and with the page and a scraper, one after the other in this
  // run (the same machine's load for both).
  std::printf("4 readers, %.0f s each:\n", seconds);
  for (const bool watched : {false, true}) {
    Watchers w;
    w.page = w.scraped = watched;
    std::vector<ReaderResult> four;
    RunFigures g = Run(4, seconds, -1, &four, &w);
    failed = failed || g.failed;
    std::printf("  %-40s server CPU %5.1f%%, lost by the readers %llu, %llu, %llu, %llu\n",
                !watched        ? "no page, no scraper:"
                : w.page_opened ? "the page open in Chromium, /metrics 1/s:"
                                : "no Chromium; /metrics 1/s:",
                100.0 * g.cpu_share,
                static_cast<unsigned long long>(four.size() > 0 ? four[0].lost : 0),
                static_cast<unsigned long long>(four.size() > 1 ? four[1].lost : 0),
                static_cast<unsigned long long>(four.size() > 2 ? four[2].lost : 0),
                static_cast<unsigned long long>(four.size() > 3 ? four[3].lost : 0));
    if (watched) std::printf("  (/metrics answered %d times)\n", w.scrapes);
  }
  return failed ? 1 : 0;
}
