// Why a library does not load: each reason with its error code and the
// loader's own text, which names what it missed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/library.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

using test_support::Contains;

namespace {

namespace fs = std::filesystem;

TEST(LoadLibrary, EachRefusalHasItsCodeAndTheLoadersText) {
  const test_support::ScratchDir scratch;
  const fs::path not_elf = scratch.path();
  std::ofstream(not_elf / "libhsif.so") << "not a library";
  const std::string cases = SCANMON_LOADER_CASES;
  const struct {
    std::string path;
    win::DWORD code;
    const char* names;  // what the loader's text must name
  } rows[] = {
      {cases + "/nowhere/libhsif.so", win::ERROR_MOD_NOT_FOUND, "nowhere/libhsif.so"},
      {cases + "/needs-gone/libhsif.so", win::ERROR_DLL_NOT_FOUND, "libscanmon_gone.so"},
      {cases + "/undefined/libhsif.so", win::ERROR_PROC_NOT_FOUND, "scanmon_defined_nowhere"},
      {(not_elf / "libhsif.so").string(), win::ERROR_BAD_EXE_FORMAT, "libhsif.so"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(win::LoadLibraryExA(row.path.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(win::GetLastError(), row.code);
    EXPECT_TRUE(Contains(win::LastLoaderMessage(), row.names)) << win::LastLoaderMessage();
  }
  // A load that works leaves no text behind.
  win::HMODULE self = win::LoadLibraryExA("libc.so.6", nullptr, 0);
  ASSERT_NE(self, nullptr);
  EXPECT_STREQ(win::LastLoaderMessage(), "");
  win::FreeLibrary(self);
}

}  // namespace
