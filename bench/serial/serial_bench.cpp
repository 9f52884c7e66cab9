// Throughput of AsciiReadLine and ReadPort over a pseudo-terminal, with the
// far end writing at the pace of a real line (10 bit times a byte, 8N1). Each
// run checks every byte for content and count, and prints the median of the
// runs and its ratio to the offered rate. A last, unpaced row shows the
// ceiling of each read on this machine.
//
//   serial_bench [seconds per run (default 1)] [runs (default 5)]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/port_names_linux.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kComNumber = 61;
constexpr int kLineBytes = 64;  // 62 characters, CR, LF

// Line `index` of the test text: its number, then characters that change
// with it, then CR LF.
std::string LineText(unsigned index) {
  char head[16];
  std::snprintf(head, sizeof head, "L%08u ", index);
  std::string line = head;
  while (line.size() < kLineBytes - 2) line += static_cast<char>('A' + (index + line.size()) % 26);
  return line + "\r\n";
}

// Writes `total` bytes of test text to the master side, never ahead of the
// line rate (bytes_per_second 0: as fast as the line takes them).
void WritePaced(int master, double bytes_per_second, std::size_t total) {
  std::string text;
  for (unsigned i = 0; text.size() < total; ++i) text += LineText(i);
  std::size_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (sent < total) {
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::size_t due = bytes_per_second <= 0
                          ? total
                          : std::min<std::size_t>(
                                total, static_cast<std::size_t>(elapsed * bytes_per_second) + 1);
    while (sent < due) {
      ssize_t put = write(master, text.data() + sent, due - sent);
      if (put <= 0) return;
      sent += static_cast<std::size_t>(put);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

struct Run {
  double seconds = 0;
  std::size_t bytes = 0;
  bool intact = false;
};

enum class Mode { kLine, kCounted };

Run ReadRun(Mode mode, int rate, double seconds) {
  Run run;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  std::string binding = "COM" + std::to_string(kComNumber) + "=" + ptsname(master);
  setenv(platform_linux::kComportsVariable, binding.c_str(), 1);
  SerialPort port{};
  if (OpenPort(&port, rate > 0 ? rate : 921600, kComNumber) == 0) {
    close(master);
    return run;
  }
  // Unpaced runs carry as much text as a 921600 bit/s line would.
  const double bytes_per_second = rate / 10.0;
  const double volume = (rate > 0 ? bytes_per_second : 92160.0) * seconds;
  const std::size_t lines = std::max<std::size_t>(1, static_cast<std::size_t>(volume / kLineBytes));
  const std::size_t total = lines * kLineBytes;

  const Clock::time_point start = Clock::now();
  std::thread writer(WritePaced, master, bytes_per_second, total);
  bool intact = true;
  std::size_t received = 0;
  if (mode == Mode::kLine) {
    char buffer[128];
    for (unsigned i = 0; i < lines && intact; ++i) {
      int kept = AsciiReadLine(&port, buffer, sizeof buffer, 1, 2000);
      std::string expected = LineText(i).substr(0, kLineBytes - 2);
      intact = kept == kLineBytes - 2 && std::memcmp(buffer, expected.data(), expected.size()) == 0;
      received += kLineBytes;
    }
  } else {
    std::string expected;
    for (unsigned i = 0; i < lines; ++i) expected += LineText(i);
    std::vector<char> buffer(4096);
    int silent_rounds = 0;
    while (received < total && intact && silent_rounds < 200) {
      int got = ReadPort(&port, buffer.data(), static_cast<std::uint32_t>(buffer.size()), 0);
      if (got <= 0) {
        ++silent_rounds;
        continue;
      }
      silent_rounds = 0;
      intact = received + got <= total &&
               std::memcmp(buffer.data(), expected.data() + received, got) == 0;
      received += static_cast<std::size_t>(got);
    }
    intact = intact && received == total;
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  ClosePort(&port);
  close(master);
  run.bytes = received;
  run.intact = intact;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::printf("%-14s %8s %12s %12s %7s %s\n", "read", "bit/s", "offered B/s", "median B/s", "ratio",
              "bytes checked");
  int status = 0;
  for (Mode mode : {Mode::kLine, Mode::kCounted}) {
    for (int rate : {115200, 921600, 0}) {
      std::vector<double> rates;
      std::size_t checked = 0;
      bool intact = true;
      for (int r = 0; r < runs; ++r) {
        Run run = ReadRun(mode, rate, seconds);
        intact = intact && run.intact;
        checked += run.bytes;
        rates.push_back(run.seconds > 0 ? run.bytes / run.seconds : 0);
      }
      std::sort(rates.begin(), rates.end());
      const double median = rates[rates.size() / 2];
      const char* name = mode == Mode::kLine ? "AsciiReadLine" : "ReadPort(any)";
      const char* verdict = intact ? "intact" : "LOST OR CORRUPTED";
      if (rate > 0) {
        const double offered = rate / 10.0;
        std::printf("%-14s %8d %12.0f %12.0f %7.3f %zu %s\n", name, rate, offered, median,
                    median / offered, checked, verdict);
      } else {
        std::printf("%-14s %8s %12s %12.0f %7s %zu %s\n", name, "unpaced", "-", median, "-",
                    checked, verdict);
      }
      if (!intact) status = 1;
    }
  }
  return status;
}
