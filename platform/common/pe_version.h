// Portable reader of the version information of module files, held in memory:
// the version resource of Windows PE files and the version note of our ELF
// builds. Every offset the file gives is checked against the bytes held; the
// resource tree is walked exactly three levels deep (type, name, language), so
// offsets that point back into the tree cannot make the walk loop.
#pragma once

#include <cstddef>

#include "platform/common/byte_view.h"
#include "platform/version_info.h"
#include "platform/win_types.h"

namespace version_resource {

// Resource type of version information.
inline constexpr std::uint32_t kResourceTypeVersion = 16;

// The ELF note that carries the version block of our Linux builds: owner
// "scanmon", this type, the VS_VERSIONINFO block (little-endian) as its content.
// cmake/version_note.cpp.in writes it.
inline constexpr char kVersionNoteOwner[] = "scanmon";
inline constexpr std::uint32_t kVersionNoteType = 0x5653;  // "VS"

// Where the fixed file information lies in a VS_VERSIONINFO block: after the
// 6-byte header and the UTF-16 key "VS_VERSION_INFO" with its terminator
// (32 bytes), padded to a multiple of 4.
inline constexpr std::size_t kFixedInfoOffset = 40;
inline constexpr std::size_t kFixedInfoSize = 52;

// Finds the VS_VERSIONINFO block of the PE image `image` (PE32 or PE32+):
// resource type 16, its first name, that name's first language. Returns true
// and the block (its length as the block's header tells, at most the resource's
// size) inside `image`. Returns false and a Windows code in `*error` when there is
// none: ERROR_BAD_EXE_FORMAT (not a PE image, or headers out of range),
// ERROR_RESOURCE_DATA_NOT_FOUND (no resource directory, or a damaged tree or
// block), ERROR_RESOURCE_TYPE_NOT_FOUND (no version resource),
// ERROR_RESOURCE_NAME_NOT_FOUND / ERROR_RESOURCE_LANG_NOT_FOUND (empty levels).
bool FindPeVersionBlock(ByteView image, ByteView* block, win::DWORD* error);

// Finds the VS_VERSIONINFO block in the "scanmon" version note of the ELF image
// `image` (ELF32 or ELF64, either byte order), looking through the note sections
// and, when the file has no section headers, the note segments. Returns false
// and ERROR_BAD_EXE_FORMAT (not ELF, headers out of range) or
// ERROR_RESOURCE_TYPE_NOT_FOUND (no version note) in `*error`.
bool FindElfVersionBlock(ByteView image, ByteView* block, win::DWORD* error);

// Finds either of the above by the file's magic bytes ("MZ" or "\x7fELF");
// ERROR_BAD_EXE_FORMAT for anything else.
bool FindVersionBlock(ByteView image, ByteView* block, win::DWORD* error);

// The length a VS_VERSIONINFO block claims for itself (its first 16-bit word),
// when `block` holds at least its 6-byte header and the claim is at least that;
// false otherwise.
bool ReadBlockLength(ByteView block, std::size_t* length);

// Checks a VS_VERSIONINFO block (the key, the value's length, the signature
// 0xFEEF04BD), reading no further than the lesser of `block.size` and the
// block's own length field. Returns true and sets `*offset` to where the
// VS_FIXEDFILEINFO lies inside the block (always kFixedInfoOffset).
bool FindFixedFileInfo(ByteView block, std::size_t* offset);

}  // namespace version_resource
