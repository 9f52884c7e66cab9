// The field map's reader (field_map.h, docs/fields.md): the file checked line
// by line, every refusal naming the file and the line.
#include "fields/field_map.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <system_error>

namespace scan_fields {
namespace {

// Joins the parts of a message. (GCC 12 at -O2 warns falsely of an overlap in
// "literal" + std::string, which -Werror makes an error.)
std::string Text(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part.data(), part.size());
  return text;
}

struct TypeInfo {
  FieldType type;
  const char* name;
  std::size_t bytes;
};

constexpr TypeInfo kTypes[] = {
    {FieldType::kU8, "u8", 1},   {FieldType::kI8, "i8", 1},   {FieldType::kU16, "u16", 2},
    {FieldType::kI16, "i16", 2}, {FieldType::kU32, "u32", 4}, {FieldType::kI32, "i32", 4},
    {FieldType::kU64, "u64", 8}, {FieldType::kI64, "i64", 8}, {FieldType::kF32, "f32", 4},
    {FieldType::kF64, "f64", 8},
};

// Names the record's own fields and capture-export's columns already use: a
// field may not take them (an export would have two columns of one name).
constexpr const char* kReservedNames[] = {
    "flags",     "angle",      "record",     "time_s", "utc_ns",
    "angle_deg", "index_mark", "revolution", "block",  "gap_before",
};
constexpr std::string_view kReservedPrefix = "driver_bytes";

constexpr std::size_t kMaxWords = 6;  // five and one more, to tell "too many"

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9');
}

// A line's words, up to kMaxWords; a word starting with '#' ends the line.
std::size_t SplitWords(std::string_view line, std::string_view* words) {
  std::size_t count = 0;
  std::size_t at = 0;
  while (at < line.size() && count < kMaxWords) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size() || line[at] == '#') break;
    std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    words[count++] = line.substr(start, at - start);
  }
  return count;
}

// The word as a message shows it: cut, with anything unprintable as '?'.
std::string Shown(std::string_view word) {
  std::string out;
  for (char c : word.substr(0, 40)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  if (word.size() > 40) out += "...";
  return out;
}

class Parser {
 public:
  Parser(const char* label, FieldMap* map, std::string* error)
      : label_(label == nullptr ? "field map" : label), map_(map), error_(error) {}

  bool Fail(std::size_t line, const std::string& why) {
    *error_ = std::string(label_) + " line " + std::to_string(line) + ": " + why;
    map_->count = 0;
    return false;
  }

  bool Fail(const std::string& why) {
    *error_ = std::string(label_) + ": " + why;
    map_->count = 0;
    return false;
  }

  bool Line(std::size_t number, std::string_view line) {
    for (char c : line) {
      auto byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", byte);
        return Fail(number, std::string("holds the control character ") + code);
      }
    }
    std::string_view words[kMaxWords];
    std::size_t count = SplitWords(line, words);
    if (count == 0) return true;  // blank or a comment
    if (!seen_header_) return Header(number, words, count);
    return FieldLine(number, words, count);
  }

  bool Finish() {
    if (!seen_header_) {
      return Fail("no \"scanmon-fields 1\" line: an empty file, or not a field map");
    }
    if (map_->count == 0) return Fail("names no field");
    return true;
  }

 private:
  bool Header(std::size_t number, const std::string_view* words, std::size_t count) {
    if (words[0] != "scanmon-fields") {
      return Fail(number,
                  Text({"\"", Shown(words[0]),
                        "\" where \"scanmon-fields 1\" must come first (not a field map?)"}));
    }
    int version = 0;
    if (count != 2 || !Number(words[1], &version)) {
      return Fail(number, "the first line must be \"scanmon-fields\" and a version number");
    }
    if (version != kFieldMapVersion) {
      return Fail(number, "version " + Shown(words[1]) + "; this reader knows version " +
                              std::to_string(kFieldMapVersion));
    }
    map_->version = version;
    seen_header_ = true;
    return true;
  }

  static bool Number(std::string_view word, int* value) {
    const char* end = word.data() + word.size();
    auto result = std::from_chars(word.data(), end, *value);
    return result.ec == std::errc() && result.ptr == end;
  }

  bool FieldLine(std::size_t number, const std::string_view* words, std::size_t count) {
    if (count != 5) {
      return Fail(number,
                  "a field is five words, name offset type scale unit (\"-\" for no "
                  "unit); this line has " +
                      std::string(count > 5 ? "more" : std::to_string(count)));
    }
    if (map_->count == kMaxFields) {
      return Fail(number, "more than " + std::to_string(kMaxFields) + " fields");
    }
    Field& field = map_->fields[map_->count];
    std::memset(&field, 0, sizeof field);
    if (!Name(number, words[0], &field)) return false;

    int offset = -1;
    if (!Number(words[1], &offset) || offset < 0 || offset >= static_cast<int>(kRecordBytes)) {
      return Fail(number, "offset \"" + Shown(words[1]) + "\": a whole number 0 to 63");
    }
    field.offset = static_cast<std::uint32_t>(offset);

    const TypeInfo* type = nullptr;
    for (const TypeInfo& t : kTypes) {
      if (words[2] == t.name) type = &t;
    }
    if (type == nullptr) {
      return Fail(number,
                  "type \"" + Shown(words[2]) + "\": one of u8 i8 u16 i16 u32 i32 u64 i64 f32 f64");
    }
    field.type = type->type;
    if (!Place(number, field.offset, type->bytes)) return false;

    const char* end = words[3].data() + words[3].size();
    auto scaled = std::from_chars(words[3].data(), end, field.scale);
    if (scaled.ec != std::errc() || scaled.ptr != end || !std::isfinite(field.scale) ||
        field.scale == 0.0) {
      return Fail(number,
                  "scale \"" + Shown(words[3]) + "\": a decimal number other than 0 (1 for none)");
    }

    if (words[4] != "-") {
      if (words[4].size() > kMaxUnitBytes) {
        return Fail(number, "unit \"" + Shown(words[4]) + "\": longer than " +
                                std::to_string(kMaxUnitBytes) + " characters");
      }
      for (char c : words[4]) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
          return Fail(number,
                      "unit \"" + Shown(words[4]) + "\": printable ASCII only (\"-\" for none)");
        }
      }
      std::memcpy(field.unit, words[4].data(), words[4].size());
    }
    lines_[map_->count] = number;
    ++map_->count;
    return true;
  }

  bool Name(std::size_t number, std::string_view name, Field* field) {
    bool good = name.size() <= kMaxNameBytes && IsNameStart(name[0]);
    for (char c : name) good = good && IsNameChar(c);
    if (!good) {
      return Fail(number, Text({"name \"", Shown(name),
                                "\": a letter or _ then letters, digits or _, at most ",
                                std::to_string(kMaxNameBytes), " characters"}));
    }
    for (const char* reserved : kReservedNames) {
      if (name == reserved) {
        return Fail(number, Text({"the name \"", name, "\" is the record's or the export's own"}));
      }
    }
    if (name.substr(0, kReservedPrefix.size()) == kReservedPrefix) {
      return Fail(number, "names starting \"driver_bytes\" are the export's own");
    }
    for (int i = 0; i < map_->count; ++i) {
      if (name == map_->fields[i].name) {
        return Fail(number, Text({"the name \"", name, "\" is taken (line ",
                                  std::to_string(lines_[i]), ")"}));
      }
    }
    std::memcpy(field->name, name.data(), name.size());
    return true;
  }

  // The bytes offset..offset+bytes-1: inside the record, clear of the flags,
  // the angle and every field before.
  bool Place(std::size_t number, std::uint32_t offset, std::size_t bytes) {
    std::size_t end = offset + bytes;
    std::string where = "bytes " + std::to_string(offset) + "-" + std::to_string(end - 1);
    if (end > kRecordBytes) return Fail(number, where + " reach past the 64-byte record");
    if (offset < kFlagsEnd) return Fail(number, where + " overlap the flags (bytes 0-1)");
    if (offset < kAngleEnd && end > kAngleStart) {
      return Fail(number, where + " overlap the angle (bytes 8-15)");
    }
    for (int i = 0; i < map_->count; ++i) {
      const Field& other = map_->fields[i];
      std::size_t other_end = other.offset + TypeBytes(other.type);
      if (offset < other_end && end > other.offset) {
        return Fail(number, where + " overlap the field \"" + other.name + "\" (line " +
                                std::to_string(lines_[i]) + ")");
      }
    }
    return true;
  }

  const char* label_;
  FieldMap* map_;
  std::string* error_;
  bool seen_header_ = false;
  std::size_t lines_[kMaxFields] = {};
};

}  // namespace

std::size_t TypeBytes(FieldType type) {
  for (const TypeInfo& t : kTypes) {
    if (t.type == type) return t.bytes;
  }
  return 0;
}

const char* TypeName(FieldType type) {
  for (const TypeInfo& t : kTypes) {
    if (t.type == type) return t.name;
  }
  return "?";
}

bool ParseFieldMap(const char* text, std::size_t size, const char* label, FieldMap* map,
                   std::string* error) {
  map->version = 0;
  map->count = 0;
  Parser parser(label, map, error);
  if (size > kMaxFileBytes) {
    return parser.Fail("larger than " + std::to_string(kMaxFileBytes / 1024) +
                       " KiB (a field map is a short text)");
  }
  std::string_view all(text, size);
  std::size_t number = 0;
  std::size_t at = 0;
  while (at < all.size()) {
    ++number;
    std::size_t newline = all.find('\n', at);
    std::size_t end = newline == std::string_view::npos ? all.size() : newline;
    std::string_view line = all.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineBytes) {
      return parser.Fail(number, "longer than " + std::to_string(kMaxLineBytes) + " characters");
    }
    if (!parser.Line(number, line)) return false;
    at = end + 1;
  }
  return parser.Finish();
}

bool ReadFieldMapFile(const char* path, FieldMap* map, std::string* error, std::string* text) {
  map->version = 0;
  map->count = 0;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    *error = std::string(path) + ": cannot open the field map: " + std::strerror(errno);
    return false;
  }
  std::string bytes(kMaxFileBytes + 1, '\0');
  std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = std::string(path) + ": cannot read the field map (a folder?)";
    return false;
  }
  bytes.resize(got);
  if (!ParseFieldMap(bytes.data(), bytes.size(), path, map, error)) return false;
  if (text != nullptr) *text = std::move(bytes);
  return true;
}

int FindField(const FieldMap& map, const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < map.count; ++i) {
    if (std::strcmp(map.fields[i].name, name) == 0) return i;
  }
  return -1;
}

double FieldValue(const Field& field, const unsigned char* record) {
  const unsigned char* p = record + field.offset;
  std::uint64_t bits = 0;
  std::size_t bytes = TypeBytes(field.type);
  for (std::size_t i = 0; i < bytes; ++i) bits |= std::uint64_t{p[i]} << (8 * i);
  double value = 0;
  switch (field.type) {
    case FieldType::kU8:
    case FieldType::kU16:
    case FieldType::kU32:
    case FieldType::kU64:
      value = static_cast<double>(bits);
      break;
    case FieldType::kI8:
      value = static_cast<std::int8_t>(bits);
      break;
    case FieldType::kI16:
      value = static_cast<std::int16_t>(bits);
      break;
    case FieldType::kI32:
      value = static_cast<std::int32_t>(bits);
      break;
    case FieldType::kI64:
      value = static_cast<double>(static_cast<std::int64_t>(bits));
      break;
    case FieldType::kF32: {
      auto narrow = static_cast<std::uint32_t>(bits);
      float f;
      std::memcpy(&f, &narrow, sizeof f);
      value = f;
      break;
    }
    case FieldType::kF64:
      std::memcpy(&value, &bits, sizeof value);
      break;
  }
  return value * field.scale;
}

std::string FieldMapPathFor(const std::string& base) {
  // ".prc" in any case, as capture-info and the Python reader take it.
  std::string stem = base;
  if (stem.size() > 4) {
    std::string tail = stem.substr(stem.size() - 4);
    for (char& c : tail) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (tail == ".prc") stem.resize(stem.size() - 4);
  }
  return stem + ".fields";
}

}  // namespace scan_fields
