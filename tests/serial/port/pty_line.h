// A pseudo-terminal that plays the device at the far end of a serial line:
// the code under test opens the slave side as COM<n>; the test writes and
// reads on the master side.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/linux/port_names_linux.h"

namespace port_test {

struct PtyLine {
  int master = -1;
  std::string slave_path;
  std::thread writer;

  PtyLine() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave_path = ptsname(master);
  }
  ~PtyLine() {
    if (writer.joinable()) writer.join();
    if (master >= 0) close(master);
  }
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  bool ok() const { return !slave_path.empty(); }

  // Binds COM<number> to this line (replacing every other binding).
  void Bind(int number) const {
    std::string binding = "COM" + std::to_string(number) + "=" + slave_path;
    setenv(platform_linux::kComportsVariable, binding.c_str(), 1);
  }

  void Send(const std::string& bytes) const {
    ssize_t put = write(master, bytes.data(), bytes.size());
    (void)put;
  }

  // Sends `bytes` after `delay_ms`, from a thread of its own.
  void SendLater(int delay_ms, std::string bytes) {
    writer = std::thread([this, delay_ms, bytes] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      Send(bytes);
    });
  }

  // Every byte the line has sent so far (waits up to `wait_ms` for the first).
  std::string Received(int wait_ms = 200) const {
    std::string got;
    char chunk[4096];
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    while (std::chrono::steady_clock::now() < until) {
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n > 0) {
        got.append(chunk, static_cast<std::size_t>(n));
        until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    return got;
  }

  void HangUp() {
    if (writer.joinable()) writer.join();
    close(master);
    master = -1;
  }
};

}  // namespace port_test
