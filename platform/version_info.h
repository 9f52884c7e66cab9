// Version information of module files (the version library of Windows).
//
// On Windows these pass straight through. On Linux they read, on their own and
// without loading anything:
// - Windows PE files (PE32 and PE32+, executables and DLLs): the VS_VERSIONINFO
//   block of their version resource (type 16, first name, first language);
// - ELF files (32- and 64-bit): the same VS_VERSIONINFO block kept in the note
//   that our build writes into every program and library (owner "scanmon", see
//   cmake/VersionInfo.cmake).
// The block has the Windows form: a VS_VERSIONINFO header, then the fixed file
// information (VS_FIXEDFILEINFO); the Linux layer offers only the root block "\\"
// of it to VerQueryValueA.
//
// Errors follow the model of platform/win_types.h.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace win {

using UINT = std::uint32_t;

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BDu;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000u;
inline constexpr DWORD VFT_UNKNOWN = 0;
inline constexpr DWORD VFT_APP = 1;
inline constexpr DWORD VFT_DLL = 2;
inline constexpr DWORD VOS_NT_WINDOWS32 = 0x00040004u;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

// The fixed file information, as Windows lays it out (52 bytes).
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // VS_FFI_SIGNATURE
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;  // high 16 bits: major, low 16 bits: minor
  DWORD dwFileVersionLS;  // high 16 bits: patch (build), low 16 bits: tweak
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO keeps the Windows layout");

// The size in bytes of the version block of file `path`; 0 and the last error
// when there is none (ERROR_FILE_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND,
// ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_BAD_EXE_FORMAT...). `handle`, when not
// null, receives 0.
DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle);

// Copies the version block of `path` into `data` (`size` bytes; `handle` is not
// used). A block larger than `size` is cut to it; on Linux the copy's own length
// field then tells the cut length, so VerQueryValueA never reads past it.
// Non-zero on success; 0 and the last error on failure.
BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data);

// Looks up `sub_block` in a block from GetFileVersionInfoA. For "\\" (the root
// block) `*buffer` receives the address of the VS_FIXEDFILEINFO inside `block`
// and `*length` its size. Non-zero on success; 0 when the block holds no such
// value (on Linux, also for every other sub-block name).
BOOL VerQueryValueA(const void* block, const char* sub_block, void** buffer, UINT* length);

}  // namespace win
