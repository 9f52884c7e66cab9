#include "preflight/driver_search_hint.h"

void PrintDriverSearchHint(std::FILE* stream, const char* base_name) {
  std::fprintf(stream,
               "  hint: %s.dll is looked for in this program's folder, the system folders\n"
               "        (System32, the Windows folder), the current folder, then the folders\n"
               "        of PATH. Install the card's driver, or copy %s.dll next to the program.\n",
               base_name, base_name);
}
