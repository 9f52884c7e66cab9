#include "platform/linux/handle_table_linux.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/errors.h"
#include "platform/linux/errno_map.h"

namespace platform_linux {
namespace {

struct Entry {
  HandleState state;
  dev_t device = 0;
  ino_t inode = 0;
  bool watched = false;  // registered in the watch set: its open is known by identity
};

// Made when the program starts, so the count of open descriptors does not
// change at the first serial call; above the standard streams' numbers.
int MakeWatchSet() {
  int set = epoll_create1(EPOLL_CLOEXEC);
  if (set >= 0 && set < 3) {
    int moved = fcntl(set, F_DUPFD_CLOEXEC, 3);
    close(set);
    set = moved;
  }
  return set;
}

const int g_watch_set = MakeWatchSet();
std::mutex g_table_lock;
std::map<int, Entry> g_table;  // guarded by g_table_lock

// Registers the open that `fd` names now. No events are asked for: the set is
// never waited on, only asked whether a registration still exists.
bool Watch(int fd) {
  if (g_watch_set < 0) return false;
  epoll_event event{};
  return epoll_ctl(g_watch_set, EPOLL_CTL_ADD, fd, &event) == 0 || errno == EEXIST;
}

// The registration made for `fd` still stands: the number names the same open.
bool StillWatched(int fd) {
  epoll_event event{};
  return epoll_ctl(g_watch_set, EPOLL_CTL_MOD, fd, &event) == 0;
}

HandleKind KindOf(int fd, const struct stat& info) {
  if (S_ISREG(info.st_mode)) return HandleKind::kFile;
  if (isatty(fd)) return HandleKind::kSerial;
  return HandleKind::kStream;
}

Entry FreshEntry(int fd, HandleKind kind, const struct stat& info) {
  Entry entry;
  entry.state.kind = kind;
  entry.state.kept = DefaultKeptDcb();
  entry.device = info.st_dev;
  entry.inode = info.st_ino;
  entry.watched = Watch(fd);
  return entry;
}

bool SameOpen(int fd, const Entry& entry, const struct stat& info) {
  if (entry.watched) return StillWatched(fd);
  // Not pollable: a regular file or the like, told apart by what it is.
  return entry.device == info.st_dev && entry.inode == info.st_ino && !Watch(fd);
}

}  // namespace

win::DCB DefaultKeptDcb() {
  win::DCB dcb{};
  dcb.DCBlength = sizeof(win::DCB);
  dcb.fBinary = 1;
  dcb.fDtrControl = win::DTR_CONTROL_ENABLE;
  dcb.fRtsControl = win::RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  return dcb;
}

int DescriptorFromHandle(win::HANDLE handle) {
  auto value = reinterpret_cast<std::intptr_t>(handle);
  if (value < 3 || value > INT32_MAX) return -1;
  return static_cast<int>(value);
}

void RegisterHandle(int fd, HandleKind kind) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return;
  std::lock_guard<std::mutex> guard(g_table_lock);
  g_table.insert_or_assign(fd, FreshEntry(fd, kind, info));
}

bool LoadHandleState(int fd, HandleState* state) {
  struct stat info {};
  if (fd < 3 || fstat(fd, &info) != 0) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return false;
  }
  std::lock_guard<std::mutex> guard(g_table_lock);
  auto found = g_table.find(fd);
  if (found == g_table.end() || !SameOpen(fd, found->second, info)) {
    // Not opened here, or the number now names another open: adopt it.
    found = g_table.insert_or_assign(fd, FreshEntry(fd, KindOf(fd, info), info)).first;
  }
  *state = found->second.state;
  return true;
}

bool ChangeHandleState(int fd, StateChange change, void* context) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  auto found = g_table.find(fd);
  if (found == g_table.end()) return false;
  change(&found->second.state, context);
  return true;
}

void ForgetHandle(int fd) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  auto found = g_table.find(fd);
  if (found == g_table.end()) return;
  if (found->second.watched) {
    epoll_event event{};
    epoll_ctl(g_watch_set, EPOLL_CTL_DEL, fd, &event);
  }
  g_table.erase(found);
}

bool LoadSerialState(win::HANDLE handle, int* fd, HandleState* state) {
  *fd = DescriptorFromHandle(handle);
  if (!LoadHandleState(*fd, state)) return false;
  if (state->kind != HandleKind::kSerial) {
    win::SetLastError(state->kind == HandleKind::kEvent ? win::ERROR_INVALID_HANDLE
                                                        : win::ERROR_NOT_SUPPORTED);
    return false;
  }
  return true;
}

}  // namespace platform_linux
