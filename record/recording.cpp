#include "record/recording.h"

#include <algorithm>
#include <cstdio>

#include "capture/block_index.h"
#include "hsif/driver_records.h"
#include "platform/clock.h"
#include "platform/sleep.h"

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

namespace {

// The stabilisation wait and the reading look for a stop this often.
constexpr win::DWORD kWaitSliceMs = 50;
// A card that answers fetches without samples for this long (or for ten sample
// periods, when that is longer) has stopped delivering: the capture ends as
// after a failed fetch.
constexpr double kSilenceSeconds = 5.0;
constexpr double kSilencePeriods = 10.0;

}  // namespace

StartResult StartSampling(scanmon_lib::StagedScanner* source, std::int32_t delay_ms,
                          bool (*stop_asked)()) {
  source->Start();
  bool told = false;
  for (;;) {
    const scanmon_lib::ScannerPhase phase = source->Phase();
    if (phase == scanmon_lib::ScannerPhase::kSampling) return StartResult::kSampling;
    // Ended without a failure: the sink had all it wanted (a short capture
    // can be whole before this loop looks again; seen under load).
    if (phase == scanmon_lib::ScannerPhase::kEnded) {
      return source->Failure() == scanmon_lib::ScannerFailure::kNone ? StartResult::kSampling
                                                                     : StartResult::kFailed;
    }
    if (phase == scanmon_lib::ScannerPhase::kSettling && !told && delay_ms > 0) {
      std::fprintf(stderr, "Waiting %ld ms for the motors to settle ('x' or Ctrl-C stops)\n",
                   static_cast<long>(delay_ms));
      told = true;
    }
    // A stop is looked for once the motors run, as the stabilisation wait
    // always has: they are then powered off again on the way out.
    if (phase == scanmon_lib::ScannerPhase::kSettling && stop_asked()) return StartResult::kStopped;
    win::Sleep(phase == scanmon_lib::ScannerPhase::kSettling ? kWaitSliceMs : 1);
  }
}

void WatchCapture(scanmon_lib::StagedScanner* source, std::uint32_t period_us,
                  CaptureWriter* writer, RecordingSink* sink, bool (*stop_asked)(),
                  RecordingResult* r) {
  const double period_s = period_us * 1e-6;
  const double silence_limit_s =
      kSilencePeriods * period_s > kSilenceSeconds ? kSilencePeriods * period_s : kSilenceSeconds;
  // The silence is measured from the start of the sampling, or the last
  // fetch with samples when there was one.
  const double start_s = platform::MonotonicSeconds();
  sink->MarkStart(start_s);
  for (;;) {
    if (sink->Complete()) break;
    if (stop_asked()) {
      r->stopped = true;
      break;
    }
    if (writer->Failed()) break;
    if (source->Phase() == scanmon_lib::ScannerPhase::kEnded) {
      if (sink->Complete() || writer->Failed()) break;
      if (source->Failure() == scanmon_lib::ScannerFailure::kSamplingRestart) {
        sink->NoteLostBeforeFailure();
        sink->Note("restarting the card's sampling after lost data failed");
      }
      r->fetch_failed = true;
      break;
    }
    const double now_s = platform::MonotonicSeconds();
    const double last_s = std::max(start_s, sink->LastSamplesSeconds());
    if (now_s - last_s >= silence_limit_s) {
      r->fetch_failed = true;
      r->silent = true;
      r->silent_s = now_s - last_s;
      break;
    }
    sink->UpdateStatus(now_s);
    win::Sleep(kWaitSliceMs);
  }
}
