#include "standin/angle_script.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

TokenResult NextScriptSample(const char** cursor, ScriptSample* sample) {
  const char* p = *cursor;
  while (IsSpace(*p)) ++p;
  if (*p == '\0') {
    *cursor = p;
    return TokenResult::kEnd;
  }
  const char* start = p;
  while (*p != '\0' && !IsSpace(*p)) ++p;
  *cursor = p;
  std::size_t length = static_cast<std::size_t>(p - start);
  char token[96];
  if (length >= sizeof token) return TokenResult::kMalformed;
  std::memcpy(token, start, length);
  token[length] = '\0';

  char* colon = std::strchr(token, ':');
  if (colon != nullptr) *colon = '\0';
  char* end = nullptr;
  double angle = std::strtod(token, &end);
  if (end == token || *end != '\0') return TokenResult::kMalformed;
  long flags = 0;
  if (colon != nullptr) {
    const char* digits = colon + 1;
    if (*digits < '0' || *digits > '9') return TokenResult::kMalformed;
    errno = 0;
    flags = std::strtol(digits, &end, 10);
    if (errno != 0 || *end != '\0' || flags > 0xffff) return TokenResult::kMalformed;
  }
  sample->angle = angle;
  sample->flags = static_cast<std::uint16_t>(flags);
  return TokenResult::kSample;
}

bool ReadScriptLine(std::FILE* file, char* line, bool* cut) {
  *cut = false;
  if (std::fgets(line, kMaxScriptLineChars + 1, file) == nullptr) return false;
  std::size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
  } else if (!std::feof(file)) {
    *cut = true;
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
    }
  }
  return true;
}

}  // namespace standin
