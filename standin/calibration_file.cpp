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

namespace {

// Walks the text and reports each problem as (line, key, words): key is "" when
// the problem is not one key's. Stops at the first unless `keep_going`. true
// when there was none; *data is filled only then.
struct ProblemSink {
  CalibrationProblemHandler handler;
  void* context;
  bool keep_going;
  int count;
};

bool Report(ProblemSink* sink, int line_number, const char* key, const char* what) {
  ++sink->count;
  sink->handler(line_number, key, what, sink->context);
  return sink->keep_going;
}

bool WalkCalibrationText(const char* text, std::size_t length, CalibrationData* data,
                         ProblemSink* sink) {
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
      if (!Report(sink, line_number, "", "line too long")) return false;
      continue;
    }
    if (std::memchr(line.text, '\0', line.length) != nullptr) {
      if (!Report(sink, line_number, "", "NUL character")) return false;
      continue;
    }
    if (IsBlankOrComment(line)) continue;
    if (!seen_magic) {
      seen_magic = true;
      if (line.length != std::strlen(kMagicLine) ||
          std::memcmp(line.text, kMagicLine, line.length) != 0) {
        if (!Report(sink, line_number, "", "first line is not \"hsif-calibration 1\"")) {
          return false;
        }
      }
      continue;
    }
    char key[64];
    char value[kMaxCalibrationLineChars + 1];
    char what[sizeof key + sizeof value + 40];
    if (!SplitKeyValue(line, key, value)) {
      if (!Report(sink, line_number, "", "expected \"key value\"")) return false;
      continue;
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
      std::snprintf(what, sizeof what, "unknown key %s", key);
      if (!Report(sink, line_number, key, what)) return false;
      continue;
    }
    if (*seen) {
      std::snprintf(what, sizeof what, "%s given twice", key);
      if (!Report(sink, line_number, key, what)) return false;
      continue;
    }
    *seen = true;  // given, if badly: not missing
    if (!good) {
      std::snprintf(what, sizeof what, "%s %s is out of range or not a number", key, value);
      if (!Report(sink, line_number, key, what)) return false;
      continue;
    }
  }
  if (!seen_magic) {
    Report(sink, 0, "", "empty file");
    return false;
  }
  if (!seen_offset && !Report(sink, 0, "range_offset", "range_offset missing")) return false;
  if (!seen_scale && !Report(sink, 0, "range_scale", "range_scale missing")) return false;
  if (sink->count > 0) return false;
  *data = parsed;
  return true;
}

// Keeps the first problem's words as the reason.
struct FirstReason {
  char* reason;
  int size;
};

void KeepFirstReason(int line_number, const char* /*key*/, const char* what, void* context) {
  auto* first = static_cast<FirstReason*>(context);
  SetReason(first->reason, first->size, what, line_number);
}

}  // namespace

bool ParseCalibrationText(const char* text, std::size_t length, CalibrationData* data, char* reason,
                          int reason_size) {
  FirstReason first{reason, reason_size};
  ProblemSink sink{KeepFirstReason, &first, false, 0};
  return WalkCalibrationText(text, length, data, &sink);
}

int ListCalibrationProblems(const char* text, std::size_t length, CalibrationProblemHandler handler,
                            void* context) {
  CalibrationData ignored;
  ProblemSink sink{handler, context, true, 0};
  WalkCalibrationText(text, length, &ignored, &sink);
  return sink.count;
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
