#include "procenv/split_path.h"

#include <cstring>

namespace {

// Only A to Z change: file names may carry bytes of any code page.
char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

char* SplitPath(char* path, char** extension) {
  char* ignored = nullptr;
  char** found = extension != nullptr ? extension : &ignored;
  *found = nullptr;
  if (path == nullptr || path[0] == '\0') return path;

  // From the end back to the second character: the name ends at the first
  // backslash met, and only the last full stop of the name counts.
  for (std::size_t i = std::strlen(path) - 1; i >= 1; --i) {
    path[i] = LowerAscii(path[i]);
    if (*found == nullptr && path[i] == '.') {
      *found = path + i + 1;
      path[i] = '\0';
    }
    if (path[i] == '\\') return path + i + 1;
  }
  path[0] = LowerAscii(path[0]);
  return path;
}
