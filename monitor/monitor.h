// The scan monitor: brings the sensor and the card up, prints mirror angles
// until the operator presses 'x', then releases the line and the card.
#pragma once

#include "hsif/driver_records.h"
#include "properties/properties.h"

// The program. Returns the exit status: 0 after 'x' (or a stop request) and
// after a failed fetch, 1 after a failed bring-up or a missing properties file,
// 2 without the output-file argument.
int RunMonitor(int argc, char** argv);
