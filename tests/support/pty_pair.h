// A pseudo-terminal pair (Linux only) that plays the device at the far end of
// a serial line: the code under test opens the slave side by its path, the
// test writes and reads on the master side.
#pragma once

#include <string>
#include <thread>

namespace test_support {

class PtyPair {
 public:
  // Opens the master side. With `hold_slave`, also keeps the slave open, so
  // that the line stays up while the code under test opens and closes it.
  explicit PtyPair(bool hold_slave = false);
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return !slave_path_.empty(); }
  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // Writes `bytes` on the master side; false unless all went.
  bool Send(const std::string& bytes) const;
  // Sends `bytes` after `delay_ms`, from a thread of its own (one at a time).
  void SendLater(int delay_ms, std::string bytes);
  // Waits until what SendLater was given has gone.
  void WaitForSends();
  // Every byte the line has sent so far: waits up to `wait_ms` for the first,
  // then until the line has been quiet for 20 ms.
  std::string Received(int wait_ms = 200) const;
  // Closes both sides held here: the line hangs up.
  void HangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  std::thread writer_;
};

}  // namespace test_support
