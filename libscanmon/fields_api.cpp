// The C interface's field map calls (scanmon.h, docs/fields.md): a source's
// map, loaded from a file or found beside a capture, and the value of a
// named field in a sample.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "fields/field_map.h"
#include "libscanmon/source.h"
#include "scanmon/scanmon.h"

namespace scanmon_lib {
namespace {

static_assert(sizeof(scanmon_field) == 80, "scanmon_field's layout is fixed on every build");
static_assert(SCANMON_FIELD_NAME_BYTES > scan_fields::kMaxNameBytes);
static_assert(SCANMON_FIELD_UNIT_BYTES > scan_fields::kMaxUnitBytes);
static_assert(sizeof(scanmon_sample) == scan_fields::kRecordBytes);

// Reads the map at `path`: the status and the thread's text on failure.
int ReadMap(const char* path, std::unique_ptr<scan_fields::FieldMap>* out) {
  auto map = std::unique_ptr<scan_fields::FieldMap>(new (std::nothrow) scan_fields::FieldMap);
  if (map == nullptr) return SetError(SCANMON_E_MEMORY, "out of memory for the field map");
  std::FILE* probe = std::fopen(path, "rb");
  if (probe == nullptr) {
    return SetError(SCANMON_E_FILE, "%s: cannot open the field map: %s", path,
                    std::strerror(errno));
  }
  std::fclose(probe);
  std::string error;
  if (!scan_fields::ReadFieldMapFile(path, map.get(), &error)) {
    return SetError(SCANMON_E_FORMAT, "%s", error.c_str());
  }
  *out = std::move(map);
  return SCANMON_OK;
}

// The field `index` of the source's map, or null with the thread's text set.
const scan_fields::Field* FieldAt(Source* source, std::uint32_t index, const char* call) {
  const scan_fields::FieldMap* map = source->field_map.get();
  if (map == nullptr) {
    SetError(SCANMON_E_ARGUMENT, "%s: the source has no field map", call);
    return nullptr;
  }
  if (index >= static_cast<std::uint32_t>(map->count)) {
    SetError(SCANMON_E_ARGUMENT, "%s: field %u of a map of %d", call, index, map->count);
    return nullptr;
  }
  return &map->fields[index];
}

int Find(Source* source, const char* name, std::uint32_t* index, const char* call) {
  const scan_fields::FieldMap* map = source->field_map.get();
  if (map == nullptr) {
    return SetError(SCANMON_E_ARGUMENT,
                    "%s: the source has no field map, so no field \"%.40s\" (nothing is "
                    "decoded without one)",
                    call, name);
  }
  int found = scan_fields::FindField(*map, name);
  if (found < 0) {
    return SetError(SCANMON_E_ARGUMENT, "%s: the field map names no field \"%.40s\"", call, name);
  }
  *index = static_cast<std::uint32_t>(found);
  return SCANMON_OK;
}

double Value(const scan_fields::Field& field, const scanmon_sample& sample) {
  return scan_fields::FieldValue(field, reinterpret_cast<const unsigned char*>(&sample));
}

}  // namespace

int LoadCaptureFieldMap(const char* base, Source* source) {
  const std::string path = scan_fields::FieldMapPathFor(base);
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe == nullptr && errno == ENOENT) return SCANMON_OK;  // no map: nothing decoded
  if (probe != nullptr) std::fclose(probe);
  int status = ReadMap(path.c_str(), &source->field_map);
  if (status != SCANMON_OK) {
    const std::string why = LastError();  // SetError writes over the text it would quote
    return SetError(SCANMON_E_FORMAT,
                    "%s (the capture's field map: mend or remove it to read the capture)",
                    why.c_str());
  }
  return SCANMON_OK;
}

}  // namespace scanmon_lib

using scanmon_lib::ClearError;
using scanmon_lib::SetError;

extern "C" {

int scanmon_fields_load(scanmon_source* handle, const char* path) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_fields_load");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (path == nullptr) {
    source->field_map.reset();
    return SCANMON_OK;
  }
  std::unique_ptr<scan_fields::FieldMap> map;
  int status = scanmon_lib::ReadMap(path, &map);
  if (status != SCANMON_OK) return status;
  source->field_map = std::move(map);
  return SCANMON_OK;
}

int scanmon_field_count(scanmon_source* handle, std::uint32_t* count) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_field_count");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (count == nullptr) return SetError(SCANMON_E_ARGUMENT, "scanmon_field_count: count is null");
  *count = source->field_map ? static_cast<std::uint32_t>(source->field_map->count) : 0;
  return SCANMON_OK;
}

int scanmon_field_info(scanmon_source* handle, std::uint32_t index, scanmon_field* field) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_field_info");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (field == nullptr || field->struct_size != sizeof *field) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_field_info: field is null or its struct_size is not %u",
                    static_cast<unsigned>(sizeof *field));
  }
  const scan_fields::Field* f = scanmon_lib::FieldAt(source, index, "scanmon_field_info");
  if (f == nullptr) return SCANMON_E_ARGUMENT;
  std::memset(field, 0, sizeof *field);
  field->struct_size = sizeof *field;
  field->offset = f->offset;
  field->size = static_cast<std::uint32_t>(scan_fields::TypeBytes(f->type));
  field->type = static_cast<std::int32_t>(f->type);
  field->scale = f->scale;
  std::memcpy(field->name, f->name, std::strlen(f->name) + 1);
  std::memcpy(field->unit, f->unit, std::strlen(f->unit) + 1);
  return SCANMON_OK;
}

int scanmon_field_find(scanmon_source* handle, const char* name, std::uint32_t* index) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_field_find");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (name == nullptr || index == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_field_find: name or index is null");
  }
  return scanmon_lib::Find(source, name, index, "scanmon_field_find");
}

int scanmon_field_value(scanmon_source* handle, std::uint32_t index, const scanmon_sample* sample,
                        double* value) {
  return scanmon_field_values(handle, index, sample, 1, value);
}

int scanmon_field_values(scanmon_source* handle, std::uint32_t index, const scanmon_sample* samples,
                         std::uint32_t count, double* values) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_field_value");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (count != 0 && (samples == nullptr || values == nullptr)) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_field_value: samples or values is null");
  }
  const scan_fields::Field* field = scanmon_lib::FieldAt(source, index, "scanmon_field_value");
  if (field == nullptr) return SCANMON_E_ARGUMENT;
  for (std::uint32_t i = 0; i < count; ++i) values[i] = scanmon_lib::Value(*field, samples[i]);
  return SCANMON_OK;
}

int scanmon_field_get(scanmon_source* handle, const char* name, const scanmon_sample* sample,
                      double* value) {
  ClearError();
  scanmon_lib::HandleClaim claim(handle, "scanmon_field_get");
  if (claim.status() != SCANMON_OK) return claim.status();
  scanmon_lib::Source* source = claim.source();
  if (name == nullptr || sample == nullptr || value == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_field_get: name, sample or value is null");
  }
  std::uint32_t index = 0;
  int status = scanmon_lib::Find(source, name, &index, "scanmon_field_get");
  if (status != SCANMON_OK) return status;
  *value = scanmon_lib::Value(source->field_map->fields[index], *sample);
  return SCANMON_OK;
}

}  // extern "C"
