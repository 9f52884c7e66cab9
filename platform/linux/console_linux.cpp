#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/linux/terminal_linux.h"

namespace win {
namespace {

// One key read ahead by _kbhit, handed out by the next _getch.
int g_pending_key = -1;
// Standard input is exhausted (a pipe or file at its end, or closed): no key is
// ever reported again, and nothing waits on it.
bool g_input_ended = false;

// Reads one byte; returns it, or -1: no key now, or (g_input_ended set) end of
// input. Standard input may be non-blocking (inherited so from the shell or a
// parent), or another reader may have taken the key poll saw: that is "no key
// yet", never the end. `wait`: wait for a key instead.
int ReadOneKey(bool wait) {
  unsigned char key = 0;
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) return -1;
      pollfd input{STDIN_FILENO, POLLIN, 0};
      ::poll(&input, 1, -1);
      continue;
    }
    g_input_ended = true;
    return -1;
  }
}

}  // namespace

int _kbhit() {
  if (g_pending_key >= 0) return 1;
  if (g_input_ended) return 0;
  platform_linux::EnterRawKeyInput();
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (::poll(&input, 1, 0) <= 0) return 0;
  if ((input.revents & POLLNVAL) != 0) {
    g_input_ended = true;
    return 0;
  }
  // Readable, hung up or in error: a read tells a key from the end of input.
  g_pending_key = ReadOneKey(false);
  return g_pending_key >= 0 ? 1 : 0;
}

int _getch() {
  if (g_pending_key >= 0) {
    int key = g_pending_key;
    g_pending_key = -1;
    return key;
  }
  if (g_input_ended) return -1;
  platform_linux::EnterRawKeyInput();
  return ReadOneKey(true);
}

}  // namespace win
