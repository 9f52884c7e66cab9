// Stop requests from outside the program: Ctrl-C and SIGTERM (and SIGHUP) on
// Linux; Ctrl-C, Ctrl-Break and closing the console window on Windows.
//
// Until graceful stop is enabled, a request ends the process at once. Once it
// is enabled, the first request only raises a flag the program polls, so it
// can shut down through its one normal path, and then calls EndByStopSignal; a
// second request ends the process at once.
//
// On Linux the process ends by the request's own signal (after restoring the
// terminal), so a shell sees 128 + n (130 for Ctrl-C, 143 for SIGTERM) and its
// loops stop too. On Windows a request ends the process at once with status
// 130, and a run stopped in order exits with the program's own status.
#pragma once

namespace platform {

inline constexpr int kInterruptedExitStatus = 130;

// Also makes a file-size limit fail the write that crosses it (Linux: SIGXFSZ
// ignored, the write fails with EFBIG, ERROR_FILE_TOO_LARGE) instead of ending
// the process, so a program's failed-write path runs whatever disposition it
// inherited.
void InstallStopHandlers();
void EnableGracefulStop();
// Like EnableGracefulStop, but no later request ends the process either: each
// is counted (StopRequestCount), and the program decides what a repeated
// request skips. For a program whose shutdown must run in every case (motors
// off, card released); it must never wait long once a request came.
void EnableFirmStop();
bool StopRequested();
// Stop requests since graceful or firm stop was enabled (0, 1, 2, ...).
int StopRequestCount();
// Call at the end of the orderly shutdown: when a stop request ended the run,
// ends the process by that request's signal (Linux); otherwise, and on
// Windows, returns.
void EndByStopSignal();

}  // namespace platform
