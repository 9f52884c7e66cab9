#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/pty_pair.h"

namespace test_support {

PtyPair::PtyPair(bool hold_slave) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  const char* name = ptsname(master_);
  if (name == nullptr) return;
  if (hold_slave) {
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return;
  }
  slave_path_ = name;
}

PtyPair::~PtyPair() {
  HangUp();
}

bool PtyPair::Send(const std::string& bytes) const {
  return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void PtyPair::SendLater(int delay_ms, std::string bytes) {
  WaitForSends();
  writer_ = std::thread([this, delay_ms, bytes = std::move(bytes)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    Send(bytes);
  });
}

void PtyPair::WaitForSends() {
  if (writer_.joinable()) writer_.join();
}

std::string PtyPair::Received(int wait_ms) const {
  using Clock = std::chrono::steady_clock;
  std::string got;
  char chunk[4096];
  auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (auto now = Clock::now(); now < until && master_ >= 0; now = Clock::now()) {
    pollfd p{master_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    const ssize_t n = (p.revents & POLLIN) ? read(master_, chunk, sizeof chunk) : 0;
    if (n <= 0) {  // no slave open just now: the code under test may open it again
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    got.append(chunk, static_cast<std::size_t>(n));
    until = Clock::now() + std::chrono::milliseconds(20);
  }
  return got;
}

void PtyPair::HangUp() {
  WaitForSends();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  master_ = slave_ = -1;
}

}  // namespace test_support
