#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/interrupt.h"
#include "platform/linux/terminal_linux.h"

namespace platform {
namespace {

// Set by a handler that may run on any of the process's threads (the kernel
// picks one that does not block the signal) and read by the main thread:
// atomics, lock-free so that a handler may touch them.
std::atomic<int> g_mode{0};         // 0 immediate, 1 graceful, 2 firm
std::atomic<int> g_stop_signal{0};  // the signal of the first stop request
std::atomic<int> g_stop_count{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

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
  const int mode = g_mode.load();
  if (mode != 0) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal_number);
    if (g_stop_count.fetch_add(1) == 0 || mode == 2) return;
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
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
}

void EnableGracefulStop() {
  g_mode.store(1);
}

void EnableFirmStop() {
  g_mode.store(2);
}

bool StopRequested() {
  return g_stop_signal.load() != 0;
}

int StopRequestCount() {
  return g_stop_count.load();
}

void EndByStopSignal() {
  const int signal_number = g_stop_signal.load();
  if (signal_number == 0) return;
  // Dying by a signal skips the runtime's exit: write out what is buffered.
  std::fflush(nullptr);
  DieBy(signal_number);
}

}  // namespace platform
