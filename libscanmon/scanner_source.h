// The scanner source: the card brought up, fetched and released by one thread
// of the source's own.
//
// Nothing says the card's driver is safe for more than one thread, so every
// driver call, from loading the driver and the bring-up to the motors' power-off
// and the release, is made by the fetch thread. The opener waits for the
// bring-up's outcome; the fetch thread then waits the settle time, starts
// sampling and fetches at the card's pace. Each fetch with samples becomes one
// block: its samples (and raw records) go into their rings first, the block's
// record last, so a reader that sees the record finds its samples. A fetch that
// does not fit in the rings is dropped whole and counted; the next block that
// fits says how many samples were dropped before it. The fetch thread never
// waits for the reader.
//
// The driver's table is process-wide: one scanner source per process.
#pragma once

#include <memory>

#include "libscanmon/source.h"

namespace scanmon_lib {

// Opens the scanner with settings already checked. SCANMON_OK and *source, or
// the failure's status with the thread's error text set.
int OpenScannerSource(const scanmon_scanner_settings& settings, std::unique_ptr<Source>* source);

}  // namespace scanmon_lib
