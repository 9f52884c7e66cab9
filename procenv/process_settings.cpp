#include "procenv/process_settings.h"

#include <cstdio>

#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace {

// Prints the three-line failure message for the code the failed call left. The
// system's text keeps its own CR LF; the message adds its line feed after it.
void ShowFailure(const char* format) {
  // Taken first: nothing may overwrite it before it is reported.
  const win::DWORD code = win::GetLastError();
  char text[platform::kErrorTextSize];
  platform::GetSystemErrorText(code, text, sizeof text);
  std::printf(format, static_cast<int>(code), static_cast<unsigned>(code), text);
}

}  // namespace

int RaisePriority() {
  if (win::SetPriorityClass(win::GetCurrentProcess(), win::ABOVE_NORMAL_PRIORITY_CLASS)) return 1;
  ShowFailure("Error %d (0x%08x)\nFailed to set process priority to above normal:\n  %s\n");
  return 0;
}

int PinToFirstCpu() {
  if (win::SetProcessAffinityMask(win::GetCurrentProcess(), 0x01)) return 1;
  ShowFailure("Error %d (0x%08x)\nFailed to set process affinity mask to 0x01:\n  %s\n");
  return 0;
}

int RestorePriority() {
  if (win::SetPriorityClass(win::GetCurrentProcess(), win::NORMAL_PRIORITY_CLASS)) return 1;
  ShowFailure("Error %d (0x%08x)\nFailed to set process priority to normal:\n  %s\n");
  return 0;
}
