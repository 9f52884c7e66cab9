// What the monitor does with one fetch of samples, apart from the driver calls.
#pragma once

#include <cstdint>
#include <cstdio>

#include "hsif/driver_records.h"

// True when the driver flagged lost data: bit 0 of the first word of the last
// slot of the kRawBufferSlots-slot raw buffer, whatever the fetched count.
bool RawLostDataFlag(const RawSample* raw);

// The fetched count as the monitor may use it: the driver never writes more
// than the kRawBufferSlots it is given, and a larger count is taken as that.
std::uint32_t BoundedSampleCount(std::uint32_t reported);

// Prints the first processed record's angle and index flag, then the angle of
// every record among the first `count` that carries the index mark. `count`
// must not exceed kRawBufferSlots.
void PrintSampleRound(std::FILE* stream, const ProcessedSample* processed, std::uint32_t count);
