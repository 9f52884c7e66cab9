#include <cstdlib>

#include "preflight/driver_search_hint.h"

void PrintDriverSearchHint(std::FILE* stream, const char* base_name) {
  const char* library_path = std::getenv("LD_LIBRARY_PATH");
  std::fprintf(stream,
               "  hint: lib%s.so is looked for in LD_LIBRARY_PATH (%s), then in this\n"
               "        program's RUNPATH (run from the build folder: %s; installed\n"
               "        programs have none), then in the system's library folders\n"
               "        (ld.so.cache, /lib, /usr/lib). Put the driver in one of them, or\n"
               "        name its folder in LD_LIBRARY_PATH.\n",
               base_name, library_path != nullptr ? library_path : "not set",
               SCANMON_PREFLIGHT_RUNPATH);
}
