// The field map's reader: every refusal names the file and the line (the
// cases the Python reader shares), the values of each type, and the limits.
#include "fields/field_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

namespace {

using scan_fields::FieldMap;
using scan_fields::ParseFieldMap;

struct RefusedMap {
  std::string message;  // after the file's name
  std::string text;
};

// "\t" and "\x01" in a case's lines stand for those bytes.
std::string Unescape(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line.compare(i, 2, "\\t") == 0) {
      out += '\t';
      ++i;
    } else if (line.compare(i, 2, "\\x") == 0 && i + 3 < line.size()) {
      out += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += line[i];
    }
  }
  return out;
}

std::vector<RefusedMap> ReadCases() {
  std::vector<RefusedMap> cases;
  std::string all = test_support::ReadText(FIELD_CASES);
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    at = end + 1;
    if (line.rfind("=== ", 0) == 0) {
      cases.push_back({line.substr(4), ""});
    } else if (!cases.empty()) {
      cases.back().text += Unescape(line) + "\n";
    }
  }
  return cases;
}

std::string Refusal(const std::string& text) {
  static FieldMap map;
  std::string error;
  map.count = 7;
  bool ok = ParseFieldMap(text.data(), text.size(), "m.fields", &map, &error);
  EXPECT_EQ(map.count, 0) << "a refused map keeps no fields";
  return ok ? "(accepted)" : error;
}

TEST(FieldMap, RefusesEachFaultNamingTheFileAndTheLine) {
  std::vector<RefusedMap> cases = ReadCases();
  ASSERT_GE(cases.size(), 20u);
  for (const RefusedMap& c : cases) {
    std::string expected = "m.fields" + std::string(c.message[0] == ':' ? "" : " ") + c.message;
    EXPECT_EQ(Refusal(c.text), expected) << c.text;
  }
  // The bounds of a file and a line, which a case file cannot hold.
  std::string head = "scanmon-fields 1\n";
  EXPECT_EQ(Refusal(head + "# " + std::string(199, 'x') + "\n"),
            "m.fields line 2: longer than 200 characters");
  std::string big = head + std::string(64 * 1024, '#');
  EXPECT_EQ(Refusal(big), "m.fields: larger than 64 KiB (a field map is a short text)");
  std::string many = head;
  for (int i = 0; i < 55; ++i) {
    many += "b" + std::to_string(i) + " " + std::to_string(i < 6 ? 2 + i : 10 + i) + " u8 1 -\n";
  }
  EXPECT_EQ(Refusal(many), "m.fields line 56: more than 54 fields");
}

TEST(FieldMap, ReadsEachTypeLittleEndianTimesItsScale) {
  const std::string map_text =
      "scanmon-fields 1\r\n"
      "\t# comments, blank lines and CR LF line ends are fine\r\n"
      "\r\n"
      "a 2 u8 1 -\n"
      "b 3 i8 1 -\n"
      "c 4 i16 0.5 mm   # a comment after the unit\n"
      "d 16 u64 1 -\n"
      "e 24 i32 -2 -\n"
      "f 28 f32 1 -\n"
      "g 32 i64 1 -\n"
      "h 40 u32 1 -\n"
      "i 44 u16 1 -\n"
      "j 48 f64 1e-3 m";  // no final newline
  FieldMap map;
  std::string error;
  ASSERT_TRUE(ParseFieldMap(map_text.data(), map_text.size(), "t", &map, &error)) << error;
  ASSERT_EQ(map.count, 10);
  EXPECT_STREQ(map.fields[2].unit, "mm");
  EXPECT_STREQ(map.fields[0].unit, "");

  unsigned char record[64] = {};
  auto put = [&](std::size_t at, const void* value, std::size_t bytes) {
    std::memcpy(record + at, value, bytes);  // the tests run on little-endian machines
  };
  std::uint8_t a = 250;
  std::int8_t b = -3;
  std::int16_t c = -1000;
  std::uint64_t d = (1ull << 40) + 7;
  std::int32_t e = -100000;
  float f = 1.5f;
  std::int64_t g = -(1ll << 40);
  std::uint32_t h = 4000000000u;
  std::uint16_t i = 65535;
  double j = 1234.5;
  put(2, &a, 1), put(3, &b, 1), put(4, &c, 2), put(16, &d, 8), put(24, &e, 4), put(28, &f, 4);
  put(32, &g, 8), put(40, &h, 4), put(44, &i, 2), put(48, &j, 8);
  const double expected[] = {
      250, -3,    -500,  static_cast<double>(d), 200000, 1.5, static_cast<double>(g),
      4e9, 65535, 1.2345};
  for (int k = 0; k < map.count; ++k) {
    EXPECT_NEAR(scan_fields::FieldValue(map.fields[k], record), expected[k],
                std::abs(expected[k]) * 1e-9)
        << map.fields[k].name;
  }
  EXPECT_EQ(scan_fields::FindField(map, "j"), 9);
  EXPECT_EQ(scan_fields::FindField(map, "J"), -1);
}

TEST(FieldMap, TheDemoMapAndTheFilesAroundIt) {
  FieldMap map;
  std::string error, text;
  ASSERT_TRUE(
      scan_fields::ReadFieldMapFile(SCANMON_DEMO_DIR "/standin.fields", &map, &error, &text))
      << error;
  EXPECT_EQ(text, test_support::ReadText(SCANMON_DEMO_DIR "/standin.fields"));
  ASSERT_GE(scan_fields::FindField(map, "range"), 0);
  EXPECT_EQ(map.fields[scan_fields::FindField(map, "range")].offset, 16u);

  test_support::ScratchDir dir;
  EXPECT_FALSE(scan_fields::ReadFieldMapFile(dir.File("none.fields").c_str(), &map, &error));
  EXPECT_TRUE(test_support::Contains(error, "none.fields: cannot open the field map")) << error;
  EXPECT_FALSE(scan_fields::ReadFieldMapFile(dir.str().c_str(), &map, &error));
  // A folder: Linux opens it and cannot read it, Windows cannot open it.
  EXPECT_TRUE(test_support::Contains(error, dir.str() + ": cannot ")) << error;
  EXPECT_EQ(scan_fields::FieldMapPathFor("d/scan01.prc"), "d/scan01.fields");
  EXPECT_EQ(scan_fields::FieldMapPathFor("scan01"), "scan01.fields");
}

}  // namespace
