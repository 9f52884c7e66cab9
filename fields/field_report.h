// The field map beside a .prc file (<base>.fields), named with
// its fields (docs/fields.md).
#pragma once

// Prints the map beside the capture `prc_path`, nothing when there is none.
// False when a map is there but cannot be read or is not a good one (the
// capture is then not whole: its driver bytes' meaning is lost).
bool ReportFieldMap(const char* prc_path);
