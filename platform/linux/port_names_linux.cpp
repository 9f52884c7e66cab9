#include "platform/linux/port_names_linux.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"

namespace platform_linux {
namespace {

constexpr unsigned kMaxPortNumber = 99999999;  // keeps "COM<n>" within 11 characters
constexpr std::size_t kLineBytes = 4200;       // a path of PATH_MAX and its key

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (std::tolower(static_cast<unsigned char>(*text)) != *prefix) return false;
  }
  return true;
}

// "COM<n>" exactly (after leading blanks are skipped by the caller) up to `end`.
unsigned ParsePortKey(const char* text, const char* end) {
  if (end - text < 4 || !StartsWithNoCase(text, "com")) return 0;
  const char* digits = text + 3;
  if (*digits == '0') return 0;
  unsigned number = 0;
  for (const char* p = digits; p < end; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    number = number * 10 + static_cast<unsigned>(*p - '0');
    if (number > kMaxPortNumber) return 0;
  }
  return number;
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  return p;
}

const char* TrimBlanks(const char* begin, const char* end) {
  while (end > begin && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
  return end;
}

// One binding "COM<n>=<path>" in [begin, end). Copies the path when the entry
// binds `number`. Returns 1 on a match, -1 when the path does not fit, 0 else.
int MatchBinding(const char* begin, const char* end, unsigned number, char* path,
                 std::size_t capacity) {
  begin = SkipBlanks(begin, end);
  const char* equals = static_cast<const char*>(std::memchr(begin, '=', end - begin));
  if (equals == nullptr) return 0;
  if (ParsePortKey(begin, TrimBlanks(begin, equals)) != number) return 0;
  const char* value = SkipBlanks(equals + 1, end);
  const char* value_end = TrimBlanks(value, end);
  std::size_t length = static_cast<std::size_t>(value_end - value);
  if (length == 0) return 0;
  if (length >= capacity) return -1;
  std::memcpy(path, value, length);
  path[length] = '\0';
  return 1;
}

int FindInVariable(unsigned number, char* path, std::size_t capacity) {
  const char* list = std::getenv(kComportsVariable);
  if (list == nullptr) return 0;
  while (*list != '\0') {
    const char* end = std::strchr(list, ';');
    if (end == nullptr) end = list + std::strlen(list);
    int match = MatchBinding(list, end, number, path, capacity);
    if (match != 0) return match;
    list = *end == ';' ? end + 1 : end;
  }
  return 0;
}

int FindInFile(const char* file_name, unsigned number, char* path, std::size_t capacity) {
  std::FILE* file = std::fopen(file_name, "re");
  if (file == nullptr) return 0;
  char line[kLineBytes];
  int match = 0;
  bool line_start = true;
  while (match == 0 && std::fgets(line, sizeof line, file) != nullptr) {
    std::size_t length = std::strlen(line);
    bool whole = length > 0 && line[length - 1] == '\n';
    // Only whole lines of bounded length are bindings; the rest of an overlong
    // line is skipped.
    if (line_start && whole) {
      char* comment = std::strchr(line, '#');
      const char* end = comment != nullptr ? comment : line + length;
      match = MatchBinding(line, end, number, path, capacity);
    }
    line_start = whole;
  }
  std::fclose(file);
  return match;
}

int FindInUserFile(unsigned number, char* path, std::size_t capacity) {
  char file_name[kLineBytes];
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  int written = 0;
  if (config != nullptr && config[0] == '/') {
    written = std::snprintf(file_name, sizeof file_name, "%s/scanmon/comports", config);
  } else if (home != nullptr && home[0] == '/') {
    written = std::snprintf(file_name, sizeof file_name, "%s/.config/scanmon/comports", home);
  } else {
    return 0;
  }
  if (written <= 0 || static_cast<std::size_t>(written) >= sizeof file_name) return 0;
  return FindInFile(file_name, number, path, capacity);
}

}  // namespace

unsigned PortNumberOfName(const char* name) {
  if (name[0] == '\\' && name[1] == '\\' && name[2] == '.' && name[3] == '\\') name += 4;
  return ParsePortKey(name, name + std::strlen(name));
}

bool ResolveDeviceName(const char* name, char* path, std::size_t capacity, bool* is_port_name) {
  unsigned number = PortNumberOfName(name);
  *is_port_name = number != 0 || StartsWithNoCase(name, "\\\\.\\");
  int match = 0;
  if (number != 0) {
    match = FindInVariable(number, path, capacity);
    if (match == 0) match = FindInUserFile(number, path, capacity);
    if (match == 0) match = FindInFile("/etc/scanmon/comports", number, path, capacity);
    if (match == 0) {
      int written = std::snprintf(path, capacity, "/dev/ttyS%u", number - 1);
      match = written > 0 && static_cast<std::size_t>(written) < capacity ? 1 : -1;
    }
  } else if (*is_port_name) {
    win::SetLastError(win::ERROR_FILE_NOT_FOUND);  // a device name that is no COM port
    return false;
  } else {
    std::size_t length = std::strlen(name);
    match = length < capacity ? 1 : -1;
    if (match == 1) std::memcpy(path, name, length + 1);
  }
  if (match < 0) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

}  // namespace platform_linux
