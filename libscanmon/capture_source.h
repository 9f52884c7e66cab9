// The capture source: a recorded capture read back as its blocks.
//
// <base>.prc (a capture header, then 64-byte processed records), <base>.raw
// when asked for (the same header, then 16-byte raw records of the same
// samples) and <base>.idx when present (the blocks as they were fetched).
// Without an index the records are cut into blocks of a fixed size, with
// their times from the sample period. Files are read in order, each block's
// records straight into the caller's buffers; looping opens them afresh.
#pragma once

#include <memory>

#include "libscanmon/source.h"

namespace scanmon_lib {

// Opens the capture with options already checked. SCANMON_OK and *source, or
// the failure's status with the thread's error text set.
int OpenCaptureSource(const char* base, const scanmon_capture_options& options,
                      std::unique_ptr<Source>* source);

}  // namespace scanmon_lib
