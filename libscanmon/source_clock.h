// A source's sample clock behind the C interface: fed with every block the
// reader is handed, asked for the last block's times (scanmon_block_times).
#pragma once

#include "libscanmon/sample_clock.h"
#include "scanmon/scanmon.h"

namespace scanmon_lib {

class SourceClock {
 public:
  // The source's nominal sample period, and whether its blocks carry fetch
  // return times (a capture without block index has only the period's).
  void Start(std::uint32_t sample_period_us, bool fetch_times);
  void Add(const scanmon_block& block);
  // struct_size has been checked.
  void Times(scanmon_block_times* out) const;

 private:
  SampleClock clock_;
  bool fetch_times_ = true;
  bool any_ = false;
  scanmon_block block_{};
  BlockClockTimes times_;
};

}  // namespace scanmon_lib
