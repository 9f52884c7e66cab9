// Reader of the monitor's run settings, ./properties.txt: "key=value" lines,
// sixteen known keys, comments after ';'.
#pragma once

#include <cstdint>
#include <cstdio>

// Where the monitor and its tools find the run settings: in the folder they
// are run in.
inline constexpr const char* kPropertiesPath = "./properties.txt";

// One slot per known key, in key-table order. Integer slots are signed 32-bit;
// text slots hold a pointer to a heap copy, or null (never freed: the record
// lives for the whole run). A new record is all zeros.
struct RunProperties {
  std::int32_t laser_serial_port;
  std::int32_t laser_baud_rate;
  std::int32_t laser_hsif_board;
  std::int32_t laser_sample_period;
  std::int32_t laser_sample_lines;
  std::int32_t laser_max_range;
  std::int32_t laser_motor_number;
  std::int32_t laser_power_level;
  std::int32_t gyro_enabled;
  char* gyro_serial_port;
  std::int32_t gyro_baud_rate;
  char* gyro_mode;
  std::int32_t gps_enabled;
  char* gps_serial_port;
  std::int32_t gps_baud_rate;
  char* calibration_file;
};

// Reads `path` into a new zeroed record. Lines that match no key are reported on
// stdout (">>not found %s\n"). Returns null, after "param file not found %s\n" on
// stderr, when the file cannot be opened.
RunProperties* ReadProperties(const char* path);

// The reader takes a file at most 99 characters at a time (fgets into this many
// bytes), so a longer line reaches it as several lines.
inline constexpr int kPropertyLineBytes = 100;

// The known keys, in key-table order (the order of RunProperties' slots).
inline constexpr int kPropertyKeyCount = 16;
const char* PropertyKeyName(int key);  // null outside 0..kPropertyKeyCount-1
bool PropertyKeyIsInteger(int key);    // false for text keys and outside the range
// The key a line sets, by the reader's own rule (the line starts with the key's
// name, so "laser_max_range2=5" sets laser_max_range); -1 for none.
int MatchPropertyKey(const char* line);
// The value text of a line as the reader takes it: after the first '=', leading
// ';' skipped, up to the next ';'. Cuts `line` in place; null when there is
// none. The text is not trimmed.
char* PropertyValueText(char* line);

// Trims leading and trailing white space in place; returns `text`.
char* TrimWhitespace(char* text);

// A new heap copy of `text` (length + 1 bytes, zero-filled, then copied); null
// when memory runs out.
char* DuplicateString(const char* text);

// Prints the record as "key -> value" lines on `stream`.
void DumpProperties(std::FILE* stream, const RunProperties* record);
