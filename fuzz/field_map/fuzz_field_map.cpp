// Feeds any bytes to the field map's reader and checks what it accepts: every
// field inside the record, clear of the flags, the angle and each other, its
// name unique and its scale finite; the map written out again as a file reads
// back the same. A refusal names the file and leaves no fields.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fields/field_map.h"

using scan_fields::FieldMap;

namespace {

std::string Written(const FieldMap& map) {
  std::string text = "scanmon-fields 1\n";
  char line[160];
  for (int i = 0; i < map.count; ++i) {
    const scan_fields::Field& f = map.fields[i];
    std::snprintf(line, sizeof line, "%s %u %s %.17g %s\n", f.name, static_cast<unsigned>(f.offset),
                  scan_fields::TypeName(f.type), f.scale, f.unit[0] != '\0' ? f.unit : "-");
    text += line;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FieldMap map, again;
  std::string error;
  const char* text = reinterpret_cast<const char*>(data);
  if (!scan_fields::ParseFieldMap(text, size, "f", &map, &error)) {
    if (map.count != 0 || error.compare(0, 1, "f") != 0) std::abort();
    return 0;
  }
  if (map.version != 1 || map.count < 1 || map.count > scan_fields::kMaxFields) std::abort();
  unsigned char used[scan_fields::kRecordBytes] = {1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
  for (int i = 0; i < map.count; ++i) {
    const scan_fields::Field& f = map.fields[i];
    const std::size_t end = f.offset + scan_fields::TypeBytes(f.type);
    if (end > scan_fields::kRecordBytes || !std::isfinite(f.scale) || f.scale == 0) std::abort();
    for (std::size_t b = f.offset; b < end; ++b) {
      if (used[b]++ != 0) std::abort();  // overlaps the flags, the angle or a field
    }
    if (scan_fields::FindField(map, f.name) != i) std::abort();  // names unique
    if (std::strlen(f.name) > scan_fields::kMaxNameBytes) std::abort();
  }
  const std::string out = Written(map);
  if (!scan_fields::ParseFieldMap(out.data(), out.size(), "f", &again, &error)) std::abort();
  if (again.count != map.count) std::abort();
  for (int i = 0; i < map.count; ++i) {
    const scan_fields::Field &a = map.fields[i], &b = again.fields[i];
    if (std::strcmp(a.name, b.name) != 0 || a.offset != b.offset || a.type != b.type ||
        a.scale != b.scale || std::strcmp(a.unit, b.unit) != 0) {
      std::abort();
    }
  }
  return 0;
}
