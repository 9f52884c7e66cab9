#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {

// Windows ends the process as soon as the handler of a console-close event
// returns, and does so anyway after about five seconds. The handler keeps the
// process alive this long for the program's own shutdown path to finish.
constexpr ::DWORD kCloseGraceMilliseconds = 4000;

std::atomic<int> g_mode{0};  // 0 immediate, 1 graceful, 2 firm
std::atomic<bool> g_stop_requested{false};
std::atomic<int> g_stop_count{0};

// The console's input mode is changed only inside each _getch call, so there
// is no terminal state to restore: the process simply ends.
[[noreturn]] void EndInterrupted() {
  ::TerminateProcess(::GetCurrentProcess(), kInterruptedExitStatus);
  ::ExitProcess(kInterruptedExitStatus);
}

// Runs on a thread of its own that Windows starts for each console event.
BOOL WINAPI OnConsoleEvent(::DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  const int mode = g_mode.load();
  if (mode == 0) EndInterrupted();
  g_stop_requested.store(true);
  if (g_stop_count.fetch_add(1) > 0 && mode != 2) EndInterrupted();
  if (event == CTRL_CLOSE_EVENT) {
    // When the program's shutdown ends the process, this thread ends with it;
    // a shutdown that does not finish in time ends like a second request.
    ::Sleep(kCloseGraceMilliseconds);
    EndInterrupted();
  }
  return TRUE;
}

}  // namespace

void InstallStopHandlers() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void EnableGracefulStop() {
  g_mode.store(1);
}

void EnableFirmStop() {
  g_mode.store(2);
}

bool StopRequested() {
  return g_stop_requested.load();
}

int StopRequestCount() {
  return g_stop_count.load();
}

// A console event has no signal to end by: the program's own status stands.
void EndByStopSignal() {}

}  // namespace platform
