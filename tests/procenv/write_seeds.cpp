// Writes small PE images with and without a version resource into a folder, as
// the seed corpus of the version reader's fuzz target:
//   procenv_write_seeds <folder>
#include <cstdio>
#include <string>

#include "tests/procenv/pe_image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: procenv_write_seeds <folder>\n");
    return 2;
  }
  std::string folder = argv[1];
  struct Seed {
    const char* name;
    bool pe32_plus, with_resources, with_version, with_fixed_info, named_first;
  };
  const Seed seeds[] = {
      {"pe32_version", false, true, true, true, false},
      {"pe32plus_version", true, true, true, true, false},
      {"pe32plus_named_first", true, true, true, true, true},
      {"pe32_no_fixed_info", false, true, true, false, false},
      {"pe32_no_version", false, true, false, true, false},
      {"pe32plus_no_resources", true, false, true, true, false},
  };
  for (const Seed& s : seeds) {
    test_support::PeImageOptions options;
    options.pe32_plus = s.pe32_plus;
    options.with_resources = s.with_resources;
    options.with_version = s.with_version;
    options.with_fixed_info = s.with_fixed_info;
    options.named_entry_first = s.named_first;
    std::string path = folder + "/" + s.name;
    if (!test_support::WriteBytes(path, test_support::BuildPeImage(options))) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
