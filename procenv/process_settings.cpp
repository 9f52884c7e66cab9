#include "procenv/process_settings.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/format_message.h"
#include "platform/process.h"

namespace {

constexpr win::DWORD kMessageFlags =
    win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr win::DWORD kLanguageNeutralDefault = 0x0400;  // LANG_NEUTRAL, SUBLANG_DEFAULT
constexpr win::DWORD kMessageTextSize = 512;

// Shown when the system has no text for the code, in the system's own form.
constexpr char kNoSystemText[] = "(no system text for this error code)\r\n";

// Prints the three-line failure message for the code the failed call left.
void ShowFailure(const char* format) {
  // Taken first: nothing may overwrite it before it is reported.
  win::DWORD code = win::GetLastError();
  char text[kMessageTextSize];
  text[0] = '\0';
  if (win::FormatMessageA(kMessageFlags, nullptr, code, kLanguageNeutralDefault, text,
                          kMessageTextSize, nullptr) == 0) {
    std::memcpy(text, kNoSystemText, sizeof kNoSystemText);
  }
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
