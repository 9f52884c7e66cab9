// Run-time loading of libraries.
//
// On Linux a bare base name (no '/' and no '.') is taken as a Windows library
// name: "hsif" loads "libhsif.so", searched the way the dynamic loader searches
// (LD_LIBRARY_PATH, then the program's RUNPATH, then the system's paths).
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace win {

// Room for a path as Windows counts it (MAX_PATH): 259 characters and the
// terminator. The program's path buffers have this size.
inline constexpr DWORD kMaxPath = 260;

// A library was found but one it depends on was not (Windows' own code for it).
inline constexpr DWORD ERROR_DLL_NOT_FOUND = 1157;

// null and the last error set when the library cannot be loaded:
// ERROR_MOD_NOT_FOUND when it is not found, ERROR_DLL_NOT_FOUND (Linux) when a
// library it needs is missing, ERROR_PROC_NOT_FOUND (Linux) when a name it
// imports is defined nowhere, ERROR_BAD_EXE_FORMAT when it is no library for
// this machine.
HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags);
// The loader's own text about the last LoadLibraryExA of this thread that
// failed (on Linux the dynamic loader's message, naming the file it missed or
// the symbol it could not find); "" after a success, and always on Windows,
// whose error codes say it all.
const char* LastLoaderMessage();
// null and ERROR_PROC_NOT_FOUND when the library lacks the name.
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
// The absolute path of a loaded library, or of the program itself when `module`
// is null. Returns the length copied (the text is cut and terminated when it does
// not fit, and the result is then `size`), 0 on failure.
DWORD GetModuleFileNameA(HMODULE module, char* path, DWORD size);

}  // namespace win

namespace platform {

// Where the loader looks for a library given by its base name, in the order it
// looks (Linux: the folders of LD_LIBRARY_PATH, the program's RUNPATH and the
// system's default folders, as the loader itself lists them, and its
// ld.so.cache), as one line of text into `text` (`size` bytes, terminated, cut
// with "..." when long). Returns false with `text` empty where the platform
// says no more than its error code does (Windows).
bool DescribeLibrarySearch(char* text, std::size_t size);

}  // namespace platform
