// Stop requests on Windows: Ctrl-C and Ctrl-Break reach the console handler
// that InstallStopHandlers sets. The program runs itself as a child for the
// cases that end the process, and sends the child's console group the event.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/interrupt.h"
#include "tests/support/wine_detect.h"

#include <windows.h>

namespace {

// argv[0], kept by main for starting the child.
std::string g_program;

constexpr const char* kChildFlag = "--stop-handler-child=";

// What the child does: install the handlers, maybe enable graceful stop, then
// send its console `events` events of one kind (Ctrl-C or Ctrl-Break) and wait.
// Exit 0 means the first event only raised the flag and no later one ended the
// process.
int RunChild(bool graceful, DWORD event, int events) {
  platform::InstallStopHandlers();
  if (graceful) platform::EnableGracefulStop();
  for (int sent = 0; sent < events; ++sent) {
    if (!::GenerateConsoleCtrlEvent(event, 0)) return 3;
    // The handler runs on a thread Windows starts for the event.
    for (int waited = 0; waited < 200 && !platform::StopRequested(); ++waited) ::Sleep(10);
    if (!platform::StopRequested()) return 4;
    ::Sleep(200);  // room for a second event to end the process
  }
  return 0;
}

// Runs this program as a child in a console group of its own; returns its
// exit status, or -1 when it could not be started or did not end in time.
int RunChildProcess(bool graceful, DWORD event, int events) {
  std::string command = "\"" + g_program + "\" " + kChildFlag + (graceful ? "1" : "0") + "," +
                        std::to_string(event) + "," + std::to_string(events);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  // A console of its own: the events go to every process attached to a console.
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                        nullptr, nullptr, &startup, &child)) {
    return -1;
  }
  DWORD status = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(child.hProcess, &status);
  } else {
    ::TerminateProcess(child.hProcess, 99);
  }
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  return static_cast<int>(status);
}

// The table for one kind of event: before graceful stop is enabled the
// process ends at once with 130; after it the first event only raises the flag
// and a second one ends the process with 130.
void CheckStopRequests(DWORD event) {
  struct Row {
    bool graceful;
    int events;
    int status;
  };
  const int kStopped = platform::kInterruptedExitStatus;
  const Row rows[] = {
      {false, 1, kStopped},
      {true, 1, 0},
      {true, 2, kStopped},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.graceful ? "graceful, " : "not graceful, ") +
                 std::to_string(row.events) + " event(s)");
    const int status = RunChildProcess(row.graceful, event, row.events);
    if (status == 3 || status == 4) {
      GTEST_SKIP() << "this console delivers no such event to the program"
                   << (test_support::RunningUnderWine() ? " (Wine)" : "") << ", child status "
                   << status;
    }
    EXPECT_EQ(status, row.status);
  }
}

TEST(StopHandlers, CtrlC) {
  CheckStopRequests(CTRL_C_EVENT);
}

TEST(StopHandlers, CtrlBreak) {
  CheckStopRequests(CTRL_BREAK_EVENT);
}

}  // namespace

int main(int argc, char** argv) {
  g_program = argv[0];
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kChildFlag, std::strlen(kChildFlag)) == 0) {
      // graceful,event,events
      const char* child_arguments = argv[i] + std::strlen(kChildFlag);
      const char* events = std::strchr(child_arguments + 2, ',');
      if (events == nullptr) return 2;
      return RunChild(child_arguments[0] == '1', static_cast<DWORD>(std::atoi(child_arguments + 2)),
                      std::atoi(events + 1));
    }
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
