// The failure messages of the priority and affinity operations, byte for byte,
// for codes that the real process calls cannot be made to give. This program
// defines the three process calls itself (a link seam: the platform library's
// own definitions are then not linked in); the error text still comes from the
// platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/errors.h"
#include "platform/format_message.h"
#include "platform/process.h"
#include "procenv/process_settings.h"

namespace {

win::DWORD g_failure_code = 0;  // 0: the calls succeed
int g_calls = 0;
win::DWORD g_last_class = 0;
win::DWORD_PTR g_last_mask = 0;
const win::HANDLE kPseudoHandle = win::HandleFromSlot(-1);

win::BOOL Outcome() {
  ++g_calls;
  if (g_failure_code == 0) return win::TRUE;
  win::SetLastError(g_failure_code);
  return win::FALSE;
}

}  // namespace

namespace win {
HANDLE GetCurrentProcess() {
  return kPseudoHandle;
}
BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
  if (process != kPseudoHandle) return FALSE;
  g_last_class = priority_class;
  return Outcome();
}
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  if (process != kPseudoHandle) return FALSE;
  g_last_mask = mask;
  return Outcome();
}
}  // namespace win

namespace {

struct MessageCase {
  int (*operation)();
  win::DWORD code;
  const char* lines;  // the first two lines; the third is the system's text
};

const MessageCase kCases[] = {
    {RaisePriority, 255,
     "Error 255 (0x000000ff)\nFailed to set process priority to above normal:\n"},
    {PinToFirstCpu, 5, "Error 5 (0x00000005)\nFailed to set process affinity mask to 0x01:\n"},
    {RestorePriority, 87, "Error 87 (0x00000057)\nFailed to set process priority to normal:\n"},
    // Codes above 0x7FFFFFFF show as negative decimals.
    {RaisePriority, 0x80070057u,
     "Error -2147024809 (0x80070057)\nFailed to set process priority to above normal:\n"},
    {RaisePriority, 0xFFFFFFFFu,
     "Error -1 (0xffffffff)\nFailed to set process priority to above normal:\n"},
};

// What the message shows as the system's text: the platform's text for the
// code, or the stand-in text when the platform has none.
std::string SystemText(win::DWORD code) {
  char text[512];
  if (win::FormatMessageA(win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS,
                          nullptr, code, 0x0400, text, sizeof text, nullptr) == 0) {
    return "(no system text for this error code)\r\n";
  }
  return text;
}

TEST(ProcessMessages, FailureShowsCodeInDecimalAndHexWithTheSystemText) {
  for (const MessageCase& c : kCases) {
    SCOPED_TRACE(c.code);
    g_failure_code = c.code;
    g_calls = 0;
    testing::internal::CaptureStdout();
    int result = c.operation();
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(out, std::string(c.lines) + "  " + SystemText(c.code) + "\n");
  }
}

TEST(ProcessMessages, SuccessPrintsNothingAndAsksForTheRightSetting) {
  g_failure_code = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(RaisePriority(), 1);
  EXPECT_EQ(g_last_class, win::ABOVE_NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(RestorePriority(), 1);
  EXPECT_EQ(g_last_class, win::NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(PinToFirstCpu(), 1);
  EXPECT_EQ(g_last_mask, 0x01u);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
