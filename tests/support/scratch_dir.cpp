#include "tests/support/scratch_dir.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace test_support {

ScratchDir::ScratchDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 draw((std::uint64_t{seed()} << 32) ^ seed());
  for (;;) {
    path_ = base / ("scanmon-test-" + std::to_string(draw()));
    // create_directory says false when the folder was there already: someone
    // else's, so draw again.
    if (std::filesystem::create_directory(path_)) return;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = File(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string ScratchDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  if (!in) return "<none>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace test_support
