#include "properties/properties.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum class SlotKind { kInteger, kText };

struct KeyEntry {
  const char* key;  // null marks the end of the table
  SlotKind kind;
  std::int32_t RunProperties::*integer_slot;
  char* RunProperties::*text_slot;
};

constexpr KeyEntry Integer(const char* key, std::int32_t RunProperties::*slot) {
  return {key, SlotKind::kInteger, slot, nullptr};
}
constexpr KeyEntry Text(const char* key, char* RunProperties::*slot) {
  return {key, SlotKind::kText, nullptr, slot};
}

constexpr KeyEntry kKeyTable[] = {
    Integer("laser_serial_port", &RunProperties::laser_serial_port),
    Integer("laser_baud_rate", &RunProperties::laser_baud_rate),
    Integer("laser_hsif_board", &RunProperties::laser_hsif_board),
    Integer("laser_sample_period", &RunProperties::laser_sample_period),
    Integer("laser_sample_lines", &RunProperties::laser_sample_lines),
    Integer("laser_max_range", &RunProperties::laser_max_range),
    Integer("laser_motor_number", &RunProperties::laser_motor_number),
    Integer("laser_power_level", &RunProperties::laser_power_level),
    Integer("gyro_enabled", &RunProperties::gyro_enabled),
    Text("gyro_serial_port", &RunProperties::gyro_serial_port),
    Integer("gyro_baud_rate", &RunProperties::gyro_baud_rate),
    Text("gyro_mode", &RunProperties::gyro_mode),
    Integer("gps_enabled", &RunProperties::gps_enabled),
    Text("gps_serial_port", &RunProperties::gps_serial_port),
    Integer("gps_baud_rate", &RunProperties::gps_baud_rate),
    Text("calibration_file", &RunProperties::calibration_file),
    {nullptr, SlotKind::kInteger, nullptr, nullptr},
};
static_assert(sizeof kKeyTable / sizeof kKeyTable[0] == kPropertyKeyCount + 1);

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The leading base-10 integer as strtol reads it, clamped to 32 bits (long is
// 32-bit on Windows and 64-bit on Linux; the clamp makes both agree).
std::int32_t ParseInteger(const char* text) {
  errno = 0;
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

void ApplyLine(RunProperties* record, const KeyEntry& entry, char* line) {
  char* value = PropertyValueText(line);
  if (value == nullptr) return;
  TrimWhitespace(value);
  if (*value == '\0') return;
  if (entry.kind == SlotKind::kInteger) {
    record->*entry.integer_slot = ParseInteger(value);
  } else {
    // A repeated key keeps its last value. Nothing outside the reader can hold
    // the earlier copy yet, so it is freed rather than leaked.
    std::free(record->*entry.text_slot);
    record->*entry.text_slot = DuplicateString(value);
  }
}

const KeyEntry* MatchKey(const char* line) {
  int key = MatchPropertyKey(line);
  return key >= 0 ? &kKeyTable[key] : nullptr;
}

}  // namespace

const char* PropertyKeyName(int key) {
  return key >= 0 && key < kPropertyKeyCount ? kKeyTable[key].key : nullptr;
}

bool PropertyKeyIsInteger(int key) {
  return key >= 0 && key < kPropertyKeyCount && kKeyTable[key].kind == SlotKind::kInteger;
}

int MatchPropertyKey(const char* line) {
  for (int key = 0; key < kPropertyKeyCount; ++key) {
    const char* name = kKeyTable[key].key;
    if (std::strncmp(line, name, std::strlen(name)) == 0) return key;
  }
  return -1;
}

char* PropertyValueText(char* line) {
  char* equals = std::strchr(line, '=');
  if (equals == nullptr) return nullptr;
  char* value = equals + 1;
  while (*value == ';') ++value;
  if (*value == '\0') return nullptr;
  char* comment = std::strchr(value, ';');
  if (comment != nullptr) *comment = '\0';
  return value;
}

RunProperties* ReadProperties(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "param file not found %s\n", path);
    return nullptr;
  }
  auto* record = static_cast<RunProperties*>(std::calloc(1, sizeof(RunProperties)));
  if (record == nullptr) {
    std::fclose(file);
    std::fprintf(stderr, "out of memory reading %s\n", path);
    return nullptr;
  }
  char line[kPropertyLineBytes];
  while (!std::feof(file)) {
    if (std::fgets(line, sizeof line, file) == nullptr) break;
    const KeyEntry* entry = MatchKey(line);
    if (entry != nullptr) {
      ApplyLine(record, *entry, line);
    } else {
      std::printf(">>not found %s\n", TrimWhitespace(line));
    }
  }
  std::fclose(file);
  return record;
}

char* TrimWhitespace(char* text) {
  std::size_t length = std::strlen(text);
  if (length == 0) return text;
  std::size_t end = length;
  while (end > 0 && IsSpace(text[end - 1])) text[--end] = '\0';
  if (end == 0) return text;
  std::size_t start = 0;
  while (IsSpace(text[start])) ++start;
  if (start > 0) std::memmove(text, text + start, end - start + 1);
  return text;
}

char* DuplicateString(const char* text) {
  std::size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::calloc(length + 1, 1));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

void DumpProperties(std::FILE* stream, const RunProperties* record) {
  std::fprintf(stream, "dump of input parameters\n");
  for (const KeyEntry* entry = kKeyTable; entry->key != nullptr; ++entry) {
    if (entry->kind == SlotKind::kInteger) {
      std::fprintf(stream, "%s -> %d\n", entry->key, record->*entry->integer_slot);
    } else {
      const char* text = record->*entry->text_slot;
      std::fprintf(stream, "%s -> %s\n", entry->key, text != nullptr ? text : "(null)");
    }
  }
}
