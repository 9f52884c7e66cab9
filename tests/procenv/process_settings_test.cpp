// Priority and affinity changes on the real process. Each case runs in a forked
// child, so the test program keeps its own settings; the child reports what it
// printed through a pipe and what it saw through its exit status.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/process.h"
#include "procenv/process_settings.h"

namespace {

constexpr int kSkip = 77;

struct ChildResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;  // what it wrote on standard output
};

// Runs `body` in a child whose standard output goes into the result; the child
// exits with what `body` returns.
ChildResult RunInChild(const std::function<int()>& body) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return {};
  std::fflush(stdout);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    int code = body();
    std::fflush(stdout);
    ::_exit(code);
  }
  ::close(pipe_ends[1]);
  ChildResult result;
  char chunk[256];
  ssize_t got;
  while ((got = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0) result.out.append(chunk, got);
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

int NiceOf(pid_t thread) {
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

// A second thread that waits until told to stop, so process-wide settings can
// be checked on a thread other than the caller.
struct IdleThread {
  std::atomic<bool> stop{false};
  std::atomic<pid_t> id{0};
  std::thread thread{[this] {
    id = static_cast<pid_t>(::syscall(SYS_gettid));
    while (!stop) ::usleep(1000);
  }};
  IdleThread() {
    while (id == 0) ::usleep(100);
  }
  ~IdleThread() {
    stop = true;
    thread.join();
  }
};

// Leaves root for the "nobody" user, without the right to raise priority.
bool DropPrivileges() {
  struct rlimit no_raise {
    0, 0
  };
  ::setrlimit(RLIMIT_NICE, &no_raise);
  if (::geteuid() != 0) return true;
  const passwd* nobody = ::getpwnam("nobody");
  uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
  gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(uid, uid, uid) == 0 && ::geteuid() != 0;
}

TEST(ProcessSettings, RaiseThenRestoreReachesEveryThread) {
  if (::geteuid() != 0) GTEST_SKIP() << "raising priority needs root (CAP_SYS_NICE)";
  // Starting below normal: restore must reach normal whatever the class was.
  ChildResult r = RunInChild([] {
    IdleThread other;
    if (!win::SetPriorityClass(win::GetCurrentProcess(), win::BELOW_NORMAL_PRIORITY_CLASS))
      return 1;
    if (RaisePriority() != 1) return 2;
    if (NiceOf(0) != -5 || NiceOf(other.id) != -5) return 3;
    if (win::GetPriorityClass(win::GetCurrentProcess()) != win::ABOVE_NORMAL_PRIORITY_CLASS)
      return 4;
    if (RestorePriority() != 1) return 5;
    if (NiceOf(0) != 0 || NiceOf(other.id) != 0) return 6;
    if (win::GetPriorityClass(win::GetCurrentProcess()) != win::NORMAL_PRIORITY_CLASS) return 7;
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "") << "nothing is printed on success";
}

TEST(ProcessSettings, RefusedRaisePrintsTheMessageAndChangesNothing) {
  ChildResult r = RunInChild([] {
    if (!DropPrivileges()) return kSkip;
    IdleThread other;
    int before = NiceOf(0);
    int other_before = NiceOf(other.id);
    if (RaisePriority() != 0) return 2;
    if (NiceOf(0) != before || NiceOf(other.id) != other_before) return 3;
    return 0;
  });
  if (r.status == kSkip) GTEST_SKIP() << "could not give up the right to raise priority";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Error 5 (0x00000005)\nFailed to set process priority to above normal:\n"
            "  Access is denied.\r\n\n");
}

TEST(ProcessSettings, PinToFirstCpuKeepsOnlyTheLowestAllowedCpu) {
  ChildResult r = RunInChild([] {
    IdleThread other;
    cpu_set_t before;
    if (::sched_getaffinity(0, sizeof before, &before) != 0) return 10;
    int lowest = 0;
    while (!CPU_ISSET(lowest, &before)) ++lowest;
    if (PinToFirstCpu() != 1) return 1;
    for (pid_t thread : {pid_t{0}, pid_t{other.id}}) {
      cpu_set_t after;
      if (::sched_getaffinity(thread, sizeof after, &after) != 0) return 11;
      if (CPU_COUNT(&after) != 1 || !CPU_ISSET(lowest, &after)) return 2;
    }
    // Pinning again keeps the same processor.
    if (PinToFirstCpu() != 1) return 3;
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// Masks name processors by their place in the allowed set; a mask that names
// none, or one beyond the set, is refused and changes nothing.
TEST(ProcessSettings, AffinityMasksOutsideTheAllowedSetAreRefused) {
  ChildResult r = RunInChild([] {
    win::DWORD_PTR process_mask = 0, system_mask = 0;
    if (!win::GetProcessAffinityMask(win::GetCurrentProcess(), &process_mask, &system_mask))
      return 1;
    int count = CPU_COUNT(&*[] {
      static cpu_set_t set;
      ::sched_getaffinity(0, sizeof set, &set);
      return &set;
    }());
    if (count < 64 && process_mask != (win::DWORD_PTR{1} << count) - 1) return 2;
    win::DWORD_PTR beyond = count < 64 ? win::DWORD_PTR{1} << count : 0;
    for (win::DWORD_PTR mask : {win::DWORD_PTR{0}, beyond}) {
      win::SetLastError(0xDEAD);
      if (win::SetProcessAffinityMask(win::GetCurrentProcess(), mask)) return 3;
      if (win::GetLastError() != win::ERROR_INVALID_PARAMETER) return 4;
    }
    cpu_set_t after;
    ::sched_getaffinity(0, sizeof after, &after);
    if (CPU_COUNT(&after) != count) return 5;
    win::SetLastError(0xDEAD);
    if (win::SetPriorityClass(win::GetCurrentProcess(), 0x12345)) return 6;
    if (win::GetLastError() != win::ERROR_INVALID_PARAMETER) return 7;
    if (win::SetPriorityClass(win::HandleFromSlot(5), win::NORMAL_PRIORITY_CLASS)) return 8;
    if (win::GetLastError() != win::ERROR_INVALID_HANDLE) return 9;
    return 0;
  });
  EXPECT_EQ(r.status, 0);
}

}  // namespace
