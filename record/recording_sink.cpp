#include "record/recording_sink.h"

#include "capture/block_index.h"
#include "hsif/driver_records.h"

bool RecordingSink::Take(const scanmon_block& got, const scanmon_sample* samples,
                         const scanmon_raw_sample* raw) {
  last_samples_ns_.store(got.mono_ns, std::memory_order_relaxed);
  if (writer_->Failed()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  const bool lost = (got.flags & SCANMON_BLOCK_LOST_DATA) != 0;
  if (lost) {
    // The source started the card's buffer afresh and went on.
    ++result_.lost_events;
    status_->Note("data lost at sample %llu", static_cast<unsigned long long>(result_.recorded));
    pending_flags_ |= SCANMON_BLOCK_CARD_LOST;
  }
  const std::uint64_t left = target_ - result_.recorded;
  const std::uint32_t take = left < got.count ? static_cast<std::uint32_t>(left) : got.count;
  const auto* processed = reinterpret_cast<const ProcessedSample*>(samples);
  FeedHealth(*health_, processed, take, lost, period_us_, static_cast<double>(got.mono_ns) * 1e-9);
  // The buffer was started afresh after this fetch: samples are missing
  // after it too, and no revolution may be measured across them.
  if (lost) NoteHealthGap(*health_);
  if (take > 0) {
    BlockRecord kept{};
    kept.sequence = got.sequence;
    kept.first_sample = got.first_sample;
    kept.first_record = result_.recorded;
    kept.count = take;
    kept.flags = pending_flags_ | (dropping_ > 0 ? SCANMON_BLOCK_DROPPED : 0u);
    kept.dropped_before = dropping_;
    kept.utc_ns = got.utc_ns;
    kept.mono_ns = got.mono_ns;
    if (writer_->Append(processed, keep_raw_ ? static_cast<const void*>(raw) : nullptr, take,
                        kept)) {
      pending_flags_ = 0;
      if (dropping_ > 0) {
        status_->Note("ring drained: %llu samples not kept at sample %llu",
                      static_cast<unsigned long long>(dropping_),
                      static_cast<unsigned long long>(result_.recorded));
      }
      dropping_ = 0;
      result_.recorded += take;
      recorded_.store(result_.recorded, std::memory_order_relaxed);
    } else {
      // The disk is behind by more than the rings hold: these samples are
      // lost, counted, and said once per episode; no revolution is measured
      // across them.
      if (dropping_ == 0) {
        ++result_.ring_events;
        status_->Note("ring full at sample %llu: the disk is behind, samples are not kept",
                      static_cast<unsigned long long>(result_.recorded));
      }
      dropping_ += take;
      result_.ring_dropped += take;
    }
  }
  if (result_.recorded < target_) return true;
  complete_.store(true, std::memory_order_release);
  return false;
}
