#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "platform/interrupt.h"
#include "platform/linux/terminal_linux.h"

namespace platform {
namespace {

volatile sig_atomic_t g_graceful = 0;
volatile sig_atomic_t g_stop_signal = 0;  // the signal of the first stop request

// Ends the process by `signal_number` with its default action, the way shells
// and their loops expect a program stopped by a signal to end (status 128 + n
// in the shell), after putting the terminal back.
[[noreturn]] void DieBy(int signal_number) {
  platform_linux::RestoreTerminal();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal_number);
  _exit(128 + signal_number);  // not reached: the default action ends the process
}

void OnStopSignal(int signal_number) {
  if (g_graceful && g_stop_signal == 0) {
    g_stop_signal = signal_number;
    return;
  }
  DieBy(signal_number);
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
  return g_stop_signal != 0;
}

void EndByStopSignal() {
  if (g_stop_signal == 0) return;
  // Dying by a signal skips the runtime's exit: write out what is buffered.
  std::fflush(nullptr);
  DieBy(g_stop_signal);
}

}  // namespace platform
