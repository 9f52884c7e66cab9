// GetModuleVersion(nullptr) when the program's own path cannot be had in full.
// This program defines GetModuleFileNameA itself (a link seam), so it can make
// the call fail or cut the path; a cut path would name another file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/library.h"
#include "procenv/module_version.h"
#include "tests/procenv/pe_image_builder.h"
#include "tests/support/scratch_dir.h"

namespace {

win::DWORD g_result = 0;
const char* g_path = "";
win::DWORD g_size_asked = 0;

}  // namespace

namespace win {
DWORD GetModuleFileNameA(HMODULE /*module*/, char* path, DWORD size) {
  g_size_asked = size;
  std::size_t length = std::strlen(g_path);
  if (length < size) std::memcpy(path, g_path, length + 1);
  return g_result;
}
}  // namespace win

namespace {

// The fake writes the path of a real versioned file each time, so only the
// result it reports decides: a failed or cut call must not be trusted.
TEST(ProgramPath, FailedOrCutProgramPathGivesNoVersion) {
  const test_support::ScratchDir dir;
  const std::string file = dir.File("procenv_program.exe");
  ASSERT_TRUE(test_support::WriteBytes(file, test_support::BuildPeImage({})));
  auto length = static_cast<win::DWORD>(file.size());
  struct PathCase {
    const char* label;
    win::DWORD result;
    int version_result;
    const char* text;
  };
  const PathCase cases[] = {
      {"whole path", length, 1, "1.2.3.4"},
      {"call failed", 0, 0, ""},
      {"path cut to the buffer", 260, 0, ""},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.label);
    g_result = c.result;
    g_path = file.c_str();
    g_size_asked = 0;
    char text[kVersionTextSize];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(GetModuleVersion(nullptr, text, sizeof text), c.version_result);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(g_size_asked, 260u);
  }
}

}  // namespace
