// The controlling terminal on standard input: raw key input while the program
// runs, and its settings put back on every way out.
#pragma once

namespace platform_linux {

// Switches standard input, when it is a terminal, to non-canonical input
// without echo (signals stay on, so Ctrl-C still reaches the program). The
// first call saves the settings and arranges their restoration at exit; later
// calls do nothing.
void EnterRawKeyInput();

// Puts the saved terminal settings back. Async-signal-safe; does nothing when
// nothing was changed.
void RestoreTerminal();

}  // namespace platform_linux
