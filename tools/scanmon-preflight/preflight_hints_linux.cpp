#include <cstdlib>

#include "tools/scanmon-preflight/preflight_hints.h"

void PrintDriverSearchHint(std::FILE* stream, const char* base_name) {
  const char* library_path = std::getenv("LD_LIBRARY_PATH");
  std::fprintf(stream,
               "  hint: lib%s.so is looked for in LD_LIBRARY_PATH (%s), then in this\n"
               "        program's RUNPATH (as built: %s), then in the system's library\n"
               "        folders (ld.so.cache, /lib, /usr/lib). Put the driver in one of them,\n"
               "        or name its folder in LD_LIBRARY_PATH.\n",
               base_name, library_path != nullptr ? library_path : "not set",
               SCANMON_PREFLIGHT_RUNPATH);
}
