// The scan monitor: brings the sensor and the card up, prints mirror angles
// until the operator presses 'x', then releases the line and the card.
#pragma once

#include "hsif/driver_records.h"
#include "properties/properties.h"

// The program: scanmon [--status] OUTPUT_FILE. Returns the exit status: 0
// after 'x' (or a stop request), 1 after a failed bring-up or a missing
// properties file, 2 without the output-file argument, 3 after a failed fetch
// (the line released and the card closed as after 'x').
int RunMonitor(int argc, char** argv);

// The usage lines, as --help and a usage error show them.
inline constexpr char kMonitorUsage[] =
    "Usage: scanmon [--status] OUTPUT_FILE\n"
    "  or:  scanmon --help | --version\n";
