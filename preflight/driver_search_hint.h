// Where scanmon-preflight tells an operator the driver library is looked for
// when it cannot be found. One file per platform (driver_search_hint_linux.cpp,
// driver_search_hint_windows.cpp); the port hints are shared with the other
// tools (cli/port_hints.h).
#pragma once

#include <cstdio>

// Prints, as "  hint: ..." lines, where the platform looked for the driver
// library `base_name` ("hsif") when it could not be found.
void PrintDriverSearchHint(std::FILE* stream, const char* base_name);
