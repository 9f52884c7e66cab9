// The field map: names for the bytes of the processed record that are the
// driver's (docs/fields.md).
//
// The processed record is 64 bytes. This system knows two of its fields, the
// flags word (bytes 0-1) and the mirror angle (bytes 8-15); the rest is the
// driver's, passed on as it came. What the driver puts there is known for the
// stand-in (docs/standin.md) and may be known to an integrator for the card's
// own driver: a field map says it once, in a file that travels with the data
// (capture-record --fields copies it beside the capture as <base>.fields).
//
//   scanmon-fields 1
//   # name      offset type scale unit
//   range       16     f64  1     in
//
// Without a map nothing is decoded: no reader guesses a meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace scan_fields {

// The one version this reader knows; a file of another version is refused.
constexpr int kFieldMapVersion = 1;
// The record a map describes, and the bytes it may not name.
constexpr std::size_t kRecordBytes = 64;
constexpr std::size_t kFlagsEnd = 2;    // flags: bytes 0-1
constexpr std::size_t kAngleStart = 8;  // angle: bytes 8-15
constexpr std::size_t kAngleEnd = 16;
// Limits on a file: its size, a line's length, a name's and a unit's length.
constexpr std::size_t kMaxFileBytes = 64 * 1024;
constexpr std::size_t kMaxLineBytes = 200;
constexpr std::size_t kMaxNameBytes = 32;
constexpr std::size_t kMaxUnitBytes = 16;
// The driver's bytes (2-7 and 16-63): at most one field per byte.
constexpr int kMaxFields = 54;

enum class FieldType : std::uint8_t { kU8, kI8, kU16, kI16, kU32, kI32, kU64, kI64, kF32, kF64 };

// The type's bytes and its name in a map ("u16", "f64").
std::size_t TypeBytes(FieldType type);
const char* TypeName(FieldType type);

struct Field {
  char name[kMaxNameBytes + 1];  // NUL-terminated
  std::uint32_t offset;          // first byte in the record
  FieldType type;                // little-endian
  double scale;                  // value = stored number x scale
  char unit[kMaxUnitBytes + 1];  // "" for none ("-" in the file)
};

struct FieldMap {
  int version;
  int count;
  Field fields[kMaxFields];
};

// Reads a map from `text` (`size` bytes). `label` names the file in the
// message. On failure returns false and sets *error to one line such as
// "demo.fields line 4: offset 9 lies inside the angle (bytes 8-15)";
// *map is then left with no fields.
bool ParseFieldMap(const char* text, std::size_t size, const char* label, FieldMap* map,
                   std::string* error);

// Reads the map file at `path` (at most kMaxFileBytes). *text, when not null,
// gets the file's bytes (capture-record copies them as they were).
bool ReadFieldMapFile(const char* path, FieldMap* map, std::string* error,
                      std::string* text = nullptr);

// The field named `name`, or -1.
int FindField(const FieldMap& map, const char* name);

// The field's value in a 64-byte record: the stored number times the scale.
// (64-bit integers beyond 2^53 lose their last digits as a double.)
double FieldValue(const Field& field, const unsigned char* record);

// "<base>.fields" for a capture's base name given with or without ".prc".
std::string FieldMapPathFor(const std::string& base);

}  // namespace scan_fields
