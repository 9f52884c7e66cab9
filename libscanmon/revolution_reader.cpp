#include "libscanmon/revolution_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

namespace scanmon_lib {

bool RevolutionReader::Open(std::uint32_t max_samples, std::uint32_t max_block_samples,
                            bool complete_only) {
  max_samples_ = max_samples;
  max_block_ = max_block_samples > 0 ? max_block_samples : 1;
  complete_only_ = complete_only;
  revolution_.reset(new (std::nothrow) scanmon_sample[max_samples_]);
  block_samples_.reset(new (std::nothrow) scanmon_sample[max_block_]);
  return revolution_ != nullptr && block_samples_ != nullptr;
}

void RevolutionReader::Begin(double t, std::uint64_t sample, bool by_mark) {
  count_ = 0;
  first_sample_ = sample;
  start_t_ = t;
  utc_offset_ = block_.utc_ns != 0 ? block_.utc_ns - block_.mono_ns : 0;
  flags_ = 0;
  missing_inside_ = 0;
  if (!by_mark) flags_ |= after_bound_ ? SCANMON_REVOLUTION_NO_INDEX : SCANMON_REVOLUTION_CUT_START;
  after_bound_ = false;
}

void RevolutionReader::Finish(double end_t, std::uint32_t flags) {
  const std::uint32_t all = flags_ | flags;
  done_ = scanmon_revolution{};
  done_.struct_size = sizeof done_;
  done_.flags = all;
  done_.number = number_++;
  done_.first_sample = first_sample_;
  done_.count = count_;
  done_.start_mono_ns = static_cast<std::int64_t>(std::floor(start_t_ + 0.5));
  done_.start_utc_ns = utc_offset_ != 0 ? done_.start_mono_ns + utc_offset_ : 0;
  done_.duration_ns = end_t - start_t_;
  done_.rate_hz = done_.duration_ns > 0.0 ? 1e9 / done_.duration_ns : 0.0;
  // The samples its times span: those present and those missing inside it
  // (their gaps are their number of periods).
  const std::uint64_t expected = count_ + missing_inside_;
  done_.expected = static_cast<std::uint32_t>(std::min<std::uint64_t>(expected, UINT32_MAX));
  done_.completeness = done_.expected > 0 ? static_cast<double>(count_) / done_.expected : 0.0;
  count_ = 0;
  ready_ = !(complete_only_ && all != 0);
  after_bound_ = (flags & SCANMON_REVOLUTION_NO_INDEX) != 0;
}

int RevolutionReader::Read(BlockFeed* feed, std::int32_t timeout_ms, scanmon_revolution* out,
                           scanmon_sample* samples, std::uint32_t capacity) {
  for (;;) {
    if (ready_) {
      *out = done_;
      if (samples != nullptr) {
        if (done_.count > capacity) return SCANMON_E_BUFFER;
        std::memcpy(samples, revolution_.get(), done_.count * sizeof(scanmon_sample));
      }
      ready_ = false;
      return SCANMON_OK;
    }
    if (!have_block_ || pos_ == block_.count) {
      if (ended_) return SCANMON_END;
      int status = feed->Next(timeout_ms, &block_, &times_, block_samples_.get(), max_block_);
      if (status == SCANMON_END) {
        ended_ = true;
        if (count_ > 0) {
          Finish(start_t_ + count_ * times_.period_ns, SCANMON_REVOLUTION_CUT_END);
          continue;
        }
        return SCANMON_END;
      }
      if (status != SCANMON_OK) return status;
      have_block_ = true;
      pos_ = 0;
      if (count_ > 0) {
        // Samples missing before this block lie inside the revolution; a new
        // run of times ends it.
        if (times_.run_start) {
          Finish(start_t_ + count_ * times_.period_ns, SCANMON_REVOLUTION_CUT_END);
          continue;
        }
        if ((block_.flags & SCANMON_BLOCK_LOST_DATA) != 0 || times_.missing_estimated > 0) {
          flags_ |= SCANMON_REVOLUTION_LOST_DATA;
        }
        if (times_.missing_numbered > 0) flags_ |= SCANMON_REVOLUTION_DROPPED;
        missing_inside_ += times_.missing_numbered + times_.missing_estimated;
      }
      continue;
    }
    const scanmon_sample& sample = block_samples_[pos_];
    const double t = static_cast<double>(times_.first_mono_ns) + pos_ * times_.period_ns;
    const bool mark = (sample.flags & SCANMON_SAMPLE_INDEX) != 0;
    if (count_ > 0 && mark) {
      Finish(t, 0);  // the mark begins the next one
      if (ready_) continue;
    }
    if (count_ == max_samples_) {
      Finish(t, SCANMON_REVOLUTION_NO_INDEX);
      if (ready_) continue;
    }
    if (count_ == 0) Begin(t, block_.first_sample + pos_, mark);
    revolution_[count_++] = sample;
    ++pos_;
  }
}

}  // namespace scanmon_lib
