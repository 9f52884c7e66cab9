// What the motor link does on a real line (a pseudo-terminal, or a null-modem
// pair under Wine): the read time-outs it sets, the exchange with a controller
// that never answers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "platform/comm.h"
#include "platform/errors.h"
#include "serial/motor_link.h"

// Expects the read time-outs the link sets on `port`: 10 ms between bytes,
// 10 ms a byte and 100 ms more for a whole read.
inline void ExpectMotorReadTimeouts(win::HANDLE port) {
  win::COMMTIMEOUTS t;
  std::memset(&t, 0xFF, sizeof t);
  ASSERT_TRUE(win::GetCommTimeouts(port, &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
}

// Sends "ma 0,1\r" on `port` and expects the exchange to give up empty with
// ERROR_TIMEOUT once its 400 ms bound has passed (well before 5 s).
inline void ExpectExchangeGivesUpAfterItsBound(win::HANDLE port) {
  char reply[10];
  win::SetLastError(0xDEADBEEF);
  const auto start = std::chrono::steady_clock::now();
  // Reads of 10 bytes wait 10 * 10 + 100 ms each: two make up the bound.
  EXPECT_EQ(MotorExchange(port, "ma 0,1\r", reply, sizeof reply, 400), 0u);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(win::GetLastError(), win::ERROR_TIMEOUT);
  EXPECT_GE(elapsed, std::chrono::milliseconds(350));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}
