// A check of a properties file's values, for scanmon-preflight: what the reader
// takes silently but the monitor then trips over. A key typed wrong is read as
// no key (the value stays 0), a value that is not a number reads as 0, and the
// card refuses a maximum range or sample period it cannot take; the monitor
// then blames the sample period, long after the real cause.
//
// Each problem is printed on `out` as "FAILED: ..." (the monitor would stop or
// misbehave) or "note: ..." (it runs, but not as the operator may think), each
// followed by "  hint: ..." lines. Every problem is listed, not only the first.
#pragma once

#include <cstdio>

#include "properties/properties.h"

struct PropertyFindings {
  int errors = 0;
  int notes = 0;
  // Per key (key-table order): a line sets it / its value is not a number.
  bool present[kPropertyKeyCount] = {};
  bool not_a_number[kPropertyKeyCount] = {};
};

// Reads the file as the reader does (the same line pieces, the same key rule)
// and reports unknown keys with the known key nearest to the typed one, lines
// without a key, integer values that are not numbers (laser_serial_port=COM4:
// the value is the port's number) and lines longer than the reader takes whole.
// `name` is how the file is called in the messages.
void CheckPropertyLines(std::FILE* file, const char* name, std::FILE* out,
                        PropertyFindings* findings);

// Reports the values the monitor passes to the card that the card cannot take:
// a maximum range or sample period that is missing or below what the card
// takes (5 us on the 200 kHz model), a sample period the 50 kHz model cannot
// take (under 20 us; a note), a negative card number. Keys the lines check
// found malformed are not reported again.
void CheckPropertyValues(const RunProperties& record, std::FILE* out, PropertyFindings* findings);

// The known key nearest to `typed` by edit distance (of equals, the one sharing
// the longest start with it, then the first). Compares at most 63 characters.
const char* NearestPropertyKey(const char* typed);
