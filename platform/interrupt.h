// Stop requests from outside the program: Ctrl-C and SIGTERM (and SIGHUP) on
// Linux; Ctrl-C, Ctrl-Break and closing the console window on Windows.
//
// Until graceful stop is enabled, a request ends the process at once with status
// 130 after restoring the terminal. Once it is enabled, the first request only
// raises a flag the program polls, so it can shut down through its one normal
// path; a second request ends the process at once with status 130.
#pragma once

namespace platform {

inline constexpr int kInterruptedExitStatus = 130;

void InstallStopHandlers();
void EnableGracefulStop();
bool StopRequested();

}  // namespace platform
