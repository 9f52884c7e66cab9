// Scheduling settings of the whole process: priority class and processor
// affinity. Each operation changes the setting of the current process; on
// failure it prints, on standard output,
//   "Error <code> (0x<code, 8 hex digits>)\n<what failed>:\n  <system's text>\n"
// and the process keeps the setting it had. They keep no state between calls.
#pragma once

// Raises the priority class to above normal. 1 on success, 0 on failure.
int RaisePriority();

// Restricts the process to the first logical processor (affinity mask 0x01).
// 1 on success, 0 on failure.
int PinToFirstCpu();

// Sets the priority class back to normal. 1 on success, 0 on failure.
int RestorePriority();
