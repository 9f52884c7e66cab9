// The driver library's checks: it binds with all its entry points, its file
// version, and on 32-bit x86 the calling convention of its entry points.
#include <cstdint>
#include <cstdio>

#include "hsif/driver_binding.h"
#include "platform/errors.h"
#include "platform/library.h"
#include "preflight/driver_search_hint.h"
#include "preflight/preflight_checks.h"
#include "procenv/module_version.h"

namespace preflight {

namespace {

constexpr win::DWORD kPathSize = win::kMaxPath;

// Only the stand-in driver exports this name (standin/hsif_standin.h).
constexpr const char* kStandinMark = "HsifStandinLastError";

// Tells a library that is missing from one that lacks entry points, which
// LoadDriver does not distinguish.
void ExplainDriverRefusal() {
  win::HMODULE module = win::LoadLibraryExA(DriverName(), nullptr, 0);
  if (module == nullptr) {
    win::DWORD code = win::GetLastError();
    const char* loader = win::LastLoaderMessage();
    if (code == win::ERROR_MOD_NOT_FOUND) {
      PrintDriverSearchHint(stderr, DriverName());
    } else if (code == win::ERROR_DLL_NOT_FOUND) {
      std::fprintf(stderr,
                   "  hint: a %s library was found, but a library it needs is missing. Install\n"
                   "        that library, or name its folder in the library search path.\n",
                   DriverName());
    } else {
      std::fprintf(stderr,
                   "  hint: a %s library was found but cannot be loaded: it is not built for\n"
                   "        this machine (32/64-bit, processor), or it needs a name that no\n"
                   "        loaded library defines.\n",
                   DriverName());
    }
    if (loader[0] != '\0') std::fprintf(stderr, "  loader: %s\n", loader);
    return;
  }
  char path[kPathSize];
  path[0] = '\0';
  win::GetModuleFileNameA(module, path, kPathSize);
  path[kPathSize - 1] = '\0';
  std::fprintf(stderr, "  hint: %s lacks entry points the monitor needs:", path);
  for (const char* name : kDriverEntryNames) {
    if (win::GetProcAddress(module, name) == nullptr) std::fprintf(stderr, " %s", name);
  }
  std::fprintf(stderr, "\n        It is not the driver version the monitor was built for.\n");
  win::FreeLibrary(module);
}

}  // namespace

int CheckDriver() {
  win::HMODULE module = LoadDriver();
  if (module == nullptr) {
    char what[64];
    std::snprintf(what, sizeof what, "Unable to load %s.dll", DriverName());
    Fail(what);
    ExplainDriverRefusal();
    return kNotReady;
  }
  char path[kPathSize];
  path[0] = '\0';
  win::DWORD length = win::GetModuleFileNameA(module, path, kPathSize);
  path[kPathSize - 1] = '\0';
  char version[kVersionTextSize];
  std::printf("driver: %s bound (all %zu entry points) from %s\n", DriverName(), kDriverEntryCount,
              length > 0 ? path : "(path unknown)");
  if (length > 0 && length < kPathSize && GetModuleVersion(path, version, sizeof version)) {
    std::printf("driver: file version %s\n", version);
  } else {
    std::printf("driver: file version unknown (the file carries no version information)\n");
  }
  return kReady;
}

// On 32-bit x86 a driver's entry points either remove their arguments from
// the stack (__stdcall) or leave them to the caller (__cdecl). The monitor's
// calls are right under either; this names the one the driver uses, from what
// it does in calls that cannot touch a card: HsifDllInit, which the monitor
// calls first too, right after binding (it takes no arguments, so it shows
// nothing by itself), then the two queries HsifGetCardModel and
// HsifGetMinSamplePeriod for the no-card handle, -1: no card is open in this
// process, and a handle the driver itself gives for "no card" names none, so
// they fail without reading or changing a card (the stand-in fails them so).
int CheckDriverCalls() {
  if (!kDriverConventionVaries) return 0;
  g_driver.HsifDllInit();
  std::int32_t value = 0;
  g_driver.HsifGetCardModel(kNoCard, &value);
  g_driver.HsifGetMinSamplePeriod(kNoCard, &value);
  char text[400];
  DescribeDriverConvention(text, sizeof text);
  if (ObservedDriverConvention() == DriverConvention::kOtherArguments) {
    char what[480];
    std::snprintf(what, sizeof what, "driver calls: %s", text);
    Fail(what);
    std::fprintf(stderr,
                 "  hint: the driver reads other arguments than the monitor passes. It is not\n"
                 "        the driver version the monitor was built for.\n");
    return 1;
  }
  std::printf("driver: calls: %s\n", text);
  return 0;
}

bool DriverIsStandin() {
  win::HMODULE module = win::LoadLibraryExA(DriverName(), nullptr, 0);
  if (module == nullptr) return false;
  const bool standin = win::GetProcAddress(module, kStandinMark) != nullptr;
  win::FreeLibrary(module);
  return standin;
}

}  // namespace preflight
