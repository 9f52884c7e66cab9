// The console keyboard, as the C runtime of Windows offers it.
//
// On Linux, while standard input is a terminal it is switched to raw input
// without echo at the first call, and restored at exit (normal exit, exit(),
// and the stop signals alike). On a pipe or a file every byte is one key; at
// end of input no key is reported again.
#pragma once

namespace win {

// Non-zero when a key is waiting.
int _kbhit();
// The next key, without echo; waits for one when none is waiting. At end of
// input (Linux: pipe or file exhausted) returns -1.
int _getch();

// Non-zero when the C runtime's descriptor `fd` (0, 1, 2: standard input,
// output, error) is a terminal or console.
int _isatty(int fd);

}  // namespace win
