// Builds small Windows PE images in memory, with or without a version
// resource, for the tests of the version reader (both bit widths).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

struct PeImageOptions {
  bool pe32_plus = false;  // PE32+ (64-bit) optional header instead of PE32
  bool with_resources = true;
  bool with_version = true;        // an RT_VERSION entry in the resource tree
  bool with_fixed_info = true;     // the block carries a VS_FIXEDFILEINFO
  bool named_entry_first = false;  // a named type entry before the numbered ones
  std::uint32_t file_version_ms = 0x00010002;
  std::uint32_t file_version_ls = 0x00030004;
  std::uint32_t product_version_ms = 0x00090009;
  std::uint32_t product_version_ls = 0x00090009;
};

// Offsets inside the built image, for tests that damage it on purpose.
struct PeImageLayout {
  std::size_t pe_header;  // "PE\0\0"
  std::size_t optional_header;
  std::size_t section_table;
  std::size_t resource_tree;  // file offset of the resource directory
  std::size_t version_block;  // file offset of VS_VERSIONINFO
  std::size_t version_block_size;
};

std::vector<std::uint8_t> BuildPeImage(const PeImageOptions& options,
                                       PeImageLayout* layout = nullptr);

// Writes `bytes` to `path`; false when the file cannot be written.
bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace test_support
