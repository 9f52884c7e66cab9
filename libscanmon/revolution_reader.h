// Revolutions: a line scanner's second unit. One turn of the scan mirror runs
// from one index mark to the sample before the next; the reader assembles them
// from the blocks of any source, timed by the source's sample clock.
//
// A revolution is handed over whole, into the caller's buffer, with its flags:
// the card lost data inside it, samples were dropped inside it, it was cut by
// the start of the run (begun before the first mark) or by its end, or it ran
// without an index mark for max_samples (a stopped mirror: it ends there, so no
// revolution holds samples without limit). With complete_only the flagged ones
// are skipped (counted by their numbers all the same).
//
// Memory: one buffer of max_samples and one of the largest block, had at open;
// nothing per block or per revolution.
#pragma once

#include <cstdint>
#include <memory>

#include "scanmon/scanmon.h"

namespace scanmon_lib {

// Where the blocks come from: a source read through the C interface, or a
// test's script.
class BlockFeed {
 public:
  virtual ~BlockFeed() = default;
  // scanmon_read_block's results; on SCANMON_OK *times is the block's.
  virtual int Next(std::int32_t timeout_ms, scanmon_block* block, scanmon_block_times* times,
                   scanmon_sample* samples, std::uint32_t capacity) = 0;
};

class RevolutionReader {
 public:
  // False when the buffers cannot be had.
  bool Open(std::uint32_t max_samples, std::uint32_t max_block_samples, bool complete_only);

  // The next revolution: SCANMON_OK; SCANMON_E_BUFFER (*out written, the
  // revolution stays the next one); the feed's SCANMON_TIMEOUT, SCANMON_END
  // (after the last, cut, revolution) or failure.
  int Read(BlockFeed* feed, std::int32_t timeout_ms, scanmon_revolution* out,
           scanmon_sample* samples, std::uint32_t capacity);

 private:
  void Begin(double t, std::uint64_t sample, bool by_mark);
  void Finish(double end_t, std::uint32_t flags);

  std::unique_ptr<scanmon_sample[]> revolution_;
  std::unique_ptr<scanmon_sample[]> block_samples_;
  std::uint32_t max_samples_ = 0, max_block_ = 0;
  bool complete_only_ = false;

  scanmon_block block_{};
  scanmon_block_times times_{};
  std::uint32_t pos_ = 0;
  bool have_block_ = false, ended_ = false;

  // The revolution being assembled.
  std::uint32_t count_ = 0, flags_ = 0;
  std::uint64_t missing_inside_ = 0;  // samples missing between its blocks
  std::uint64_t first_sample_ = 0;
  double start_t_ = 0.0;         // host monotonic ns
  std::int64_t utc_offset_ = 0;  // UTC - monotonic of its first block
  bool after_bound_ = false;     // the previous ended by the bound: this one began without a mark

  // The finished one, waiting to be handed over.
  bool ready_ = false;
  scanmon_revolution done_{};
  std::uint64_t number_ = 0;
};

}  // namespace scanmon_lib
