// The controlling terminal on standard input: raw key input while the program
// runs, and its settings put back on every way out.
//
// The terminal belongs to whichever process group is in its foreground. The
// program changes it only while it is that group: a monitor moved to the
// background (Ctrl-Z, `bg`) leaves the shell's settings alone, and a restore
// from the background can never stop the process by SIGTTOU. Like the
// full-screen terminal programs, it puts the terminal back when stopped
// (Ctrl-Z) and switches to raw input again when continued in the foreground;
// a fatal signal (a fault in the driver's code, SIGABRT, SIGXFSZ, a closed
// pipe, Ctrl-\) puts it back before the process dies by that same signal.
//
// For the main thread: the settings are process-wide, and the calls are not
// made concurrently with each other (signal handlers aside).
#pragma once

namespace platform_linux {

// Switches standard input, when it is a terminal in this process group's
// foreground, to non-canonical input without echo (signals stay on, so Ctrl-C
// still reaches the program). The first call saves the settings and arranges
// their restoration; later calls switch to raw input again if a stop or a
// move to the background left the terminal cooked, and otherwise do nothing.
void EnterRawKeyInput();

// Puts the saved terminal settings back, if the program changed them and
// still owns the terminal. Async-signal-safe.
void RestoreTerminal();

}  // namespace platform_linux
