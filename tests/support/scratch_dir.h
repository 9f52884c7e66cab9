// A folder of its own for one test. ctest runs every test in a process of its
// own, several at once, so fixed names or per-process counters collide; the
// folder's name is drawn at random and taken only if no one has it yet. It is
// made when the object is, and removed with all it holds when the object goes.
//
//   test_support::ScratchDir dir;
//   dir.Write("good.cfg", "3\n4\n");
//   Run(dir.File("good.cfg"));
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The path of `name` in the folder.
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to `name`, byte for byte; returns the path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  // The bytes of `name`; "<none>" when it cannot be read.
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace test_support
