// The motor link on a Windows serial port: the far end of a null-modem pair
// plays the controller. The pair's names come from SCANMON_WINE_PORTS ("COM1
// COM2"), which the Wine test run sets; on a Windows machine with a null-modem
// pair, set it by hand. Without it the tests skip.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"
#include "tests/serial/motor/line_checks.h"

namespace {

struct PortPair {
  std::string motor_end;
  std::string controller_end;
};

bool FindPortPair(PortPair* pair) {
  const char* ports = std::getenv("SCANMON_WINE_PORTS");
  char a[32] = {};
  char b[32] = {};
  if (ports == nullptr || std::sscanf(ports, "%31s %31s", a, b) != 2) return false;
  pair->motor_end = a;
  pair->controller_end = b;
  return true;
}

// The controller: answers every command (text ended by a carriage return)
// with `reply`, and keeps what it was sent.
class ComController {
 public:
  ComController(const std::string& name, std::string reply) : reply_(std::move(reply)) {
    handle_ = win::CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
    if (!win::IsValidHandle(handle_)) return;
    // Each read returns with the first bytes, or empty after 20 ms.
    win::COMMTIMEOUTS timeouts = {win::MAXDWORD, win::MAXDWORD, 20, 0, 1000};
    win::SetCommTimeouts(handle_, &timeouts);
    thread_ = std::thread([this] { Run(); });
  }
  ~ComController() {
    Finish();
    if (win::IsValidHandle(handle_)) win::CloseHandle(handle_);
  }
  bool ok() const { return win::IsValidHandle(handle_); }
  std::string Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Run() {
    while (!stop_) {
      char buffer[64];
      win::DWORD got = 0;
      if (!win::ReadFile(handle_, buffer, sizeof buffer, &got, nullptr)) return;
      for (win::DWORD i = 0; i < got; ++i) {
        received_ += buffer[i];
        if (buffer[i] == '\r' && !reply_.empty()) {
          win::DWORD written = 0;
          win::WriteFile(handle_, reply_.data(), static_cast<win::DWORD>(reply_.size()), &written,
                         nullptr);
        }
      }
    }
  }

  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
  std::string reply_;
  std::string received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(MotorCom, MoveSequenceOnASerialPort) {
  PortPair pair;
  if (!FindPortPair(&pair)) GTEST_SKIP() << "no null-modem pair (SCANMON_WINE_PORTS unset)";
  ComController controller(pair.controller_end, "ok!\r");
  ASSERT_TRUE(controller.ok()) << "cannot open " << pair.controller_end;
  win::HANDLE port = OpenMotorPort(pair.motor_end.c_str(), 9600);
  ASSERT_NE(port, nullptr);

  ExpectMotorReadTimeouts(port);
  if (HasFatalFailure()) return;

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int result = MoveMotor(port, -25, 3000);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "! found, no need to wait\n");
  EXPECT_EQ(err, "calling getMotorData\nposition -25\n");
  win::CloseHandle(port);
  EXPECT_EQ(controller.Finish(), "ma 0,1\rma -25,1\r");
}

TEST(MotorCom, SilentControllerEndsTheExchangeAfterItsBound) {
  PortPair pair;
  if (!FindPortPair(&pair)) GTEST_SKIP() << "no null-modem pair (SCANMON_WINE_PORTS unset)";
  ComController controller(pair.controller_end, "");
  ASSERT_TRUE(controller.ok()) << "cannot open " << pair.controller_end;
  testing::internal::CaptureStdout();
  win::HANDLE port = OpenMotorPort(pair.motor_end.c_str(), 9600);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(port, nullptr);
  ExpectExchangeGivesUpAfterItsBound(port);
  win::CloseHandle(port);
  EXPECT_EQ(controller.Finish(), "ma 0,1\r");
}

}  // namespace
