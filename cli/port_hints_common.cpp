#include <cstring>

#include "cli/port_hints.h"

void ShowPortName(const char* name, const char* device, char* shown, std::size_t size) {
  if (size == 0) return;
  if (device[0] != '\0' && std::strcmp(device, name) != 0) {
    std::snprintf(shown, size, "%s (%s)", name, device);
  } else {
    std::snprintf(shown, size, "%s", name);
  }
}

void PrintPortHint(std::FILE* stream, const char* name, const char* device, win::DWORD code) {
  char hint[1024] = {};
  FormatPortHint(hint, sizeof hint, name, device, code);
  std::fputs(hint, stream);
}
