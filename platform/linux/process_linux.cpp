// Process priority classes and processor affinity on Linux.
//
// Linux keeps the nice value and the affinity per thread, so a process-wide
// setting is applied to every thread of the process (listed in /proc/self/task;
// only the calling thread when /proc is not mounted). A change that one thread
// refuses is taken back from the threads already changed, so a refused change
// leaves the process as it was.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/errno_map.h"
#include "platform/process.h"

namespace win {
namespace {

// Nice value of each priority class. HIGH and REALTIME stay on the ordinary
// time-sharing scheduler: a real-time policy could starve the console.
struct ClassNice {
  DWORD priority_class;
  int nice;
};
constexpr ClassNice kClassNice[] = {
    {IDLE_PRIORITY_CLASS, 19},  {BELOW_NORMAL_PRIORITY_CLASS, 10},
    {NORMAL_PRIORITY_CLASS, 0}, {ABOVE_NORMAL_PRIORITY_CLASS, -5},
    {HIGH_PRIORITY_CLASS, -10}, {REALTIME_PRIORITY_CLASS, -20},
};

bool IsCurrentProcess(HANDLE process) {
  return process == GetCurrentProcess();
}

// The thread ids of the process; {0} (the calling thread) without /proc.
std::vector<pid_t> ListThreads() {
  std::vector<pid_t> threads;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return {0};
  while (dirent* entry = ::readdir(tasks)) {
    char* end = nullptr;
    long id = std::strtol(entry->d_name, &end, 10);
    if (id > 0 && end != entry->d_name && *end == '\0') threads.push_back(static_cast<pid_t>(id));
  }
  ::closedir(tasks);
  if (threads.empty()) threads.push_back(0);
  return threads;
}

// Applies `change` to each thread; when one refuses, `undo` is applied to the
// threads already changed and the refusal's errno is returned. A thread that
// ended meanwhile (ESRCH) is skipped. 0 when every thread took the change.
template <typename State, typename Read, typename Change, typename Undo>
int ChangeEveryThread(Read read, Change change, Undo undo) {
  std::vector<pid_t> threads = ListThreads();
  std::vector<std::pair<pid_t, State>> changed;
  for (pid_t thread : threads) {
    State before{};
    if (!read(thread, &before)) {
      if (errno == ESRCH) continue;
      return errno;
    }
    if (!change(thread)) {
      int error = errno;
      if (error == ESRCH) continue;
      for (auto& [done, state] : changed) undo(done, state);
      return error;
    }
    changed.emplace_back(thread, before);
  }
  return 0;
}

bool ReadNice(pid_t thread, int* nice) {
  errno = 0;
  int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  if (value == -1 && errno != 0) return false;
  *nice = value;
  return true;
}

bool ReadAllowedSet(pid_t thread, cpu_set_t* set) {
  CPU_ZERO(set);
  return ::sched_getaffinity(thread, sizeof *set, set) == 0;
}

}  // namespace

HANDLE GetCurrentProcess() {
  return HandleFromSlot(-1);
}

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
  if (!IsCurrentProcess(process)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const ClassNice* target = nullptr;
  for (const ClassNice& entry : kClassNice) {
    if (entry.priority_class == priority_class) target = &entry;
  }
  if (target == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int error = ChangeEveryThread<int>(
      [](pid_t thread, int* nice) { return ReadNice(thread, nice); },
      [&](pid_t thread) {
        return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), target->nice) == 0;
      },
      [](pid_t thread, int nice) { ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice); });
  if (error != 0) {
    platform_linux::SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

DWORD GetPriorityClass(HANDLE process) {
  if (!IsCurrentProcess(process)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  int nice = 0;
  if (!ReadNice(0, &nice)) {
    platform_linux::SetLastErrorFromErrno();
    return 0;
  }
  // The class whose nice value lies nearest; ties go to the class nearer normal.
  const ClassNice* nearest = &kClassNice[2];
  for (const ClassNice& entry : kClassNice) {
    if (std::abs(entry.nice - nice) < std::abs(nearest->nice - nice)) nearest = &entry;
  }
  return nearest->priority_class;
}

BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  if (!IsCurrentProcess(process)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  cpu_set_t allowed;
  if (!ReadAllowedSet(0, &allowed)) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  // Bit n of the mask names the (n+1)-th processor of the allowed set.
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  unsigned position = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && position < 8 * sizeof mask; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if ((mask >> position) & 1) CPU_SET(cpu, &wanted);
    mask &= ~(DWORD_PTR{1} << position);
    ++position;
  }
  if (CPU_COUNT(&wanted) == 0 || mask != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int error = ChangeEveryThread<cpu_set_t>(
      [](pid_t thread, cpu_set_t* set) { return ReadAllowedSet(thread, set); },
      [&](pid_t thread) { return ::sched_setaffinity(thread, sizeof wanted, &wanted) == 0; },
      [](pid_t thread, const cpu_set_t& set) { ::sched_setaffinity(thread, sizeof set, &set); });
  if (error != 0) {
    platform_linux::SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask) {
  if (!IsCurrentProcess(process) || process_mask == nullptr || system_mask == nullptr) {
    SetLastError(IsCurrentProcess(process) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  cpu_set_t allowed;
  if (!ReadAllowedSet(0, &allowed)) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  int count = CPU_COUNT(&allowed);
  DWORD_PTR mask = count >= static_cast<int>(8 * sizeof(DWORD_PTR)) ? ~DWORD_PTR{0}
                                                                    : (DWORD_PTR{1} << count) - 1;
  *process_mask = mask;
  *system_mask = mask;
  return TRUE;
}

}  // namespace win
