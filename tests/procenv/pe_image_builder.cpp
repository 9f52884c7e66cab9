#include "tests/procenv/pe_image_builder.h"

#include <cstdio>

namespace test_support {
namespace {

constexpr std::uint32_t kSectionRva = 0x1000;
constexpr std::size_t kSectionFileOffset = 0x200;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// A resource directory with one numbered entry (and optionally a named one
// before it) at `at` inside `tree`.
std::size_t PutDirectory(std::vector<std::uint8_t>& tree, std::size_t at, std::uint32_t id,
                         std::uint32_t target, bool named_first) {
  Put16(tree, at + 12, named_first ? 1 : 0);  // named entries
  Put16(tree, at + 14, 1);                    // numbered entries
  std::size_t entry = at + 16;
  if (named_first) {
    // A name string offset with the high bit; it points at the directory itself,
    // which a reader must never follow as a type.
    Put32(tree, entry, 0x80000000u | static_cast<std::uint32_t>(at));
    Put32(tree, entry + 4, 0x80000000u | static_cast<std::uint32_t>(at));
    entry += 8;
  }
  Put32(tree, entry, id);
  Put32(tree, entry + 4, target);
  return entry + 8;
}

std::vector<std::uint8_t> BuildVersionBlock(const PeImageOptions& o) {
  std::vector<std::uint8_t> block;
  const char* key = "VS_VERSION_INFO";
  std::size_t at = 6;
  for (std::size_t i = 0; i <= 15; ++i, at += 2) Put16(block, at, i < 15 ? key[i] : 0);
  Put16(block, at, 0);  // padding to 40
  if (o.with_fixed_info) {
    const std::uint32_t fixed[13] = {0xFEEF04BDu,
                                     0x00010000u,
                                     o.file_version_ms,
                                     o.file_version_ls,
                                     o.product_version_ms,
                                     o.product_version_ls,
                                     0x3F,
                                     0,
                                     0x40004,
                                     1,
                                     0,
                                     0,
                                     0};
    for (std::size_t i = 0; i < 13; ++i) Put32(block, 40 + 4 * i, fixed[i]);
  }
  // A StringFileInfo child the reader must step over: only its bytes matter.
  std::size_t child = block.size();
  const char* child_key = "StringFileInfo";
  Put16(block, child, 6 + 30 + 2);
  for (std::size_t i = 0; i <= 14; ++i) Put16(block, child + 6 + 2 * i, i < 14 ? child_key[i] : 0);
  Put16(block, block.size(), 0);
  Put16(block, 0, static_cast<std::uint32_t>(block.size()));
  Put16(block, 2, o.with_fixed_info ? 52 : 0);
  Put16(block, 4, 0);
  return block;
}

}  // namespace

std::vector<std::uint8_t> BuildPeImage(const PeImageOptions& o, PeImageLayout* layout) {
  std::vector<std::uint8_t> image(kSectionFileOffset, 0);
  image[0] = 'M';
  image[1] = 'Z';
  const std::size_t pe = 0x40;
  Put32(image, 0x3C, pe);
  Put32(image, pe, 0x00004550);
  const std::size_t coff = pe + 4;
  Put16(image, coff, o.pe32_plus ? 0x8664 : 0x014C);
  Put16(image, coff + 2, 1);  // one section
  const std::size_t optional_size = o.pe32_plus ? 240 : 224;
  Put16(image, coff + 16, optional_size);
  Put16(image, coff + 18, 0x2102);
  const std::size_t optional = coff + 20;
  Put16(image, optional, o.pe32_plus ? 0x20B : 0x10B);
  const std::size_t count_field = o.pe32_plus ? 108 : 92;
  Put32(image, optional + count_field, 16);
  const std::size_t section = optional + optional_size;

  // The resource tree: type 16 -> name 1 -> language 0x409 -> data entry.
  std::vector<std::uint8_t> tree;
  std::size_t name_dir = 40, language_dir = 80, data_entry = 120, block_at = 136;
  PutDirectory(tree, 0, o.with_version ? 16 : 6, 0x80000000u | name_dir, o.named_entry_first);
  PutDirectory(tree, name_dir, 1, 0x80000000u | language_dir, false);
  PutDirectory(tree, language_dir, 0x409, data_entry, false);
  std::vector<std::uint8_t> block = BuildVersionBlock(o);
  Put32(tree, data_entry, kSectionRva + block_at);
  Put32(tree, data_entry + 4, static_cast<std::uint32_t>(block.size()));
  tree.resize(block_at);
  tree.insert(tree.end(), block.begin(), block.end());
  while (tree.size() % 16 != 0) tree.push_back(0);

  if (o.with_resources) {
    Put32(image, optional + count_field + 4 + 2 * 8, kSectionRva);
    Put32(image, optional + count_field + 4 + 2 * 8 + 4, static_cast<std::uint32_t>(tree.size()));
  }
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (std::size_t i = 0; i < 8; ++i) image[section + i] = name[i];
  Put32(image, section + 8, static_cast<std::uint32_t>(tree.size()));
  Put32(image, section + 12, kSectionRva);
  Put32(image, section + 16, static_cast<std::uint32_t>(tree.size()));
  Put32(image, section + 20, kSectionFileOffset);
  image.resize(kSectionFileOffset);
  image.insert(image.end(), tree.begin(), tree.end());

  if (layout != nullptr) {
    *layout = PeImageLayout{
        pe, optional, section, kSectionFileOffset, kSectionFileOffset + block_at, block.size()};
  }
  return image;
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace test_support
