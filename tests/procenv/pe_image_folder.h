// A scratch folder to write built module images into, for the tests of the
// module version readers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/procenv/pe_image_builder.h"
#include "tests/support/scratch_dir.h"

namespace test_support {

class PeImageFolder : public testing::Test {
 protected:
  // Writes the image `options` describe as `name` in the folder; its path.
  std::string WriteImage(const std::string& name, const PeImageOptions& options) {
    std::string path = (folder_ / name).string();
    EXPECT_TRUE(test_support::WriteBytes(path, BuildPeImage(options)));
    return path;
  }

  test_support::ScratchDir dir_;
  const std::filesystem::path& folder_ = dir_.path();
};

}  // namespace test_support
