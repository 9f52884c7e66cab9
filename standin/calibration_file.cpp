#include "standin/calibration_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

constexpr const char* kMagicLine = "hsif-calibration 1";

// One line of the file without its line end, as a bounded view.
struct Line {
  const char* text;
  std::size_t length;
};

bool IsBlankOrComment(Line line) {
  std::size_t i = 0;
  while (i < line.length && (line.text[i] == ' ' || line.text[i] == '\t')) ++i;
  return i == line.length || line.text[i] == '#';
}

// Splits "key value" (single spaces or tabs between, none inside) into two
// NUL-terminated copies. false when the line is not two words.
bool SplitKeyValue(Line line, char (&key)[64], char (&value)[kMaxCalibrationLineChars + 1]) {
  char copy[kMaxCalibrationLineChars + 1];
  std::memcpy(copy, line.text, line.length);
  copy[line.length] = '\0';
  char* words[3] = {};
  int count = 0;
  for (char* p = copy; *p != '\0';) {
    while (*p == ' ' || *p == '\t') *p++ = '\0';
    if (*p == '\0') break;
    if (count == 3) return false;
    words[count++] = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  if (count != 2 || std::strlen(words[0]) >= sizeof key) return false;
  std::strcpy(key, words[0]);
  std::strcpy(value, words[1]);
  return true;
}

bool ParseFinite(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

void SetReason(char* reason, int reason_size, const char* text, int line_number) {
  if (reason == nullptr || reason_size <= 0) return;
  if (line_number > 0) {
    std::snprintf(reason, static_cast<std::size_t>(reason_size), "line %d: %s", line_number, text);
  } else {
    std::snprintf(reason, static_cast<std::size_t>(reason_size), "%s", text);
  }
}

}  // namespace

bool ParseCalibrationText(const char* text, std::size_t length, CalibrationData* data, char* reason,
                          int reason_size) {
  CalibrationData parsed;
  bool seen_magic = false;
  bool seen_offset = false;
  bool seen_scale = false;
  bool seen_sensor = false;
  int line_number = 0;
  std::size_t position = 0;
  while (position < length) {
    ++line_number;
    std::size_t end = position;
    while (end < length && text[end] != '\n') ++end;
    Line line{text + position, end - position};
    position = end + 1;
    if (line.length > 0 && line.text[line.length - 1] == '\r') --line.length;
    if (line.length > static_cast<std::size_t>(kMaxCalibrationLineChars)) {
      SetReason(reason, reason_size, "line too long", line_number);
      return false;
    }
    if (std::memchr(line.text, '\0', line.length) != nullptr) {
      SetReason(reason, reason_size, "NUL character", line_number);
      return false;
    }
    if (IsBlankOrComment(line)) continue;
    if (!seen_magic) {
      if (line.length != std::strlen(kMagicLine) ||
          std::memcmp(line.text, kMagicLine, line.length) != 0) {
        SetReason(reason, reason_size, "first line is not \"hsif-calibration 1\"", line_number);
        return false;
      }
      seen_magic = true;
      continue;
    }
    char key[64];
    char value[kMaxCalibrationLineChars + 1];
    if (!SplitKeyValue(line, key, value)) {
      SetReason(reason, reason_size, "expected \"key value\"", line_number);
      return false;
    }
    bool* seen = nullptr;
    bool good = false;
    if (std::strcmp(key, "range_offset") == 0) {
      seen = &seen_offset;
      good = ParseFinite(value, -1000.0, 1000.0, &parsed.range_offset);
    } else if (std::strcmp(key, "range_scale") == 0) {
      seen = &seen_scale;
      good = ParseFinite(value, 0.5, 2.0, &parsed.range_scale);
    } else if (std::strcmp(key, "sensor") == 0) {
      seen = &seen_sensor;
      good = std::strlen(value) < sizeof parsed.sensor;
      if (good) std::strcpy(parsed.sensor, value);
    } else {
      SetReason(reason, reason_size, "unknown key", line_number);
      return false;
    }
    if (*seen) {
      SetReason(reason, reason_size, "key given twice", line_number);
      return false;
    }
    if (!good) {
      SetReason(reason, reason_size, "value out of range or not a number", line_number);
      return false;
    }
    *seen = true;
  }
  if (!seen_magic) {
    SetReason(reason, reason_size, "empty file", 0);
    return false;
  }
  if (!seen_offset || !seen_scale) {
    SetReason(reason, reason_size, "range_offset or range_scale missing", 0);
    return false;
  }
  *data = parsed;
  return true;
}

bool ReadCalibrationFile(const char* path, CalibrationData* data, char* reason, int reason_size) {
  if (path == nullptr) {
    SetReason(reason, reason_size, "no path", 0);
    return false;
  }
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    SetReason(reason, reason_size, "cannot open the file", 0);
    return false;
  }
  // Read once at bring-up; one buffer for the whole library is enough.
  static char contents[kMaxCalibrationFileBytes + 1];
  std::size_t length = std::fread(contents, 1, sizeof contents, file);
  bool read_error = std::ferror(file) != 0;
  std::fclose(file);
  if (read_error) {
    SetReason(reason, reason_size, "cannot read the file", 0);
    return false;
  }
  if (length > kMaxCalibrationFileBytes) {
    SetReason(reason, reason_size, "file larger than 64 KiB", 0);
    return false;
  }
  return ParseCalibrationText(contents, length, data, reason, reason_size);
}

}  // namespace standin
