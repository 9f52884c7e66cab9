#include "capture/config_line.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace capture_config {

namespace {

// The C locale's white space, as scanf and isspace see it.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A digit, or a letter O typed for one.
bool IsDigitLike(char c) {
  return (c >= '0' && c <= '9') || c == 'O' || c == 'o';
}

// Three digits and no fourth: what follows a thousands separator.
bool IsDigitGroup(const char* p) {
  return IsDigitLike(p[0]) && IsDigitLike(p[1]) && IsDigitLike(p[2]) && !IsDigitLike(p[3]);
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

const char* EndOfNumber(const char* text) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return nullptr;
  while (*p >= '0' && *p <= '9') ++p;
  return p;
}

bool HasTextAfterNumber(const char* text) {
  const char* end = EndOfNumber(text);
  return end != nullptr && *end != '\0' && *end != ';' && !IsBlank(*end);
}

void DescribeLikelyIntent(const char* text, char* out, std::size_t size) {
  if (size == 0) return;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  // The word as typed, with look-alike letters read as digits and digit group
  // separators dropped; it stops at the first character that fits neither.
  constexpr std::size_t kMaxDigits = 24;
  char digits[kMaxDigits + 2];
  std::size_t count = 0;
  if (*p == '+' || *p == '-') digits[count++] = *p++;
  bool letters = false;
  bool separators = false;
  bool point = false;
  bool other = false;
  for (; *p != '\0' && *p != ';' && !IsBlank(*p) && count < kMaxDigits; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      digits[count++] = c;
    } else if (c == 'O' || c == 'o') {
      digits[count++] = '0';
      letters = true;
    } else if ((c == ',' || c == '_' || c == '\'') && IsDigitGroup(p + 1)) {
      separators = true;
    } else if ((c == '.' || c == ',') && IsDigitLike(p[1])) {
      point = true;
      break;
    } else {
      other = true;
      break;
    }
  }
  digits[count] = '\0';
  if (point) {
    std::snprintf(out, size, "a whole number (a decimal point ends the number)");
  } else if (!other && (letters || separators)) {
    std::snprintf(out, size, "%s (%s)", digits,
                  letters ? "a letter O typed for a zero" : "digit group separators are not read");
  } else {
    std::snprintf(out, size, "the number alone, with a blank or ';' before any comment");
  }
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
