// The revolutions, the clock and the events of the blocks served
// (serve/revolutions.h).
#include "serve/revolutions.h"

#include <cmath>
#include <cstring>
#include <new>

namespace serve {
namespace {

// How often the latest revolution is taken for the page (its samples are
// copied then, not for every revolution).
constexpr double kProfileSeconds = 0.5;
// Revolutions cut by the run's start or end, or without an index mark, have
// no rate worth drawing.
constexpr std::uint32_t kNoRate =
    SCANMON_REVOLUTION_CUT_START | SCANMON_REVOLUTION_CUT_END | SCANMON_REVOLUTION_NO_INDEX;

}  // namespace

// Hands the revolution reader the one block the server just read, then
// "nothing yet" until the next; the end once the source ended.
class RevolutionWatch::Feed : public scanmon_lib::BlockFeed {
 public:
  void Give(const scanmon_block* block, const scanmon_block_times* times,
            const scanmon_sample* samples) {
    block_ = block;
    times_ = times;
    samples_ = samples;
  }
  void End() { ended_ = true; }

  int Next(std::int32_t, scanmon_block* block, scanmon_block_times* times, scanmon_sample* samples,
           std::uint32_t capacity) override {
    if (ended_) return SCANMON_END;
    if (block_ == nullptr) return SCANMON_TIMEOUT;
    if (block_->count > capacity) {
      block_ = nullptr;  // the source's own limit: never
      return SCANMON_TIMEOUT;
    }
    *block = *block_;
    *times = *times_;
    std::memcpy(samples, samples_, sizeof(scanmon_sample) * block_->count);
    block_ = nullptr;
    return SCANMON_OK;
  }

 private:
  const scanmon_block* block_ = nullptr;
  const scanmon_block_times* times_ = nullptr;
  const scanmon_sample* samples_ = nullptr;
  bool ended_ = false;
};

RevolutionWatch::RevolutionWatch() : feed_(new Feed) {}
RevolutionWatch::~RevolutionWatch() = default;

bool RevolutionWatch::Start(scanmon_source* source, std::uint32_t max_block_samples,
                            std::uint32_t sample_period_us) {
  source_ = source;
  // A revolution without an index mark ends after a second of samples, as
  // the library's own revolution reader does by default.
  max_samples_ = 1000000u / (sample_period_us > 0 ? sample_period_us : 1u);
  if (max_samples_ < max_block_samples) max_samples_ = max_block_samples;
  latest_.reset(new (std::nothrow) scanmon_sample[max_samples_]);
  if (!latest_ || !reader_.Open(max_samples_, max_block_samples, false)) return false;
  std::uint32_t index = 0;
  scanmon_field field{};
  field.struct_size = sizeof field;
  have_range_ = scanmon_field_find(source, "range", &index) == SCANMON_OK &&
                scanmon_field_info(source, index, &field) == SCANMON_OK;
  range_index_ = index;
  if (have_range_) std::memcpy(range_unit_, field.unit, sizeof range_unit_ - 1);
  return true;
}

void RevolutionWatch::Event(EventKind kind, std::uint64_t samples, std::uint64_t sequence,
                            double now_s) {
  // The card's loss is sized over the flagged block and the one after it
  // (the sample clock's estimate): one event.
  if (kind == EventKind::kLostData && events_.total > 0 && sequence == last_lost_sequence_ + 1) {
    EventPoint& last = events_.points[(events_.total - 1) % kEventHistory];
    if (last.kind == kind) {
      last.samples += samples;
      last_lost_sequence_ = sequence;
      return;
    }
  }
  if (kind == EventKind::kLostData) last_lost_sequence_ = sequence;
  EventPoint& e = events_.points[events_.total % kEventHistory];
  e.t_s = now_s;
  e.samples = samples;
  e.kind = kind;
  ++events_.total;
}

void RevolutionWatch::Add(const scanmon_block& block, const scanmon_sample* samples, double now_s) {
  scanmon_block_times times{};
  times.struct_size = sizeof times;
  if (scanmon_block_times_get(source_, &times) != SCANMON_OK) return;
  figures_.clock_state = times.clock_state;
  figures_.clock_rate_hz = times.rate_hz;
  figures_.drift_ppm = times.drift_ppm;
  figures_.residual_median_s = times.residual_median_ns * 1e-9;
  figures_.residual_p99_s = times.residual_p99_ns * 1e-9;
  figures_.lock_after_s = times.lock_after_ns >= 0 ? times.lock_after_ns * 1e-9 : -1;
  if ((block.flags & SCANMON_BLOCK_LOST_DATA) != 0 || times.missing_estimated > 0) {
    Event(EventKind::kLostData, times.missing_estimated, block.sequence, now_s);
  }
  if (block.dropped_before > 0)
    Event(EventKind::kDropped, block.dropped_before, block.sequence, now_s);
  feed_->Give(&block, &times, samples);
  Drain(now_s);
}

void RevolutionWatch::End(double now_s) {
  feed_->End();
  Drain(now_s);
}

void RevolutionWatch::Drain(double now_s) {
  for (;;) {
    const bool due = now_s - last_profile_s_ >= kProfileSeconds;
    scanmon_revolution r{};
    r.struct_size = sizeof r;
    const int status =
        reader_.Read(feed_.get(), 0, &r, due ? latest_.get() : nullptr, due ? max_samples_ : 0);
    if (status != SCANMON_OK) return;
    Take(r, due, now_s);
  }
}

void RevolutionWatch::Take(const scanmon_revolution& r, bool with_samples, double now_s) {
  if (r.flags == 0) {
    ++figures_.complete;
    figures_.rate_known = true;
    figures_.rate_hz = r.rate_hz;
  } else {
    ++figures_.incomplete;
  }
  RatePoint& p = rates_.points[rates_.total % kRateHistory];
  p.t_s = now_s;
  p.rate_hz = static_cast<float>(r.rate_hz);
  p.flags = r.flags;
  ++rates_.total;
  if (!with_samples || r.count == 0) return;
  // A revolution cut short by the run is drawn only when none whole came.
  if ((r.flags & kNoRate) != 0 && profile_.known) return;
  last_profile_s_ = now_s;
  LatestRevolution& l = profile_;
  l.known = true;
  l.number = r.number;
  l.flags = r.flags;
  l.count = r.count;
  l.rate_hz = (r.flags & kNoRate) == 0 ? r.rate_hz : 0;
  l.t_s = now_s;
  l.has_range = have_range_;
  std::memcpy(l.range_unit, range_unit_, sizeof l.range_unit);
  // Every step-th sample, the last one included: the angle's whole sweep.
  const std::uint32_t step = (r.count + kProfilePoints - 1) / kProfilePoints;
  const double period_s = r.expected > 0 ? r.duration_ns * 1e-9 / r.expected : 0;
  int n = 0;
  for (std::uint32_t i = 0; i < r.count && n < kProfilePoints; i += step) {
    const std::uint32_t at = i + step >= r.count ? r.count - 1 : i;
    const scanmon_sample& sample = latest_[at];
    if (!std::isfinite(sample.angle)) continue;  // a capture's bytes, not an angle
    l.time_s[n] = static_cast<float>(at * period_s);
    l.angle[n] = static_cast<float>(sample.angle);
    double range = 0;
    if (have_range_ && scanmon_field_value(source_, range_index_, &sample, &range) != SCANMON_OK)
      range = 0;
    l.range[n] = static_cast<float>(range);
    ++n;
  }
  l.points = n;
}

void RevolutionWatch::CopyTo(StatusSnapshot* s) const {
  s->revolutions = figures_;
  s->rates = rates_;
  s->events = events_;
  s->latest = profile_;
}

}  // namespace serve
