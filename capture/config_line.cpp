#include "capture/config_line.h"

#include <cstdint>
#include <cstring>

namespace capture_config {

namespace {

// The C locale's white space, as scanf and isspace see it.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool ReadConfigLine(std::FILE* file, char* line, std::size_t size) {
  std::size_t length = 0;
  while (length + 1 < size) {
    int c = std::fgetc(file);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::fgetc(file);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file);
      }
    }
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  // As fgets: nothing read, or a read error, is no line.
  return length > 0 && !std::ferror(file);
}

bool ScanDecimalInt(const char* text, std::int32_t* value) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (*p < '0' || *p > '9') return false;
  // Accumulate the magnitude, stopping the growth once it is past any 32-bit
  // value so that long digit runs stay defined.
  std::int64_t magnitude = 0;
  constexpr std::int64_t kBeyond = std::int64_t{INT32_MAX} + 2;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < kBeyond) magnitude = magnitude * 10 + (*p - '0');
  }
  std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > INT32_MAX) signed_value = INT32_MAX;
  if (signed_value < INT32_MIN) signed_value = INT32_MIN;
  *value = static_cast<std::int32_t>(signed_value);
  return true;
}

std::size_t FindName(const char* text, const char** start) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  *start = p;
  std::size_t length = 0;
  while (p[length] != '\0' && p[length] != ';' && !IsBlank(p[length])) ++length;
  return length;
}

}  // namespace capture_config
