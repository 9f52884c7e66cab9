// What the page shows of the mirror and the sample clock: the revolutions of
// the blocks the server publishes, assembled by the library's revolution
// reader (the one every program uses, handed one block at a time), the
// clock's state from the source's own sample clock, and the source's
// lost-data and dropped-sample events, each kept in a bounded history so that
// a page opened later still sees the last minutes.
//
// The main thread alone feeds it (Add, after each block it read) and copies
// its figures into the status snapshot a few times a second. Memory: the
// reader's two buffers and one revolution's worth of samples for the latest
// one, had at Start; nothing per block or per revolution.
#pragma once

#include <cstdint>
#include <memory>

#include "libscanmon/revolution_reader.h"
#include "scanmon/scanmon.h"
#include "serve/status.h"

namespace serve {

class RevolutionWatch {
 public:
  RevolutionWatch();
  ~RevolutionWatch();

  // The source's largest block and sample period; the field map's "range"
  // is drawn when the source has one. False when the buffers cannot be had.
  bool Start(scanmon_source* source, std::uint32_t max_block_samples,
             std::uint32_t sample_period_us);
  // One block the server read from the source (with its times, asked of the
  // source right after the read); now_s the server's clock.
  void Add(const scanmon_block& block, const scanmon_sample* samples, double now_s);
  // The source ended: its last, cut, revolution.
  void End(double now_s);
  // Into the snapshot (under its lock).
  void CopyTo(StatusSnapshot* s) const;

 private:
  class Feed;
  void Drain(double now_s);
  void Take(const scanmon_revolution& r, bool with_samples, double now_s);
  void Event(EventKind kind, std::uint64_t samples, std::uint64_t sequence, double now_s);

  scanmon_source* source_ = nullptr;
  std::unique_ptr<Feed> feed_;
  scanmon_lib::RevolutionReader reader_;
  std::unique_ptr<scanmon_sample[]> latest_;  // the revolution being drawn
  std::uint32_t max_samples_ = 0;
  bool have_range_ = false;
  std::uint32_t range_index_ = 0;
  char range_unit_[SCANMON_FIELD_UNIT_BYTES] = {};
  double last_profile_s_ = -1e9;
  std::uint64_t last_lost_sequence_ = ~std::uint64_t{0};

  RevolutionFigures figures_;
  RateHistory rates_;
  EventHistory events_;
  LatestRevolution profile_;
};

}  // namespace serve
