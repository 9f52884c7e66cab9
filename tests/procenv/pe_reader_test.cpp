// The Linux version calls and the portable version reader against damaged files: every prefix of a
// good image, damaged fields, a resource tree that points back into itself, and ELF files with and
// without our note. Each damaged image is copied into a buffer of exactly its size, so a read past
// it shows under the address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/common/pe_version.h"
#include "platform/errors.h"
#include "platform/format_message.h"
#include "platform/version_info.h"
#include "tests/procenv/pe_image_builder.h"
#include "tests/procenv/pe_image_folder.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using test_support::BuildPeImage;
using test_support::PeImageLayout;
using test_support::PeImageOptions;
using version_resource::ByteView;

namespace {

// Runs the reader on an exact-size copy; when it finds a block, the block must
// lie inside the image.
bool FindIn(const std::vector<std::uint8_t>& image, win::DWORD* error = nullptr) {
  std::vector<std::uint8_t> copy(image);
  ByteView block{nullptr, 0};
  win::DWORD code = 0;
  bool found =
      version_resource::FindVersionBlock(ByteView{copy.data(), copy.size()}, &block, &code);
  if (found) {
    EXPECT_GE(block.data, copy.data());
    EXPECT_LE(block.data + block.size, copy.data() + copy.size());
    std::size_t offset = 0;
    version_resource::FindFixedFileInfo(block, &offset);
  }
  if (error != nullptr) *error = code;
  return found;
}

void Put32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST(PeReader, EveryPrefixOfAGoodImageIsReadSafely) {
  for (bool wide : {false, true}) {
    PeImageOptions options;
    options.pe32_plus = wide;
    PeImageLayout layout{};
    std::vector<std::uint8_t> image = BuildPeImage(options, &layout);
    ASSERT_TRUE(FindIn(image));
    for (std::size_t length = 0; length < image.size(); ++length) {
      std::vector<std::uint8_t> prefix(image.begin(), image.begin() + length);
      bool found = FindIn(prefix);
      // The block is found exactly when all of it is in the file.
      EXPECT_EQ(found, length >= layout.version_block + layout.version_block_size) << length;
    }
  }
}

// The reasons the reader gives for a file without a usable version block.
bool IsRefusal(win::DWORD error) {
  return error == win::ERROR_BAD_EXE_FORMAT || error == win::ERROR_RESOURCE_DATA_NOT_FOUND ||
         error == win::ERROR_RESOURCE_TYPE_NOT_FOUND ||
         error == win::ERROR_RESOURCE_NAME_NOT_FOUND || error == win::ERROR_RESOURCE_LANG_NOT_FOUND;
}

TEST(PeReader, EveryDamagedByteIsReadSafely) {
  for (bool wide : {false, true}) {
    PeImageOptions options;
    options.pe32_plus = wide;
    std::vector<std::uint8_t> image = BuildPeImage(options);
    for (std::size_t at = 0; at < image.size(); ++at) {
      for (std::uint8_t value : {0x00, 0x7F, 0x80, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int{value});
        std::vector<std::uint8_t> damaged(image);
        damaged[at] = value;
        win::DWORD error = 0;
        bool found = FindIn(damaged, &error);
        EXPECT_TRUE(found || IsRefusal(error)) << error;
        // "MZ" is the format; the rest of the DOS header up to the offset of
        // the PE header (0x3C) is never read.
        if (at < 2) {
          EXPECT_EQ(error, win::ERROR_BAD_EXE_FORMAT);
        } else if (at < 0x3C) {
          EXPECT_TRUE(found);
        }
      }
    }
  }
}

TEST(PeReader, DamagedFieldsAreRefusedWithTheirReason) {
  PeImageLayout layout{};
  const std::vector<std::uint8_t> good = BuildPeImage(PeImageOptions{}, &layout);
  const std::size_t tree = layout.resource_tree;
  const std::size_t resource_entry = layout.optional_header + 96 + 2 * 8;
  struct Damage {
    const char* label;
    std::size_t at;
    std::uint32_t value;
    win::DWORD error;
  };
  const Damage damages[] = {
      {"pe offset past the end", 0x3C, 0xFFFFFFF0u, win::ERROR_BAD_EXE_FORMAT},
      {"bad PE signature", layout.pe_header, 0x00004551, win::ERROR_BAD_EXE_FORMAT},
      {"unknown optional magic", layout.optional_header, 0x0107, win::ERROR_BAD_EXE_FORMAT},
      {"section count past the end", layout.pe_header + 6, 0xFFFF, win::ERROR_BAD_EXE_FORMAT},
      {"resource rva unmapped", resource_entry, 0x9000, win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"raw data past the end", layout.section_table + 20, 0x7FFFFFF0,
       win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"huge entry count", tree + 12, 0xFFFFFFFFu, win::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"type entry outside the tree", tree + 20, 0x80FFFFF0u, win::ERROR_RESOURCE_NAME_NOT_FOUND},
      {"type entry leads to data", tree + 20, 40, win::ERROR_RESOURCE_NAME_NOT_FOUND},
      // The name level points back at the root: its first entry is a directory,
      // where the language level needs data. The walk ends there.
      {"name level loops to the root", tree + 40 + 20, 0x80000000u,
       win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"language level loops to itself", tree + 80 + 20, 0x80000000u | 80,
       win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"data rva past the section", tree + 120, 0x1000 + 0x7FFFFFF0u,
       win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"data size past the section", tree + 124, 0x10000, win::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"block longer than the resource", layout.version_block, 0xFFFF,
       win::ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.label);
    std::vector<std::uint8_t> image(good);
    Put32(image, d.at, d.value);
    win::DWORD error = 0;
    EXPECT_FALSE(FindIn(image, &error));
    EXPECT_EQ(error, d.error);
  }
}

TEST(PeReader, FixedInfoNeedsKeySignatureAndRoom) {
  PeImageLayout layout{};
  const std::vector<std::uint8_t> image = BuildPeImage(PeImageOptions{}, &layout);
  const std::vector<std::uint8_t> good(
      image.begin() + layout.version_block,
      image.begin() + layout.version_block + layout.version_block_size);
  struct Damage {
    const char* label;
    std::size_t at;
    std::uint8_t value;
  };
  const Damage damages[] = {
      {"short value", 2, 51},
      {"wrong key", 8, 'X'},
      {"unterminated key", 36, 'X'},
      {"bad signature", 40, 0xBC},
      {"length shorter than the value", 0, 91},
  };
  std::size_t offset = 0;
  ASSERT_TRUE(version_resource::FindFixedFileInfo(ByteView{good.data(), good.size()}, &offset));
  EXPECT_EQ(offset, 40u);
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.label);
    std::vector<std::uint8_t> block(good);
    block[d.at] = d.value;
    EXPECT_FALSE(
        version_resource::FindFixedFileInfo(ByteView{block.data(), block.size()}, &offset));
  }
  EXPECT_FALSE(version_resource::FindFixedFileInfo(ByteView{good.data(), 91}, &offset));
}

std::vector<std::uint8_t> ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

TEST(ElfReader, FindsTheNoteOfThisProgramAndNothingInOtherElfFiles) {
  std::vector<std::uint8_t> self = ReadFile("/proc/self/exe");
  ASSERT_GT(self.size(), 64u);
  ByteView block{nullptr, 0};
  win::DWORD error = 0;
  ASSERT_TRUE(
      version_resource::FindVersionBlock(ByteView{self.data(), self.size()}, &block, &error));
  EXPECT_EQ(block.size, 92u);

  // The same note found through the segments alone, as in a file without
  // section headers.
  std::vector<std::uint8_t> no_sections(self);
  for (std::size_t at : {0x28, 0x29, 0x2A, 0x2B, 0x3C, 0x3D})
    no_sections[at] = 0;  // e_shoff, e_shnum
  EXPECT_TRUE(FindIn(no_sections));

  // A 32-bit relocatable object that holds the note (from the fuzz seeds).
  std::vector<std::uint8_t> elf32 = ReadFile(PROCENV_CORPUS_DIR "/elf32_relocatable_note");
  ASSERT_GT(elf32.size(), 52u);
  ASSERT_EQ(elf32[4], 1) << "ELF32";
  EXPECT_TRUE(FindIn(elf32));

  std::vector<std::uint8_t> other = ReadFile("/bin/sh");
  if (other.size() < 64) GTEST_SKIP() << "no /bin/sh to read";
  EXPECT_FALSE(FindIn(other, &error));
  EXPECT_EQ(error, win::ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(ElfReader, DamagedHeadersOfThisProgramAreReadSafely) {
  std::vector<std::uint8_t> self = ReadFile("/proc/self/exe");
  ASSERT_GT(self.size(), 64u);
  // Only the headers: the file header and the first section and segment tables.
  std::vector<std::uint8_t> head(self.begin(),
                                 self.begin() + std::min<std::size_t>(self.size(), 4096));
  ASSERT_TRUE(FindIn(self)) << "this program carries the version note";
  const bool wide = self[4] == 2;
  // The entry point and the processor flags: read by nobody here.
  const std::size_t unread_from = 24;
  const std::size_t unread_to = wide ? 32 : 28;
  const std::size_t flags_at = wide ? 48 : 36;
  for (std::size_t at = 0; at < 64; ++at) {
    for (std::uint8_t value : {0x00, 0x01, 0x80, 0xFF}) {
      SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int{value});
      std::vector<std::uint8_t> damaged(self);
      damaged[at] = value;
      win::DWORD error = 0;
      bool found = FindIn(damaged, &error);
      EXPECT_TRUE(found || error == win::ERROR_BAD_EXE_FORMAT ||
                  error == win::ERROR_RESOURCE_TYPE_NOT_FOUND)
          << error;
      if (at < 4 || (at == 5 && value != 1 && value != 2)) {
        EXPECT_EQ(error, win::ERROR_BAD_EXE_FORMAT) << "no ELF file of either class";
      }
      if ((at >= unread_from && at < unread_to) || (at >= flags_at && at < flags_at + 4)) {
        EXPECT_TRUE(found);
      }
    }
  }
  for (std::size_t length = 0; length < head.size(); length += 7) {
    win::DWORD error = 0;
    bool found = FindIn(std::vector<std::uint8_t>(head.begin(), head.begin() + length), &error);
    EXPECT_TRUE(found || error == win::ERROR_BAD_EXE_FORMAT ||
                error == win::ERROR_RESOURCE_TYPE_NOT_FOUND)
        << length;
    if (length < 16) {
      EXPECT_EQ(error, win::ERROR_BAD_EXE_FORMAT) << length;
    }
  }
}

TEST(FormatMessage, GivesTheWindowsTextsAndFailsCleanlyOtherwise) {
  struct MessageCase {
    win::DWORD code;
    win::DWORD language;
    win::DWORD size;
    const char* text;  // null: the call fails
    win::DWORD error;
  };
  const MessageCase cases[] = {
      {5, 0x0400, 512, "Access is denied.\r\n", 0},
      {2, 0x0409, 512, "The system cannot find the file specified.\r\n", 0},
      {87, 0, 512, "The parameter is incorrect.\r\n", 0},
      {5, 0x0400, 20, "Access is denied.\r\n", 0},
      {5, 0x0400, 19, nullptr, win::ERROR_INSUFFICIENT_BUFFER},
      {255, 0x0400, 512, nullptr, win::ERROR_MR_MID_NOT_FOUND},
      {0xFFFFFFFF, 0x0400, 512, nullptr, win::ERROR_MR_MID_NOT_FOUND},
      {5, 0x0407, 512, nullptr, win::ERROR_RESOURCE_LANG_NOT_FOUND},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.code);
    char buffer[512];
    std::memset(buffer, 'Z', sizeof buffer);
    win::SetLastError(0xDEAD);
    win::DWORD length =
        win::FormatMessageA(win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, c.code, c.language, buffer, c.size, nullptr);
    if (c.text == nullptr) {
      EXPECT_EQ(length, 0u);
      EXPECT_EQ(win::GetLastError(), c.error);
      EXPECT_EQ(buffer[0], 'Z') << "a failed call leaves the buffer alone";
    } else {
      EXPECT_EQ(length, std::strlen(c.text));
      EXPECT_STREQ(buffer, c.text);
    }
  }
}

class VersionCalls : public test_support::PeImageFolder {};

// The platform's version calls as GetModuleVersion uses them, including a block
// buffer smaller than the block.
TEST_F(VersionCalls, CutBlockNeverLetsTheQueryReadPastIt) {
  std::string path = WriteImage("cut.dll", PeImageOptions{});
  win::DWORD handle = 77;
  win::DWORD size = win::GetFileVersionInfoSizeA(path.c_str(), &handle);
  ASSERT_GT(size, 92u);
  EXPECT_EQ(handle, 0u);

  struct CutCase {
    win::DWORD buffer;
    bool query_succeeds;
  };
  const CutCase cases[] = {{size, true}, {92, true}, {91, false}, {40, false}, {6, false}};
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.buffer);
    std::vector<std::uint8_t> block(c.buffer, 0xAB);
    ASSERT_TRUE(win::GetFileVersionInfoA(path.c_str(), 0, c.buffer, block.data()));
    EXPECT_EQ(block[0] | (block[1] << 8), static_cast<int>(c.buffer));
    void* value = nullptr;
    win::UINT length = 0;
    EXPECT_EQ(win::VerQueryValueA(block.data(), "\\", &value, &length) != 0, c.query_succeeds);
    if (c.query_succeeds) {
      EXPECT_EQ(length, sizeof(win::VS_FIXEDFILEINFO));
      EXPECT_EQ(static_cast<std::uint8_t*>(value), block.data() + 40);
    }
  }
  std::uint8_t tiny[5];
  win::SetLastError(0xDEAD);
  EXPECT_FALSE(win::GetFileVersionInfoA(path.c_str(), 0, sizeof tiny, tiny));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(VersionCalls, MissingFileAndMissingResourceSetTheLastError) {
  struct ErrorCase {
    std::string path;
    win::DWORD error;
  };
  PeImageOptions no_version;
  no_version.with_version = false;
  PeImageOptions no_resources;
  no_resources.with_resources = false;
  const ErrorCase cases[] = {
      {(folder_ / "missing.dll").string(), win::ERROR_FILE_NOT_FOUND},
      {WriteImage("no_version.dll", no_version), win::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {WriteImage("no_resources.dll", no_resources), win::ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.path);
    win::SetLastError(0xDEAD);
    EXPECT_EQ(win::GetFileVersionInfoSizeA(c.path.c_str(), nullptr), 0u);
    EXPECT_EQ(win::GetLastError(), c.error);
  }
}

}  // namespace
