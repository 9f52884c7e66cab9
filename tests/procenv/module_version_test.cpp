// GetModuleVersion on PE files built here (both bit widths), on this test
// program itself (which carries the build's version information), and on files
// that have no version; the text buffer's bounds; the path limit. Portable: on
// Windows the system's own version calls read the same images.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "procenv/module_version.h"
#include "tests/procenv/pe_image_builder.h"
#include "tests/procenv/pe_image_folder.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using test_support::BuildPeImage;
using test_support::PeImageOptions;

namespace {

class ModuleVersion : public test_support::PeImageFolder {};

struct ImageCase {
  const char* label;
  PeImageOptions options;
  int result;
  const char* text;
};

ImageCase MakeCase(const char* label, bool pe32_plus, std::uint32_t ms, std::uint32_t ls,
                   int result, const char* text) {
  PeImageOptions options;
  options.pe32_plus = pe32_plus;
  options.file_version_ms = ms;
  options.file_version_ls = ls;
  return ImageCase{label, options, result, text};
}

TEST_F(ModuleVersion, ReadsTheFileVersionOfPeImages) {
  std::vector<ImageCase> cases = {
      MakeCase("pe32", false, 0x00010002, 0x00030004, 1, "1.2.3.4"),
      MakeCase("pe32plus", true, 0x00010002, 0x00030004, 1, "1.2.3.4"),
      MakeCase("largest", true, 0xFFFFFFFF, 0xFFFFFFFF, 1, "65535.65535.65535.65535"),
      MakeCase("zero", false, 0, 0, 1, "0.0.0.0"),
      MakeCase("halves", false, 0x80000001, 0x00108000, 1, "32768.1.16.32768"),
  };
  ImageCase named = MakeCase("named_type_first", true, 0x00070008, 0x00090000, 1, "7.8.9.0");
  named.options.named_entry_first = true;
  cases.push_back(named);
  ImageCase no_resources = MakeCase("no_resources", false, 1, 1, 0, "");
  no_resources.options.with_resources = false;
  cases.push_back(no_resources);
  ImageCase no_version = MakeCase("no_version", true, 1, 1, 0, "");
  no_version.options.with_version = false;
  cases.push_back(no_version);
  ImageCase no_fixed = MakeCase("no_fixed_info", false, 1, 1, 0, "");
  no_fixed.options.with_fixed_info = false;
  cases.push_back(no_fixed);

  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = WriteImage(std::string(c.label) + ".dll", c.options);
    char text[kVersionTextSize];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(GetModuleVersion(path.c_str(), text, sizeof text), c.result);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(ModuleVersion, FilesWithoutVersionGiveZeroAndEmptyText) {
  std::string text_file = (folder_ / "notes.txt").string();
  test_support::WriteBytes(text_file, {'M', 'Z', 'h', 'i'});
  std::string empty_file = (folder_ / "empty.dll").string();
  test_support::WriteBytes(empty_file, {});
  const std::string paths[] = {(folder_ / "missing.dll").string(), text_file, empty_file,
                               folder_.string()};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    char text[kVersionTextSize];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(GetModuleVersion(path.c_str(), text, sizeof text), 0);
    EXPECT_STREQ(text, "");
  }
}

TEST_F(ModuleVersion, RunningProgramCarriesTheBuildVersion) {
  char text[kVersionTextSize];
  std::memset(text, 'Z', sizeof text);
  ASSERT_EQ(GetModuleVersion(nullptr, text, sizeof text), 1);
  EXPECT_STREQ(text, "1.1.0.0");
}

// The text is cut to the buffer and terminated; nothing is written past it, and
// with no room at all nothing is written. The result stays 1.
TEST_F(ModuleVersion, TextIsBoundedByTheBuffer) {
  PeImageOptions options;
  options.file_version_ms = 0xFFFFFFFF;
  options.file_version_ls = 0xFFFFFFFF;
  std::string path = WriteImage("wide.dll", options);
  struct SizeCase {
    int size;
    const char* text;  // null: nothing written
  };
  const SizeCase cases[] = {
      {24, "65535.65535.65535.65535"},
      {23, "65535.65535.65535.6553"},
      {6, "65535"},
      {1, ""},
      {0, nullptr},
      {-1, nullptr},
      {-2147483647 - 1, nullptr},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.size);
    char text[32];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(GetModuleVersion(path.c_str(), text, c.size), 1);
    if (c.text == nullptr) {
      EXPECT_EQ(text[0], 'Z');
    } else {
      EXPECT_STREQ(text, c.text);
      EXPECT_EQ(text[c.size], 'Z') << "wrote past the buffer";
    }
  }
  EXPECT_EQ(GetModuleVersion(path.c_str(), nullptr, 24), 1);
}

// 259 characters fit the path buffer; 260 are refused even when the file exists.
TEST_F(ModuleVersion, PathsLongerThan259CharactersAreRefused) {
  fs::path directory = folder_;
  while (directory.string().size() < 200) directory /= std::string(40, 'd');
  fs::create_directories(directory);
  std::string base = directory.string() + "/";
  std::string fits = base + std::string(259 - base.size(), 'f');
  std::string too_long = base + std::string(260 - base.size(), 'f');
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_TRUE(test_support::WriteBytes(fits, BuildPeImage(PeImageOptions{})));
  ASSERT_TRUE(test_support::WriteBytes(too_long, BuildPeImage(PeImageOptions{})));

  char text[kVersionTextSize];
  EXPECT_EQ(GetModuleVersion(fits.c_str(), text, sizeof text), 1);
  EXPECT_STREQ(text, "1.2.3.4");
  std::memset(text, 'Z', sizeof text);
  EXPECT_EQ(GetModuleVersion(too_long.c_str(), text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

}  // namespace
