// Whether a header that reads whole is one this system could have written: a
// text file or some other program's data also fills the 292 bytes, and the
// header reader refuses no version. Each field is held against the range the
// capture configuration allows for it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "capture/capture_header.h"

// Header versions this system writes (3) or reads (the earlier 1 and 2).
inline constexpr std::uint32_t kOldestCaptureHeaderVersion = 1;
// The longest sample period the card can be set to, in microseconds.
inline constexpr std::uint32_t kMaxPlausibleSamplePeriodUs = 1000000;

// Prints one line per implausible field on `out`, "  <field> <value>: <what
// was expected>\n", in file order, and returns how many there were (0: the
// header is plausible). A null `out` only counts. The fields held: version, sampling period, max
// range, buf size, num samples, comport, card number and a NUL inside cal file.
int ReportImplausibleHeaderFields(const CaptureHeader& header, std::FILE* out);
