#include "fields/field_report.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "fields/field_map.h"

bool ReportFieldMap(const char* prc_path) {
  const std::string path = scan_fields::FieldMapPathFor(prc_path);
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) return true;
  static scan_fields::FieldMap map;  // 3 kB, out of the stack
  std::string why;
  if (!scan_fields::ReadFieldMapFile(path.c_str(), &map, &why)) {
    std::printf("Field map: refused: %s\n", why.c_str());
    return false;
  }
  std::printf("Field map: %s, version %d, %d field%s\n", path.c_str(), map.version, map.count,
              map.count == 1 ? "" : "s");
  for (int i = 0; i < map.count; ++i) {
    const scan_fields::Field& f = map.fields[i];
    std::printf("  %-16s %-3s at %2u", f.name, scan_fields::TypeName(f.type),
                static_cast<unsigned>(f.offset));
    if (f.scale != 1.0) std::printf(", x %.9g", f.scale);
    if (f.unit[0] != '\0') std::printf(", %s", f.unit);
    std::printf("\n");
  }
  return true;
}
