#include <cstdio>
#include <cstring>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "serial/motor_link.h"

namespace {

// Reports a configuration step that failed and gives the device back. The
// code is taken by the caller right after the failed call, before the message
// or the close can change it.
win::HANDLE AbandonPort(win::HANDLE handle, const char* format, win::DWORD error) {
  std::fprintf(stderr, format, static_cast<int>(error));
  win::CloseHandle(handle);
  return nullptr;
}

}  // namespace

win::HANDLE OpenMotorPort(const char* name, std::int32_t baud) {
  // FILE_ATTRIBUTE_SYSTEM and no FILE_FLAG_OVERLAPPED: every transfer on the
  // controller's line blocks until its time-outs end it.
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  if (name != nullptr) {
    handle = win::CreateFileA(name, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_SYSTEM, nullptr);
  } else {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
  }
  if (!win::IsValidHandle(handle)) {
    std::printf("Motor - could not open serial port, %d\n", static_cast<int>(win::GetLastError()));
    return nullptr;
  }

  win::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!win::GetCommState(handle, &dcb)) {
    return AbandonPort(handle, "Motor - error getting comm: %d\n", win::GetLastError());
  }
  // Only the framing the controller needs changes; data bits and flow control
  // stay as the device (or its installer) set them.
  dcb.BaudRate = static_cast<win::DWORD>(baud);
  dcb.Parity = win::NOPARITY;
  dcb.StopBits = win::ONESTOPBIT;
  if (!win::SetCommState(handle, &dcb)) {
    return AbandonPort(handle, "Motor - error setting comm: %d\n", win::GetLastError());
  }

  win::COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  if (!win::GetCommTimeouts(handle, &timeouts)) {
    // The system's own text, kept as it is: a leading blank and a literal "/n"
    // where a line end would be, so no line end follows it (docs/errors.md).
    return AbandonPort(handle, " Motor - error getting comm timeouts:%d/n", win::GetLastError());
  }
  timeouts.ReadIntervalTimeout = kMotorReadIntervalMs;
  timeouts.ReadTotalTimeoutMultiplier = kMotorReadMultiplierMs;
  timeouts.ReadTotalTimeoutConstant = kMotorReadConstantMs;
  if (!win::SetCommTimeouts(handle, &timeouts)) {
    return AbandonPort(handle, "Motor - error setting comm timeouts:%d\n", win::GetLastError());
  }
  return handle;
}
