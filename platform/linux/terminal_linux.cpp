#include "platform/linux/terminal_linux.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform_linux {
namespace {

termios g_saved_settings;
termios g_raw_settings;
volatile sig_atomic_t g_raw_wanted = 0;        // saved settings taken, raw input asked for
volatile sig_atomic_t g_settings_changed = 0;  // the raw settings are in effect
bool g_tried = false;

// Signals after which the process dies; each puts the terminal back first.
constexpr int kFatalSignals[] = {SIGPIPE, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE,
                                 SIGILL,  SIGXFSZ, SIGXCPU, SIGSYS,  SIGTRAP};

bool OwnsTerminal() {
  return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// tcsetattr from a background process group would stop the process with
// SIGTTOU (or fail when its group is orphaned); blocked, the kernel lets it
// through. Only reached after OwnsTerminal, so this covers the race with a
// shell taking the terminal back in between.
bool SetTerminal(const termios& settings) {
  sigset_t stop_on_output;
  sigset_t previous;
  sigemptyset(&stop_on_output);
  sigaddset(&stop_on_output, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &stop_on_output, &previous);
  bool done = tcsetattr(STDIN_FILENO, TCSANOW, &settings) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return done;
}

void ApplyRawInput() {
  if (g_raw_wanted && !g_settings_changed && OwnsTerminal() && SetTerminal(g_raw_settings)) {
    g_settings_changed = 1;
  }
}

void SetAction(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

// Runs `handler` for the signal unless someone (a sanitizer's runtime, the
// program) already handles or ignores it.
void HandleIfDefault(int signal_number, void (*handler)(int)) {
  struct sigaction now {};
  if (sigaction(signal_number, nullptr, &now) == 0 && now.sa_handler == SIG_DFL &&
      (now.sa_flags & SA_SIGINFO) == 0) {
    SetAction(signal_number, handler);
  }
}

void Unblock(int signal_number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void RestoreAndReraise(int signal_number) {
  RestoreTerminal();
  SetAction(signal_number, SIG_DFL);
  Unblock(signal_number);
  ::raise(signal_number);
}

// Ctrl-Z: cooked for the shell while stopped, raw again when continued.
void OnStopKey(int signal_number) {
  int saved_errno = errno;
  RestoreTerminal();
  SetAction(signal_number, SIG_DFL);
  Unblock(signal_number);
  ::raise(signal_number);  // stops here until SIGCONT
  SetAction(signal_number, OnStopKey);
  ApplyRawInput();
  errno = saved_errno;
}

// Continued after any stop (Ctrl-Z, SIGSTOP, SIGTTIN): raw again if the
// program is in the foreground; in the background the shell's settings stay.
void OnContinue(int /*signal_number*/) {
  int saved_errno = errno;
  ApplyRawInput();
  errno = saved_errno;
}

}  // namespace

void EnterRawKeyInput() {
  if (g_settings_changed) return;
  if (g_tried) {
    ApplyRawInput();
    return;
  }
  g_tried = true;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_settings) != 0) return;
  g_raw_settings = g_saved_settings;
  g_raw_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  g_raw_settings.c_cc[VMIN] = 1;
  g_raw_settings.c_cc[VTIME] = 0;
  std::atexit(RestoreTerminal);
  for (int signal_number : kFatalSignals) HandleIfDefault(signal_number, RestoreAndReraise);
  HandleIfDefault(SIGTSTP, OnStopKey);
  HandleIfDefault(SIGCONT, OnContinue);
  g_raw_wanted = 1;
  ApplyRawInput();
}

void RestoreTerminal() {
  if (!g_settings_changed) return;
  int saved_errno = errno;
  // In the background the terminal is the shell's (it put its own settings
  // back when it took the terminal): nothing of ours to restore.
  if (OwnsTerminal()) SetTerminal(g_saved_settings);
  g_settings_changed = 0;
  errno = saved_errno;
}

}  // namespace platform_linux
