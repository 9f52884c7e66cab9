// A recording from the scanner source: the sink on its fetch thread, which
// feeds each fetch to the health figures and copies it once into the capture
// writer's rings (record/capture_writer.h), with the block record that tells
// the gap before it; the start of the sampling and the watch over the
// recording on the main thread; and what the recording came to.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "health/scan_health.h"
#include "libscanmon/scanner_source.h"
#include "record/capture_writer.h"
#include "record/record_status.h"

// What the recording came to.
struct RecordingResult {
  std::uint64_t recorded = 0;
  std::uint64_t lost_events = 0;   // fetches on which the card reported lost data
  std::uint64_t ring_dropped = 0;  // samples not kept: the rings were full
  std::uint64_t ring_events = 0;
  bool stopped = false;
  bool fetch_failed = false;
  bool silent = false;  // the card answered without samples for too long
  double silent_s = 0;
  double start_s = 0;
  double end_s = 0;
};

// Takes each fetch on the scanner source's fetch thread, as it is made: feeds
// the health figures and copies the records once, into the writer's rings,
// until the configured count is kept or a write has failed. The main thread
// meanwhile looks for a stop, a silent card and a failed fetch, and keeps the
// status line; the two share the health figures and the status line under a
// lock (taken once per fetch and a few times a second: never contended long).
class RecordingSink final : public scanmon_lib::BlockSink {
 public:
  // `target` samples to keep, of `period_us` each; the raw records too when
  // `keep_raw`.
  RecordingSink(std::uint64_t target, bool keep_raw, std::uint32_t period_us, CaptureWriter* writer,
                StatusLine* status)
      : writer_(writer),
        status_(status),
        target_(target),
        keep_raw_(keep_raw),
        period_us_(period_us),
        health_(new HealthState()) {
    StartHealth(*health_, HealthSettings{});
  }

  // Main thread, once the sampling runs: the start of the recording's time.
  void MarkStart(double now_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    result_.start_s = now_s;
  }

  bool Take(const scanmon_block& got, const scanmon_sample* samples,
            const scanmon_raw_sample* raw) override;

  // Main thread, while the fetch thread runs.
  bool Complete() const { return complete_.load(std::memory_order_acquire); }
  double LastSamplesSeconds() const {
    return static_cast<double>(last_samples_ns_.load(std::memory_order_relaxed)) * 1e-9;
  }
  // The status line, when it is due.
  void UpdateStatus(double now_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double elapsed_s = now_s - result_.start_s;
    if (!status_->Due(elapsed_s)) return;
    status_->Update(recorded_.load(std::memory_order_relaxed), target_,
                    result_.lost_events + result_.ring_events, writer_->BytesWritten(),
                    ReadHealth(*health_), elapsed_s);
  }
  void Note(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_->Note("%s", text);
  }
  // A failed restart of the card's sampling after lost data: the data was
  // lost all the same.
  void NoteLostBeforeFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++result_.lost_events;
    status_->Note("data lost at sample %llu",
                  static_cast<unsigned long long>(recorded_.load(std::memory_order_relaxed)));
  }

  // Any thread: no fetch is taken after this.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }

  // Once the fetch thread has ended (the source closed): the counts.
  RecordingResult Finish() {
    if (dropping_ > 0) {
      status_->Note("ring still full at the end: %llu samples not kept at sample %llu",
                    static_cast<unsigned long long>(dropping_),
                    static_cast<unsigned long long>(result_.recorded));
    }
    return result_;
  }
  // After Finish: the health figures' totals over the recording.
  HealthTotals Totals() const { return SummarizeHealth(*health_); }

 private:
  CaptureWriter* const writer_;
  StatusLine* const status_;
  const std::uint64_t target_;
  const bool keep_raw_;
  const std::uint32_t period_us_;
  // The recording's health figures (a revolution ring of fixed size: made
  // once, off the stack).
  const std::unique_ptr<HealthState> health_;
  std::mutex mutex_;  // the health figures, the status line, the counts in result_
  RecordingResult result_;
  bool closed_ = false;
  std::atomic<std::uint64_t> recorded_{0};
  std::atomic<bool> complete_{false};
  std::atomic<std::int64_t> last_samples_ns_{0};  // monotonic time of the last fetch
  // The fetch thread's own.
  std::uint64_t dropping_ = 0;       // samples not kept since the rings last took a block
  std::uint32_t pending_flags_ = 0;  // what the next kept block must say about the gap before it
};

// What the source's start came to: sampling, a stop first, or a failure.
enum class StartResult { kSampling, kStopped, kFailed };

// Starts the source's motors and sampling and waits for the sampling to run,
// telling the stabilisation wait; a stop request (`stop_asked` true) ends the wait.
StartResult StartSampling(scanmon_lib::StagedScanner* source, std::int32_t delay_ms,
                          bool (*stop_asked)());

// The main thread while the fetch thread records: until the configured count
// is recorded, a stop (`stop_asked` true), a failed write, a failed fetch or
// a silent card (no samples for 5 s, or ten sample periods of `period_us`
// when that is longer).
void WatchCapture(scanmon_lib::StagedScanner* source, std::uint32_t period_us,
                  CaptureWriter* writer, RecordingSink* sink, bool (*stop_asked)(),
                  RecordingResult* r);
