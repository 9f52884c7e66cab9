// capture-info's report of one capture file (.prc, .raw, or a bare header
// file), on stdout: the header, the records present against the header's
// count, whether the file ends on a whole record, the duration, for a .prc
// file the index marks, the mirror's rate, the lost-data flags and the
// revolutions the library assembles, the block index (capture/index_report.h)
// and the field map (fields/field_report.h). The records are read through the
// library's own record reader, the one its capture source uses.
#pragma once

// Reports the file at `path` (messages on stderr after "<program>: "); true
// when it is whole and consistent.
bool ReportCaptureFile(const char* program, const char* path);
