// Raw key input on a terminal that a shell shares under job control: moved to
// the background, stopped and continued, ended by a fatal signal; standard
// input that is non-blocking; and how stop requests end the process. Every
// case runs the program part in a child process, in a session of its own
// whose controlling terminal is a fresh pseudo-terminal, with the session
// leader playing the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/linux/terminal_linux.h"

namespace {

// One-way hand-overs between the processes of a case.
struct Baton {
  int fds[2] = {-1, -1};
  Baton() {
    if (pipe2(fds, O_CLOEXEC) != 0) fds[0] = fds[1] = -1;
  }
  void Pass() const {
    ssize_t put = write(fds[1], "!", 1);
    (void)put;
  }
  bool Await(int wait_ms) const {
    pollfd watch{fds[0], POLLIN, 0};
    char mark = 0;
    return poll(&watch, 1, wait_ms) > 0 && read(fds[0], &mark, 1) == 1;
  }
};

// What became of a child: 'x' exited (value = status), 's' killed by a
// signal, 'z' stopped (value = signal), 't' still running at the time limit.
struct Outcome {
  char how = 't';
  int value = 0;
};

Outcome WaitFor(pid_t child, int wait_ms, bool report_stop) {
  for (int waited = 0; waited <= wait_ms; waited += 5) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG | (report_stop ? WUNTRACED : 0));
    if (done == child) {
      if (WIFEXITED(status)) return {'x', WEXITSTATUS(status)};
      if (WIFSIGNALED(status)) return {'s', WTERMSIG(status)};
      if (WIFSTOPPED(status)) return {'z', WSTOPSIG(status)};
    }
    usleep(5000);
  }
  return {};
}

// Ends a child however it stands, and reaps it.
void Dispose(pid_t child) {
  kill(child, SIGKILL);
  kill(child, SIGCONT);
  waitpid(child, nullptr, 0);
}

using Program = std::function<int()>;
using Shell = std::function<int(pid_t program, int terminal)>;

// Runs `program` in the foreground process group of a new session on the
// pseudo-terminal `slave` (its standard input), and `shell` in the session
// leader. The leader's exit status is the result: 0 when all went as it
// should, a code of the failed check otherwise.
int RunOnTerminal(const std::string& slave, const Program& program, const Shell& shell) {
  pid_t leader = fork();
  if (leader == 0) {
    setsid();
    int terminal = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
    if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(90);
    sigset_t quiet;  // the shell may change the terminal from the background
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGTTOU);
    sigprocmask(SIG_BLOCK, &quiet, nullptr);
    Baton foreground;
    pid_t child = fork();
    if (child == 0) {
      sigprocmask(SIG_UNBLOCK, &quiet, nullptr);
      setpgid(0, 0);
      if (!foreground.Await(5000)) _exit(91);
      dup2(terminal, STDIN_FILENO);
      rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      _exit(program());
    }
    setpgid(child, child);
    if (tcsetpgrp(terminal, child) != 0) _exit(92);
    foreground.Pass();
    int result = shell(child, terminal);
    Dispose(child);
    _exit(result);
  }
  Outcome leader_end = WaitFor(leader, 15000, false);
  if (leader_end.how != 'x') {
    Dispose(leader);
    return -1;
  }
  return leader_end.value;
}

bool Cooked(int terminal) {
  termios now{};
  return tcgetattr(terminal, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}

bool Raw(int terminal) {
  termios now{};
  return tcgetattr(terminal, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0;
}

class Terminal : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      GTEST_SKIP() << "no pseudo-terminal available";
    }
    slave_ = ptsname(master_);
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
  }
  // The program of the restore tests: raw key input, ready, and on the
  // shell's go the terminal restored.
  int RawUntilGoThenRestore() {
    platform_linux::EnterRawKeyInput();
    ready_.Pass();
    if (!go_.Await(5000)) return 1;
    platform_linux::RestoreTerminal();
    return 0;
  }
  int master_ = -1;
  std::string slave_;
  Baton ready_;  // program -> shell
  Baton go_;     // shell -> program
};

TEST_F(Terminal, RestoreFromTheBackgroundNeitherStopsNorTakesTheShellsSettings) {
  // Ctrl-Z and `bg` as a shell does them, then the program ends (SIGTERM).
  int result = RunOnTerminal(
      slave_, [this] { return RawUntilGoThenRestore(); },
      [this](pid_t program, int terminal) {
        if (!ready_.Await(5000) || !Raw(terminal)) return 10;
        if (tcsetpgrp(terminal, getpgrp()) != 0) return 11;
        termios shell{};
        tcgetattr(terminal, &shell);
        shell.c_cc[VTIME] = 3;  // the shell's own settings, marked
        tcsetattr(terminal, TCSANOW, &shell);
        go_.Pass();
        Outcome end = WaitFor(program, 3000, true);
        if (end.how == 'z') return 12;  // stopped by SIGTTOU
        if (end.how != 'x' || end.value != 0) return 13;
        termios after{};
        tcgetattr(terminal, &after);
        return after.c_cc[VTIME] == 3 && Raw(terminal) ? 0 : 14;
      });
  EXPECT_EQ(result, 0);
}

TEST_F(Terminal, RestoreInTheForegroundPutsTheSettingsBack) {
  int result = RunOnTerminal(
      slave_, [this] { return RawUntilGoThenRestore(); },
      [this](pid_t program, int terminal) {
        if (!ready_.Await(5000) || !Raw(terminal)) return 10;
        go_.Pass();
        Outcome end = WaitFor(program, 3000, true);
        if (end.how != 'x' || end.value != 0) return 13;
        return Cooked(terminal) ? 0 : 14;
      });
  EXPECT_EQ(result, 0);
}

TEST_F(Terminal, StopKeyCooksTheTerminalAndContinuingMakesItRawAgain) {
  int result = RunOnTerminal(
      slave_,
      [this]() -> int {
        platform_linux::EnterRawKeyInput();
        ready_.Pass();
        for (;;) pause();
      },
      [this](pid_t program, int terminal) {
        if (!ready_.Await(5000) || !Raw(terminal)) return 10;
        kill(program, SIGTSTP);
        Outcome stop = WaitFor(program, 3000, true);
        if (stop.how != 'z') return 20;
        if (!Cooked(terminal)) return 21;  // the shell gets a usable terminal
        kill(program, SIGCONT);            // `fg`
        for (int waited = 0; waited < 2000 && !Raw(terminal); waited += 5) usleep(5000);
        return Raw(terminal) ? 0 : 22;
      });
  EXPECT_EQ(result, 0);
}

TEST_F(Terminal, FatalSignalPutsTheTerminalBackAndEndsByThatSignal) {
  for (int fatal : {SIGABRT, SIGXFSZ, SIGQUIT}) {
    SCOPED_TRACE(strsignal(fatal));
    int result = RunOnTerminal(
        slave_,
        [this, fatal] {
          platform_linux::EnterRawKeyInput();
          ready_.Pass();
          if (!go_.Await(5000)) return 1;
          raise(fatal);
          return 2;
        },
        [this, fatal](pid_t program, int terminal) {
          if (!ready_.Await(5000) || !Raw(terminal)) return 10;
          go_.Pass();
          Outcome end = WaitFor(program, 3000, true);
          if (end.how != 's' || end.value != fatal) return 30;
          return Cooked(terminal) ? 0 : 31;
        });
    EXPECT_EQ(result, 0);
  }
}

// A program part on its own, without a terminal; its exit as an Outcome.
Outcome RunAlone(const Program& program, const std::function<void(pid_t)>& outside) {
  pid_t child = fork();
  if (child == 0) _exit(program());
  outside(child);
  // Generous: only a failing run waits this long, and a sanitizer build on a
  // loaded machine may take seconds to start a child.
  Outcome end = WaitFor(child, 30000, false);
  if (end.how == 't') Dispose(child);
  return end;
}

TEST(KeyInput, NonBlockingInputWaitsForTheKeyInsteadOfEnding) {
  int keys[2];
  ASSERT_EQ(pipe(keys), 0);
  Outcome end = RunAlone(
      [&keys] {
        dup2(keys[0], STDIN_FILENO);
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
        int before = win::_kbhit();  // nothing yet
        int key = win::_getch();
        return before == 0 && key == 'x' ? 0 : 1;
      },
      [&keys](pid_t) {
        usleep(100 * 1000);
        ssize_t put = write(keys[1], "x", 1);
        (void)put;
      });
  close(keys[0]);
  close(keys[1]);
  EXPECT_EQ(end.how, 'x');
  EXPECT_EQ(end.value, 0);
}

// The stop requests: during the bring-up a request ends the process at once;
// in the loop the first one is only noted, the program shuts down in order and
// then ends by that signal; a second one ends a shutdown that hangs. Whatever
// the path, the process ends by the (last) request's own signal.
TEST(StopRequest, EndsByItsOwnSignalOnEveryPath) {
  const struct {
    const char* path;
    bool graceful;
    int first;
    int second;  // 0: none; the shutdown finishes
  } rows[] = {
      {"bring-up", false, SIGTERM, 0},
      {"bring-up", false, SIGINT, 0},
      {"orderly", true, SIGINT, 0},
      {"orderly", true, SIGTERM, 0},
      {"orderly", true, SIGHUP, 0},
      {"hung shutdown", true, SIGINT, SIGTERM},
      {"hung shutdown", true, SIGTERM, SIGINT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path) + " " + strsignal(row.first));
    Baton ready;
    Baton noted;
    Outcome end = RunAlone(
        [&]() -> int {
          platform::InstallStopHandlers();
          if (row.graceful) platform::EnableGracefulStop();
          ready.Pass();
          for (int waited = 0; waited < 30000 && !platform::StopRequested(); ++waited) usleep(1000);
          if (!platform::StopRequested()) return 1;
          noted.Pass();
          if (row.second != 0) {
            for (;;) pause();  // a shutdown that never finishes
          }
          platform::EndByStopSignal();
          return 2;
        },
        [&](pid_t child) {
          // Signalled only once its handlers are in: a signal before that
          // would end it by the default action and prove nothing.
          if (!ready.Await(30000)) return;
          kill(child, row.first);
          if (row.second != 0 && noted.Await(30000)) kill(child, row.second);
        });
    int expected = row.second != 0 ? row.second : row.first;
    EXPECT_EQ(end.how, 's') << "exit status " << end.value;
    EXPECT_EQ(end.value, expected);
  }
}

}  // namespace
