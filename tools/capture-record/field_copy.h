// capture-record --fields FILE: the field map checked before the card is
// touched and copied beside the capture as <base>.fields, so a recording
// keeps the meaning of its driver bytes (docs/fields.md).
#pragma once

#include <string>

#include "fields/field_map.h"

struct FieldCopy {
  std::string source;       // the map given (empty: none)
  std::string destination;  // <base>.fields
  std::string text;         // the map's bytes, as they were
  scan_fields::FieldMap map{};
  bool same_file = false;  // --fields names <base>.fields itself: kept as it is
};

// Reads and checks the map at `source` for the capture whose .prc is
// `prc_path` (source null: no map). False with the message printed.
bool PrepareFieldCopy(const char* source, const char* prc_path, FieldCopy* copy);

// Writes copy->text to <base>.fields through a temporary file synced to the
// device and renamed into place, so a crash leaves the old name whole or the
// new one complete. Without a map, removes a <base>.fields left from an
// earlier capture (the caller refused it unless --force). False with the
// message printed.
bool WriteFieldCopy(const FieldCopy& copy);

// Removes the copy again (the capture's files could not be made).
void RemoveFieldCopy(const FieldCopy& copy);
