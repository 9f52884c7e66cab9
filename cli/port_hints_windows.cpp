#include "cli/port_hints.h"

void DescribePortDevice(const char* /*name*/, char* device, std::size_t size) {
  if (size > 0) device[0] = '\0';
}

void FormatPortHint(char* out, std::size_t size, const char* name, const char* /*device*/,
                    win::DWORD code) {
  if (code == win::ERROR_ACCESS_DENIED || code == win::ERROR_SHARING_VIOLATION) {
    std::snprintf(out, size,
                  "  hint: %s is held by another program (a terminal program, another\n"
                  "        monitor). Close it and try again.\n",
                  name);
    return;
  }
  std::snprintf(out, size,
                "  hint: this machine has no %s. Device Manager lists the ports under\n"
                "        \"Ports (COM & LPT)\".\n",
                name);
}
