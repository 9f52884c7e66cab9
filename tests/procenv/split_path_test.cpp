// SplitPath on a table of paths: the name it yields, the extension, and what the
// text holds afterwards (only the file name is lower-cased; the last full stop
// of the name becomes the terminator).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "procenv/split_path.h"

namespace {

struct SplitCase {
  const char* path;
  const char* name;        // what the result points at
  const char* extension;   // null: no extension
  const char* text_after;  // the whole text afterwards, up to its first NUL
};

const SplitCase kCases[] = {
    {"C:\\Data\\Scan.RAW", "scan", "raw", "C:\\Data\\scan"},
    {"archive.TAR.GZ", "archive.tar", "gz", "archive.tar"},
    {"dir.d\\file", "file", nullptr, "dir.d\\file"},
    {"name.", "name", "", "name"},
    {".profile", ".profile", nullptr, ".profile"},
    {"dir\\.txt", "", "txt", "dir\\"},
    {"\\name.txt", "\\name", "txt", "\\name"},
    {"Dir\\Sub\\", "", nullptr, "Dir\\Sub\\"},
    {"X", "x", nullptr, "x"},
    {"", "", nullptr, ""},
    {"A.B\\C.D\\E.F", "e", "f", "A.B\\C.D\\e"},
    {"/usr/Share/Doc.TXT", "/usr/share/doc", "txt", "/usr/share/doc"},  // '/' is no separator
    {"\\", "\\", nullptr, "\\"},
    {"\\\\", "", nullptr, "\\\\"},
    {"C:\\\xC3\x84\xC3\x96\xC4.DAT", "\xC3\x84\xC3\x96\xC4", "dat",
     "C:\\\xC3\x84\xC3\x96\xC4"},  // high bytes stay
    {"MIXED.Case.Ext", "mixed.case", "ext", "mixed.case"},
    {"a..", "a.", "", "a."},
};

class SplitPathTable : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitPathTable, YieldsNameAndExtensionInPlace) {
  const SplitCase& c = GetParam();
  char text[64];
  std::memset(text, 0x7E, sizeof text);
  std::strcpy(text, c.path);
  std::size_t length = std::strlen(c.path);
  char* extension = reinterpret_cast<char*>(&text[40]);  // junk that must be overwritten

  char* name = SplitPath(text, &extension);

  ASSERT_GE(name, text);
  ASSERT_LE(name, text + length);
  EXPECT_STREQ(name, c.name);
  if (c.extension == nullptr) {
    EXPECT_EQ(extension, nullptr);
  } else {
    ASSERT_NE(extension, nullptr);
    EXPECT_GT(extension, text);
    EXPECT_LE(extension, text + length);
    EXPECT_STREQ(extension, c.extension);
  }
  EXPECT_STREQ(text, c.text_after);
  EXPECT_EQ(text[length + 1], 0x7E) << "wrote past the terminator";
}

INSTANTIATE_TEST_SUITE_P(Paths, SplitPathTable, testing::ValuesIn(kCases));

TEST(SplitPath, ExtensionStaysInTheTextAfterTheNewTerminator) {
  char text[] = "C:\\Data\\Scan.RAW";
  char* extension = nullptr;
  SplitPath(text, &extension);
  // Bytes after the new terminator are the rest of the name: lower-cased too.
  EXPECT_EQ(std::string(text, sizeof text - 1), std::string("C:\\Data\\scan\0raw", 16));
}

TEST(SplitPath, NullPathAndNullExtensionPointerAreSafe) {
  char* extension = reinterpret_cast<char*>(1);
  EXPECT_EQ(SplitPath(nullptr, &extension), nullptr);
  EXPECT_EQ(extension, nullptr);
  char text[] = "A.B";
  EXPECT_STREQ(SplitPath(text, nullptr), "a");
}

}  // namespace
