#include "platform/linux/terminal_linux.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace platform_linux {
namespace {

termios g_saved_settings;
volatile sig_atomic_t g_settings_changed = 0;
bool g_tried = false;

// A write to a closed pipe (the operator's `| head` ended) or a quit key would
// otherwise end the process with the terminal still raw.
void RestoreAndReraise(int signal_number) {
  RestoreTerminal();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void EnterRawKeyInput() {
  if (g_tried) return;
  g_tried = true;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_settings) != 0) return;
  termios raw = g_saved_settings;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  g_settings_changed = 1;
  std::atexit(RestoreTerminal);
  ::signal(SIGPIPE, RestoreAndReraise);
  ::signal(SIGQUIT, RestoreAndReraise);
}

void RestoreTerminal() {
  if (g_settings_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_settings);
    g_settings_changed = 0;
  }
}

}  // namespace platform_linux
