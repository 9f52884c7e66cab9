#include "platform/linux/handle_table_linux.h"

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
};

std::mutex g_table_lock;
std::map<int, Entry> g_table;  // guarded by g_table_lock

HandleKind KindOf(int fd, const struct stat& info) {
  if (S_ISREG(info.st_mode)) return HandleKind::kFile;
  if (isatty(fd)) return HandleKind::kSerial;
  return HandleKind::kStream;
}

Entry FreshEntry(HandleKind kind, const struct stat& info) {
  Entry entry;
  entry.state.kind = kind;
  entry.state.kept = DefaultKeptDcb();
  entry.device = info.st_dev;
  entry.inode = info.st_ino;
  return entry;
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

void RegisterHandle(int fd, HandleKind kind, bool non_blocking) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return;
  Entry entry = FreshEntry(kind, info);
  entry.state.non_blocking = non_blocking;
  std::lock_guard<std::mutex> guard(g_table_lock);
  g_table[fd] = entry;
}

bool LoadHandleState(int fd, HandleState* state) {
  struct stat info {};
  if (fd < 3 || fstat(fd, &info) != 0) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return false;
  }
  std::lock_guard<std::mutex> guard(g_table_lock);
  auto found = g_table.find(fd);
  if (found == g_table.end() || found->second.device != info.st_dev ||
      found->second.inode != info.st_ino) {
    // Not opened here, or the number now names another file: adopt it.
    found = g_table.insert_or_assign(fd, FreshEntry(KindOf(fd, info), info)).first;
  }
  *state = found->second.state;
  return true;
}

void StoreHandleState(int fd, const HandleState& state) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  auto found = g_table.find(fd);
  if (found != g_table.end()) found->second.state = state;
}

void ForgetHandle(int fd) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  g_table.erase(fd);
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
