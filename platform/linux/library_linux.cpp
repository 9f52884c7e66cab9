#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/library.h"

namespace win {
namespace {

// A Windows library name without a directory or an extension ("hsif") is the
// base name of a shared object: libhsif.so. Anything else is passed on as it is.
std::string SharedObjectName(const char* name) {
  if (std::strchr(name, '/') != nullptr || std::strchr(name, '.') != nullptr) return name;
  return std::string("lib") + name + ".so";
}

// The loader's text about this thread's last failed load (dlerror's own text
// is overwritten by the next dl call of any kind).
thread_local char t_loader_message[512] = "";

void KeepLoaderMessage(const char* message) {
  std::snprintf(t_loader_message, sizeof t_loader_message, "%s", message);
}

// The loader tells its failures apart only in its message: "<file>: cannot
// open shared object file: ..." names the file it missed, which is a library
// the asked one needs when it is not the asked one; "<file>: undefined
// symbol: <name>" is a missing import; anything else (not ELF, another
// machine, a damaged file) is a file that is no library for this machine.
DWORD LoadErrorCode(const std::string& asked, const char* message) {
  static constexpr char kNotFound[] = ": cannot open shared object file";
  const char* not_found = std::strstr(message, kNotFound);
  if (not_found != nullptr) {
    std::string missed(message, static_cast<std::size_t>(not_found - message));
    return missed == asked ? ERROR_MOD_NOT_FOUND : ERROR_DLL_NOT_FOUND;
  }
  if (std::strstr(message, ": undefined symbol: ") != nullptr) return ERROR_PROC_NOT_FOUND;
  if (std::strstr(message, "No such file") != nullptr) return ERROR_MOD_NOT_FOUND;
  return ERROR_BAD_EXE_FORMAT;
}

DWORD CopyPathOut(const char* source, char* path, DWORD size) {
  if (path == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::size_t length = std::strlen(source);
  if (length >= size) {
    std::memcpy(path, source, size - 1);
    path[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(path, source, length + 1);
  return static_cast<DWORD>(length);
}

}  // namespace

HMODULE LoadLibraryExA(const char* name, HANDLE /*reserved*/, DWORD /*flags*/) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  dlerror();
  // RTLD_NOW: a library with unresolved symbols is refused here, as Windows
  // refuses a DLL whose imports are missing, rather than failing at first call.
  const std::string asked = SharedObjectName(name);
  void* module = dlopen(asked.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* message = dlerror();
    if (message == nullptr) message = "";
    KeepLoaderMessage(message);
    SetLastError(LoadErrorCode(asked, message));
    return nullptr;
  }
  t_loader_message[0] = '\0';
  return module;
}

const char* LastLoaderMessage() {
  return t_loader_message;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(module, name);
  if (address == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC entry;
  static_assert(sizeof entry == sizeof address);
  std::memcpy(&entry, &address, sizeof entry);
  return entry;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, char* path, DWORD size) {
  char resolved[PATH_MAX];
  if (module == nullptr) {
    ssize_t length = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (length < 0) {
      SetLastError(ERROR_GEN_FAILURE);
      return 0;
    }
    resolved[length] = '\0';
    return CopyPathOut(resolved, path, size);
  }
  link_map* map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  // l_name is the path the loader opened, which may be relative to a search
  // directory given relative; make it absolute.
  if (realpath(map->l_name, resolved) == nullptr) return CopyPathOut(map->l_name, path, size);
  return CopyPathOut(resolved, path, size);
}

}  // namespace win

namespace platform {

bool DescribeLibrarySearch(char* text, std::size_t size) {
  if (size == 0) return false;
  text[0] = '\0';
  // The loader's own search list for the program (its RUNPATH and the
  // environment it started with), asked of the program's handle.
  void* program = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
  if (program == nullptr) return false;
  Dl_serinfo probe{};
  std::string list;
  if (dlinfo(program, RTLD_DI_SERINFOSIZE, &probe) == 0 && probe.dls_size >= sizeof(Dl_serinfo)) {
    // Only on the way to a failure message: a one-off buffer is fine here.
    std::string storage(probe.dls_size, '\0');
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    info->dls_size = probe.dls_size;
    info->dls_cnt = probe.dls_cnt;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, info) == 0 &&
        dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
      for (unsigned i = 0; i < info->dls_cnt; ++i) {
        if (!list.empty()) list += ", ";
        list += info->dls_serpath[i].dls_name;
      }
    }
  }
  dlclose(program);
  list += list.empty() ? "the ld.so.cache" : " and the ld.so.cache";
  if (list.size() >= size) list.replace(size > 4 ? size - 4 : 0, std::string::npos, "...");
  std::snprintf(text, size, "%s", list.c_str());
  return true;
}

}  // namespace platform
