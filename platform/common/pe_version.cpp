#include "platform/common/pe_version.h"

#include <cstdint>

namespace version_resource {
namespace {

constexpr std::uint32_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint32_t kOptionalMagicPe32 = 0x10B;
constexpr std::uint32_t kOptionalMagicPe32Plus = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kBlockHeaderSize = 6;  // wLength, wValueLength, wType

// The key of the root block, "VS_VERSION_INFO", in UTF-16 with its terminator.
constexpr char kRootKey[] = "VS_VERSION_INFO";

struct PeImage {
  ByteView file;
  std::uint64_t section_table;
  std::uint32_t section_count;
};

// The file bytes that back `rva`, up to the end of the backing section's data in
// the file (never past the file). Empty with a null address when no section
// holds `rva` in its file data.
ByteView MapRva(const PeImage& pe, std::uint32_t rva) {
  for (std::uint32_t i = 0; i < pe.section_count; ++i) {
    std::uint64_t header = pe.section_table + std::uint64_t{i} * kSectionHeaderSize;
    std::uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_pointer = 0;
    if (!ReadLe32(pe.file, header + 8, &virtual_size) ||
        !ReadLe32(pe.file, header + 12, &virtual_address) ||
        !ReadLe32(pe.file, header + 16, &raw_size) || !ReadLe32(pe.file, header + 20, &raw_pointer))
      return ByteView{nullptr, 0};
    // Past its virtual size a section's file data is not loaded.
    std::uint64_t backed = raw_size;
    if (virtual_size != 0 && virtual_size < backed) backed = virtual_size;
    if (rva < virtual_address || rva - virtual_address >= backed) continue;
    std::uint64_t offset = std::uint64_t{raw_pointer} + (rva - virtual_address);
    std::uint64_t length = backed - (rva - virtual_address);
    if (offset >= pe.file.size) return ByteView{nullptr, 0};
    if (length > pe.file.size - offset) length = pe.file.size - offset;
    return SubView(pe.file, offset, length);
  }
  return ByteView{nullptr, 0};
}

// One entry of a resource directory at `directory` (an offset into the tree):
// the first whose name is `wanted_id`, or simply the first when `wanted_id` is
// negative. Returns its offset field, or false when the directory lies outside
// the tree or has no such entry.
bool FindDirectoryEntry(ByteView tree, std::uint64_t directory, std::int64_t wanted_id,
                        std::uint32_t* target) {
  std::uint32_t named = 0, numbered = 0;
  if (!ReadLe16(tree, directory + 12, &named) || !ReadLe16(tree, directory + 14, &numbered))
    return false;
  std::uint64_t count = std::uint64_t{named} + numbered;
  std::uint64_t entries = directory + kDirectoryHeaderSize;
  if (!HoldsRange(tree, entries, count * kDirectoryEntrySize)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t name = 0, offset = 0;
    ReadLe32(tree, entries + i * kDirectoryEntrySize, &name);
    ReadLe32(tree, entries + i * kDirectoryEntrySize + 4, &offset);
    if (wanted_id >= 0 && ((name & kHighBit) != 0 || name != wanted_id)) continue;
    *target = offset;
    return true;
  }
  return false;
}

bool Fail(win::DWORD code, win::DWORD* error) {
  *error = code;
  return false;
}

}  // namespace

bool ReadBlockLength(ByteView block, std::size_t* length) {
  std::uint32_t claimed = 0;
  if (!ReadLe16(block, 0, &claimed) || claimed < kBlockHeaderSize) return false;
  *length = claimed;
  return true;
}

bool FindFixedFileInfo(ByteView block, std::size_t* offset) {
  std::size_t claimed = 0;
  if (!ReadBlockLength(block, &claimed)) return false;
  if (claimed < block.size) block.size = claimed;
  std::uint32_t value_length = 0;
  if (!ReadLe16(block, 2, &value_length) || value_length < kFixedInfoSize) return false;
  for (std::size_t i = 0; i < sizeof kRootKey; ++i) {
    std::uint32_t unit = 0;
    if (!ReadLe16(block, kBlockHeaderSize + 2 * i, &unit)) return false;
    if (unit != static_cast<unsigned char>(kRootKey[i])) return false;
  }
  if (!HoldsRange(block, kFixedInfoOffset, kFixedInfoSize)) return false;
  std::uint32_t signature = 0;
  ReadLe32(block, kFixedInfoOffset, &signature);
  if (signature != win::VS_FFI_SIGNATURE) return false;
  *offset = kFixedInfoOffset;
  return true;
}

bool FindPeVersionBlock(ByteView image, ByteView* block, win::DWORD* error) {
  std::uint32_t dos_magic = 0, pe_offset = 0, signature = 0;
  if (!ReadLe16(image, 0, &dos_magic) || dos_magic != kDosMagic ||
      !ReadLe32(image, 0x3C, &pe_offset) || !ReadLe32(image, pe_offset, &signature) ||
      signature != kPeSignature)
    return Fail(win::ERROR_BAD_EXE_FORMAT, error);

  std::uint64_t coff = std::uint64_t{pe_offset} + 4;
  std::uint32_t section_count = 0, optional_size = 0, optional_magic = 0;
  std::uint64_t optional = coff + 20;
  if (!ReadLe16(image, coff + 2, &section_count) || !ReadLe16(image, coff + 16, &optional_size) ||
      !ReadLe16(image, optional, &optional_magic))
    return Fail(win::ERROR_BAD_EXE_FORMAT, error);

  // The data directories follow the fields whose width differs between PE32
  // and PE32+.
  std::uint64_t count_field = 0;
  if (optional_magic == kOptionalMagicPe32) {
    count_field = 92;
  } else if (optional_magic == kOptionalMagicPe32Plus) {
    count_field = 108;
  } else {
    return Fail(win::ERROR_BAD_EXE_FORMAT, error);
  }
  PeImage pe{image, optional + optional_size, section_count};
  if (!HoldsRange(image, pe.section_table, std::uint64_t{section_count} * kSectionHeaderSize))
    return Fail(win::ERROR_BAD_EXE_FORMAT, error);

  std::uint32_t directory_count = 0, resource_rva = 0;
  std::uint64_t resource_entry = count_field + 4 + kResourceDirectoryIndex * 8;
  if (resource_entry + 8 > optional_size ||
      !ReadLe32(image, optional + count_field, &directory_count) ||
      directory_count <= kResourceDirectoryIndex ||
      !ReadLe32(image, optional + resource_entry, &resource_rva) || resource_rva == 0)
    return Fail(win::ERROR_RESOURCE_DATA_NOT_FOUND, error);

  // Offsets inside the tree count from its start; the tree may run to the end
  // of its section's data.
  ByteView tree = MapRva(pe, resource_rva);
  if (tree.data == nullptr) return Fail(win::ERROR_RESOURCE_DATA_NOT_FOUND, error);

  std::uint32_t type_target = 0, name_target = 0, language_target = 0;
  if (!FindDirectoryEntry(tree, 0, kResourceTypeVersion, &type_target))
    return Fail(win::ERROR_RESOURCE_TYPE_NOT_FOUND, error);
  if ((type_target & kHighBit) == 0 ||
      !FindDirectoryEntry(tree, type_target & ~kHighBit, -1, &name_target))
    return Fail(win::ERROR_RESOURCE_NAME_NOT_FOUND, error);
  if ((name_target & kHighBit) == 0 ||
      !FindDirectoryEntry(tree, name_target & ~kHighBit, -1, &language_target))
    return Fail(win::ERROR_RESOURCE_LANG_NOT_FOUND, error);
  // The third level must lead to data, not to yet another directory.
  std::uint32_t data_rva = 0, data_size = 0;
  if ((language_target & kHighBit) != 0 || !ReadLe32(tree, language_target, &data_rva) ||
      !ReadLe32(tree, std::uint64_t{language_target} + 4, &data_size))
    return Fail(win::ERROR_RESOURCE_DATA_NOT_FOUND, error);

  ByteView data = MapRva(pe, data_rva);
  std::size_t block_length = 0;
  if (data.data == nullptr || data_size > data.size)
    return Fail(win::ERROR_RESOURCE_DATA_NOT_FOUND, error);
  data.size = data_size;
  if (!ReadBlockLength(data, &block_length) || block_length > data.size)
    return Fail(win::ERROR_RESOURCE_DATA_NOT_FOUND, error);
  *block = SubView(data, 0, block_length);
  return true;
}

bool FindVersionBlock(ByteView image, ByteView* block, win::DWORD* error) {
  if (HoldsRange(image, 0, 2) && image.data[0] == 'M' && image.data[1] == 'Z')
    return FindPeVersionBlock(image, block, error);
  if (HoldsRange(image, 0, 4) && image.data[0] == 0x7F && image.data[1] == 'E' &&
      image.data[2] == 'L' && image.data[3] == 'F')
    return FindElfVersionBlock(image, block, error);
  return Fail(win::ERROR_BAD_EXE_FORMAT, error);
}

}  // namespace version_resource
