#include <signal.h>
#include <unistd.h>

#include "platform/interrupt.h"
#include "platform/linux/terminal_linux.h"

namespace platform {
namespace {

volatile sig_atomic_t g_graceful = 0;
volatile sig_atomic_t g_stop_requested = 0;

void OnStopSignal(int /*signal_number*/) {
  if (g_graceful && !g_stop_requested) {
    g_stop_requested = 1;
    return;
  }
  platform_linux::RestoreTerminal();
  _exit(kInterruptedExitStatus);
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

void EnableGracefulStop() {
  g_graceful = 1;
}

bool StopRequested() {
  return g_stop_requested != 0;
}

}  // namespace platform
