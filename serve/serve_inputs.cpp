#include "serve/serve_inputs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace serve {

bool ReadReaderKey(const char* path, ReaderKey* key) {
  key->present = false;
  key->length = 0;
  char line[stream::kMaxKeyBytes + 3] = {};
  if (path != nullptr) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
      std::fprintf(stderr, "scanmon-serve: cannot read the key file %s\n", path);
      return false;
    }
    const std::size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
  } else {
    const char* env = std::getenv("SCANMON_SERVE_KEY");
    if (env == nullptr) return true;
    std::snprintf(line, sizeof line, "%s", env);
  }
  std::size_t length = std::strcspn(line, "\r\n");
  if (length == 0 || length > stream::kMaxKeyBytes) {
    std::fprintf(stderr, "scanmon-serve: the key must be 1 to %zu bytes on one line\n",
                 stream::kMaxKeyBytes);
    return false;
  }
  std::memcpy(key->bytes, line, length);
  key->length = length;
  key->present = true;
  return true;
}

bool HasRawFile(const char* base) {
  std::string name = base;
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".prc") == 0)
    name.resize(name.size() - 4);
  name += ".raw";
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool LooksLikeProperties(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char line[512];
  bool found = false;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (line[std::strspn(line, " \t\r\n")] == '\0') continue;
    found = std::strchr(line, '=') != nullptr;
    break;
  }
  std::fclose(file);
  return found;
}

}  // namespace serve
