// What a piece of code prints on standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace motor_test {

struct Output {
  std::string out;
  std::string err;
};

inline Output Capture(const std::function<void()>& body) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  body();
  Output output;
  output.out = testing::internal::GetCapturedStdout();
  output.err = testing::internal::GetCapturedStderr();
  return output;
}

}  // namespace motor_test
