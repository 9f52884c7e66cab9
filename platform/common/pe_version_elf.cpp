// The version note of ELF files, found through the section headers (note
// sections) or, in files without them, the program headers (note segments).
#include <cstdint>
#include <cstring>

#include "platform/common/pe_version.h"

namespace version_resource {
namespace {

constexpr std::uint32_t kSectionTypeNote = 7;  // SHT_NOTE
constexpr std::uint32_t kSegmentTypeNote = 4;  // PT_NOTE
constexpr std::size_t kNoteHeaderSize = 12;    // namesz, descsz, type

// Field positions that differ between ELF32 and ELF64.
struct ElfLayout {
  unsigned word;  // width of offsets and sizes: 4 or 8
  std::uint64_t program_table, program_entry_size, program_count;
  std::uint64_t section_table, section_entry_size, section_count;
  // Within one header: where the type, file offset, size and alignment lie.
  std::uint64_t section_type_at, section_offset_at, section_size_at, section_align_at;
  std::uint64_t segment_type_at, segment_offset_at, segment_size_at, segment_align_at;
};

struct ElfFile {
  ByteView file;
  bool big_endian;
  ElfLayout layout;
};

bool ReadField(const ElfFile& elf, std::uint64_t offset, unsigned width, std::uint64_t* value) {
  return ReadUnsigned(elf.file, offset, width, elf.big_endian, value);
}

bool ReadLayout(ElfFile* elf) {
  std::uint64_t word_class = elf->file.data[4];
  ElfLayout& l = elf->layout;
  // Offsets of e_phoff, e_shoff and the count fields in the file header.
  std::uint64_t ph_off_at, sh_off_at, counts_at;
  if (word_class == 1) {
    l = ElfLayout{4, 0, 0, 0, 0, 0, 0, 4, 16, 20, 32, 0, 4, 16, 28};
    ph_off_at = 0x1C, sh_off_at = 0x20, counts_at = 0x2A;
  } else if (word_class == 2) {
    l = ElfLayout{8, 0, 0, 0, 0, 0, 0, 4, 24, 32, 48, 0, 8, 32, 48};
    ph_off_at = 0x20, sh_off_at = 0x28, counts_at = 0x36;
  } else {
    return false;
  }
  return ReadField(*elf, ph_off_at, l.word, &l.program_table) &&
         ReadField(*elf, sh_off_at, l.word, &l.section_table) &&
         ReadField(*elf, counts_at, 2, &l.program_entry_size) &&
         ReadField(*elf, counts_at + 2, 2, &l.program_count) &&
         ReadField(*elf, counts_at + 4, 2, &l.section_entry_size) &&
         ReadField(*elf, counts_at + 6, 2, &l.section_count);
}

// Walks the notes of one note area; true with the block of the first version
// note. Every note advances by at least its 12-byte header, so the walk ends.
bool FindNoteIn(const ElfFile& elf, ByteView area, std::uint64_t alignment, ByteView* block) {
  std::uint64_t pad = alignment == 8 ? 8 : 4;
  std::uint64_t at = 0;
  while (HoldsRange(area, at, kNoteHeaderSize)) {
    std::uint64_t name_size = 0, content_size = 0, type = 0;
    ReadUnsigned(area, at, 4, elf.big_endian, &name_size);
    ReadUnsigned(area, at + 4, 4, elf.big_endian, &content_size);
    ReadUnsigned(area, at + 8, 4, elf.big_endian, &type);
    std::uint64_t name_at = at + kNoteHeaderSize;
    std::uint64_t content_at = name_at + (name_size + pad - 1) / pad * pad;
    if (!HoldsRange(area, name_at, name_size) || !HoldsRange(area, content_at, content_size))
      return false;
    if (type == kVersionNoteType && name_size == sizeof kVersionNoteOwner &&
        std::memcmp(area.data + name_at, kVersionNoteOwner, sizeof kVersionNoteOwner) == 0) {
      ByteView content = SubView(area, content_at, content_size);
      std::size_t length = 0;
      if (!ReadBlockLength(content, &length) || length > content.size) return false;
      *block = SubView(content, 0, length);
      return true;
    }
    at = content_at + (content_size + pad - 1) / pad * pad;
  }
  return false;
}

// Looks through the headers of one table (sections or segments) for note areas.
bool FindNoteInTable(const ElfFile& elf, std::uint64_t table, std::uint64_t entry_size,
                     std::uint64_t count, std::uint32_t note_type, std::uint64_t type_at,
                     std::uint64_t offset_at, std::uint64_t size_at, std::uint64_t align_at,
                     ByteView* block) {
  unsigned word = elf.layout.word;
  if (table == 0 || entry_size < align_at + word || count > elf.file.size / entry_size ||
      !HoldsRange(elf.file, table, count * entry_size))
    return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t header = table + i * entry_size;
    std::uint64_t type = 0, offset = 0, size = 0, alignment = 0;
    ReadField(elf, header + type_at, 4, &type);
    ReadField(elf, header + offset_at, word, &offset);
    ReadField(elf, header + size_at, word, &size);
    ReadField(elf, header + align_at, word, &alignment);
    if (type != note_type || !HoldsRange(elf.file, offset, size)) continue;
    if (FindNoteIn(elf, SubView(elf.file, offset, size), alignment, block)) return true;
  }
  return false;
}

}  // namespace

bool FindElfVersionBlock(ByteView image, ByteView* block, win::DWORD* error) {
  *error = win::ERROR_BAD_EXE_FORMAT;
  if (!HoldsRange(image, 0, 16) || std::memcmp(image.data,
                                               "\x7F"
                                               "ELF",
                                               4) != 0)
    return false;
  ElfFile elf{image, image.data[5] == 2, {}};
  if ((image.data[5] != 1 && image.data[5] != 2) || !ReadLayout(&elf)) return false;
  const ElfLayout& l = elf.layout;

  // Files with 0xFF00 sections or more keep the count in the first header.
  std::uint64_t section_count = l.section_count;
  if (section_count == 0 && l.section_table != 0)
    ReadField(elf, l.section_table + l.section_size_at, l.word, &section_count);

  *error = win::ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (FindNoteInTable(elf, l.section_table, l.section_entry_size, section_count, kSectionTypeNote,
                      l.section_type_at, l.section_offset_at, l.section_size_at, l.section_align_at,
                      block))
    return true;
  return FindNoteInTable(elf, l.program_table, l.program_entry_size, l.program_count,
                         kSegmentTypeNote, l.segment_type_at, l.segment_offset_at,
                         l.segment_size_at, l.segment_align_at, block);
}

}  // namespace version_resource
