// Handles that are neither files nor serial lines: pipes, also when they come
// non-blocking from whoever made them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/files.h"

namespace {

class Pipe : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(ends_, O_CLOEXEC), 0);
    // Above the standard streams' numbers, as handles must be.
    for (int& end : ends_) {
      int moved = fcntl(end, F_DUPFD_CLOEXEC, 3);
      close(end);
      end = moved;
    }
  }
  void TearDown() override {
    for (int end : ends_) close(end);
  }
  int ends_[2] = {-1, -1};
};

TEST_F(Pipe, ReadReturnsWhatIsThereAndWaitsOnANonBlockingPipe) {
  for (bool non_blocking : {false, true}) {
    SCOPED_TRACE(non_blocking ? "non-blocking" : "blocking");
    if (non_blocking) fcntl(ends_[0], F_SETFL, fcntl(ends_[0], F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(write(ends_[1], "abc", 3), 3);
    char buffer[16];
    win::DWORD got = 0;
    // Windows returns the 3 bytes there; waiting for 16 would hang here.
    EXPECT_TRUE(win::ReadFile(win::HandleFromSlot(ends_[0]), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "abc");
    // Nothing there yet: the read waits for the bytes rather than fail.
    std::thread later([this] {
      usleep(50 * 1000);
      ssize_t put = write(ends_[1], "d", 1);
      (void)put;
    });
    EXPECT_TRUE(win::ReadFile(win::HandleFromSlot(ends_[0]), buffer, sizeof buffer, &got, nullptr))
        << win::GetLastError();
    later.join();
    EXPECT_EQ(std::string(buffer, got), "d");
  }
}

}  // namespace
