#include "tests/serial/motor/pty_controller.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace motor_test {

PtyController::~PtyController() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PtyController::Start(std::vector<ControllerStep> steps) {
  thread_ = std::thread([this, steps = std::move(steps)] { Run(steps); });
}

std::string PtyController::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  Collect(0);
  return received_;
}

void PtyController::HangUp() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  pty_.HangUp();
}

// Appends what the line has sent within `timeout_ms`.
void PtyController::Collect(int timeout_ms) {
  if (pty_.master() < 0) return;
  pollfd p{pty_.master(), POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) return;
  char buffer[256];
  const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
  if (n > 0) received_.append(buffer, static_cast<std::size_t>(n));
}

void PtyController::Run(std::vector<ControllerStep> steps) {
  using Clock = std::chrono::steady_clock;
  for (const ControllerStep& step : steps) {
    if (step.after_command) {
      const auto give_up = Clock::now() + std::chrono::seconds(5);
      while (!stop_ && Clock::now() < give_up &&
             static_cast<std::size_t>(std::count(received_.begin(), received_.end(), '\r')) <=
                 commands_seen_) {
        Collect(20);
      }
      ++commands_seen_;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(step.delay_ms);
    while (!stop_ && Clock::now() < until) Collect(5);
    if (stop_) return;
    if (!step.reply.empty() && !pty_.Send(step.reply)) return;
  }
  while (!stop_) Collect(20);
}

}  // namespace motor_test
