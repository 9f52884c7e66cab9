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
// waits for the reader. (The recorder instead takes each fetch on the fetch
// thread itself, through a BlockSink below.)
//
// The driver's table is process-wide: one scanner source per process.
#pragma once

#include <memory>

#include "libscanmon/source.h"

struct CaptureConfig;

namespace scanmon_lib {

// What our own capture recorder needs beyond the C interface: the card brought
// up at open, but the motors powered, the settle wait and the sampling only
// when Start is called (so that the capture files are made in between, before
// anything moves), and how the fetch thread got on, for the recorder's own
// messages. Every driver call still comes from the fetch thread.
enum class ScannerPhase { kBringingUp, kBroughtUp, kSettling, kSampling, kEnded };
enum class ScannerFailure {
  kNone,
  kDriver,           // the driver did not load
  kBringUp,          // a step of the bring-up failed (its message printed)
  kCardModel,        // HsifGetCardModel failed
  kMotors,           // setting a motor's power failed
  kSamplingStart,    // HsifSamplingEnable failed before the first fetch
  kSamplingRestart,  // HsifSamplingEnable failed after lost data
  kFetch,            // a fetch failed
};

class StagedScanner : public Source {
 public:
  // Powers the motors, waits the settle time and starts sampling, on the
  // fetch thread; returns at once.
  virtual void Start() = 0;
  virtual ScannerPhase Phase() const = 0;
  virtual ScannerFailure Failure() const = 0;
  // Whether the priority raise asked for took effect (known from kSampling).
  virtual bool PriorityRaised() const = 0;
};

// The consumer that takes each fetch where the fetch thread made it, in place
// of the source's rings: the capture recorder, whose writer keeps rings of its
// own between the fetches and the disk. A second ring in front of those would
// copy every sample once more and hold another half second of them in memory
// for nothing. Take runs on the fetch thread, once for every fetch that has
// samples, and must never wait (the card's buffer holds only a fraction of a
// second): it copies what it keeps and returns.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // The fetch's block (never dropped_before: nothing is dropped in front of
  // the sink) and its records, valid during the call; raw is null unless
  // keep_raw. False ends the fetching: the sampling stops and the card is
  // released as on a close, and the phase becomes kEnded with no failure.
  virtual bool Take(const scanmon_block& block, const scanmon_sample* samples,
                    const scanmon_raw_sample* raw) = 0;
};

// The settings a capture configuration gives (the library's defaults for
// the rest; the priority raised), as scanmon_settings_from_config makes them.
void SettingsFromCaptureConfig(const CaptureConfig& config, scanmon_scanner_settings* settings);

// Opens the scanner staged (Start is then needed), every fetch given to
// `sink` instead of being read through ReadBlock (which then reports the
// source's end), the samples not fed to the source's own health figures (the
// recorder keeps its own). SCANMON_OK and *source, or the failure's status
// with Failure() told through *failure.
int OpenStagedScanner(const scanmon_scanner_settings& settings, BlockSink* sink,
                      std::unique_ptr<StagedScanner>* source, ScannerFailure* failure);

// Opens the scanner with settings already checked. SCANMON_OK and *source, or
// the failure's status with the thread's error text set.
int OpenScannerSource(const scanmon_scanner_settings& settings, std::unique_ptr<Source>* source);

}  // namespace scanmon_lib
