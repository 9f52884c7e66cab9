// A pseudo-terminal that plays the motor controller: the code under test opens
// the slave by its path; a thread on the master side answers each command
// (a text ended by a carriage return) as scripted.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"

namespace motor_test {

struct ControllerStep {
  bool after_command;  // wait for the next command before answering
  int delay_ms;        // then wait this long
  std::string reply;   // then send this (may be empty: send nothing)
};

class PtyController {
 public:
  PtyController() = default;
  ~PtyController();
  PtyController(const PtyController&) = delete;
  PtyController& operator=(const PtyController&) = delete;

  bool ok() const { return pty_.ok(); }
  const std::string& slave_path() const { return pty_.slave_path(); }
  int master() const { return pty_.master(); }

  // Runs the steps on a thread of their own, then keeps collecting what is sent.
  void Start(std::vector<ControllerStep> steps);
  // Stops the thread and returns every byte the line sent to the controller.
  std::string Finish();
  // Closes the master side: the line hangs up.
  void HangUp();

 private:
  void Run(std::vector<ControllerStep> steps);
  void Collect(int timeout_ms);

  test_support::PtyPair pty_{/*hold_slave=*/true};  // the line stays up between opens
  std::string received_;
  std::size_t commands_seen_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace motor_test
