#include "libscanmon/scanner_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "health/scan_health.h"
#include "hsif/driver_binding.h"
#include "hsif/driver_entry.h"
#include "libscanmon/record_ring.h"
#include "platform/clock.h"
#include "platform/library.h"
#include "procenv/process_settings.h"
#include "scanner/bring_up.h"

namespace scanmon_lib {

namespace {

static_assert(sizeof(scanmon_sample) == sizeof(ProcessedSample));
static_assert(sizeof(scanmon_raw_sample) == sizeof(RawSample));
constexpr std::size_t kBlockBytes = sizeof(scanmon_block);
constexpr std::size_t kSampleBytes = sizeof(ProcessedSample);
constexpr std::size_t kRawBytes = sizeof(RawSample);

// One scanner source per process: the driver's table is process-wide.
std::atomic<bool> g_scanner_open{false};

// Reads `bytes` from the front of a ring into `out` (null: drops them). The
// caller has seen that many waiting.
void TakeFromRing(RecordRing& ring, void* out, std::size_t bytes) {
  auto* to = static_cast<unsigned char*>(out);
  while (bytes > 0) {
    const unsigned char* data = nullptr;
    std::size_t run = ring.Peek(&data, bytes);
    if (to != nullptr) {
      std::memcpy(to, data, run);
      to += run;
    }
    ring.Drop(run);
    bytes -= run;
  }
}

class ScannerSource final : public StagedScanner {
 public:
  ScannerSource(const scanmon_scanner_settings& settings, bool staged, BlockSink* sink)
      : settings_(settings), staged_(staged), sink_(sink) {}
  // The process's one scanner place was taken before the source was made;
  // it is free again once the fetch thread has released the card.
  ~ScannerSource() override {
    Stop();
    g_scanner_open.store(false);
  }

  int Open();
  int ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                scanmon_raw_sample* raw, std::uint32_t capacity) override;
  void Info(scanmon_source_info* info) const override;
  void Health(scanmon_health* health) override;
  void Header(scanmon_capture_header* header) const override;
  void Start() override;
  ScannerPhase Phase() const override { return phase_.load(std::memory_order_acquire); }
  ScannerFailure Failure() const override { return failure_.load(std::memory_order_acquire); }
  bool PriorityRaised() const override { return raised_.load(std::memory_order_acquire); }

 private:
  enum class BringUp { kRunning, kDone, kFailed };

  void Run();
  bool BringUpCard();
  bool PowerMotors(std::string* what);
  bool WaitStart();
  void ReleaseCard();
  bool WaitSettle();
  void FetchLoop();
  void Publish(const scanmon_block& block, std::uint32_t count);
  int TakeBlockRecord(std::int32_t timeout_ms);
  void Stop();
  static void CollectMessage(const char* text, void* context);

  const scanmon_scanner_settings settings_;
  const bool staged_;      // motors and sampling wait for Start; no health figures fed
  BlockSink* const sink_;  // takes every fetch in place of the rings; may be null
  std::size_t fetch_samples_ = 0;
  std::uint64_t ring_samples_ = 0;
  std::unique_ptr<RawSample[]> raw_;
  std::unique_ptr<ProcessedSample[]> processed_;
  std::unique_ptr<RecordRing> block_ring_;
  std::unique_ptr<RecordRing> sample_ring_;
  std::unique_ptr<RecordRing> raw_ring_;
  std::unique_ptr<HealthState> health_;
  std::mutex health_mutex_;

  // Fetch thread's own (the driver's state).
  MonitorPortStorage port_storage_{};
  ScannerLink link_;
  CardHandle card_ = kNoCard;
  bool motor_switched_[SCANMON_MOTORS] = {};
  bool priority_raised_ = false;
  std::string messages_;  // the bring-up's messages, for the error text
  std::uint8_t sensor_model_ = SCANMON_MODEL_UNKNOWN;

  std::thread thread_;
  std::mutex mutex_;  // guards the states below and the reader's wake-up
  std::condition_variable wake_;
  BringUp bring_up_ = BringUp::kRunning;
  int bring_up_status_ = SCANMON_OK;
  std::string bring_up_error_;
  bool stopping_ = false;
  bool start_ = false;
  std::atomic<ScannerPhase> phase_{ScannerPhase::kBringingUp};
  std::atomic<ScannerFailure> failure_{ScannerFailure::kNone};
  std::atomic<bool> raised_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> fetch_failed_{false};
  std::atomic<bool> sampling_{false};

  // Counts the fetch thread keeps and the reader reads.
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> drop_events_{0};
  std::atomic<std::uint64_t> peak_samples_{0};

  // The reader's own.
  bool have_pending_ = false;
  scanmon_block pending_{};
  std::uint64_t blocks_read_ = 0;
  std::uint64_t samples_read_ = 0;
};

int ScannerSource::Open() {
  fetch_samples_ = static_cast<std::size_t>(settings_.fetch_samples);
  // The ring holds ring_ms of samples at the sample period, and at least two
  // fetches, so that one fetch can be read while the next is put. A sink
  // takes the fetches where they are made: then no rings (empty ones accept
  // nothing and hold nothing to read).
  if (sink_ == nullptr) {
    ring_samples_ = static_cast<std::uint64_t>(settings_.ring_ms) * 1000u /
                    static_cast<std::uint64_t>(settings_.sample_period_us);
    ring_samples_ = std::max<std::uint64_t>(ring_samples_, 2 * fetch_samples_);
  }
  // Blocks are usually whole fetches; room for many more small ones than
  // that, and never more than one per sample.
  const std::uint64_t ring_blocks =
      std::min<std::uint64_t>(ring_samples_, ring_samples_ / 16 + 1024);
  const bool rings = sink_ == nullptr;
  try {
    raw_.reset(new RawSample[fetch_samples_]());
    processed_.reset(new ProcessedSample[fetch_samples_]());
    health_.reset(new HealthState());
    block_ring_ = std::make_unique<RecordRing>(rings ? ring_blocks * kBlockBytes : 0);
    sample_ring_ = std::make_unique<RecordRing>(ring_samples_ * kSampleBytes);
    raw_ring_ = std::make_unique<RecordRing>(settings_.keep_raw ? ring_samples_ * kRawBytes : 0);
  } catch (const std::bad_alloc&) {
    return SetError(SCANMON_E_MEMORY,
                    "cannot reserve the ring of %llu samples; ask for a smaller ring_ms",
                    static_cast<unsigned long long>(ring_samples_));
  }
  if (rings && (block_ring_->Capacity() == 0 || sample_ring_->Capacity() == 0 ||
                (settings_.keep_raw && raw_ring_->Capacity() == 0))) {
    return SetError(SCANMON_E_MEMORY,
                    "cannot reserve the ring of %llu samples; ask for a smaller ring_ms",
                    static_cast<unsigned long long>(ring_samples_));
  }
  StartHealth(*health_, HealthSettings{});

  try {
    thread_ = std::thread(&ScannerSource::Run, this);
  } catch (const std::system_error&) {
    return SetError(SCANMON_E_STATE, "cannot start the fetch thread");
  }
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return bring_up_ != BringUp::kRunning; });
  if (bring_up_ == BringUp::kFailed) {
    int status = bring_up_status_;
    std::string text = bring_up_error_;
    lock.unlock();
    thread_.join();
    return SetError(status, "%s", text.c_str());
  }
  return SCANMON_OK;
}

void ScannerSource::CollectMessage(const char* text, void* context) {
  static_cast<ScannerSource*>(context)->messages_ += text;
}

// The bring-up, on the fetch thread. False after a failure, with
// bring_up_status_ and bring_up_error_ set and everything released.
bool ScannerSource::BringUpCard() {
  ScannerSetup setup;
  setup.com_port = settings_.com_port;
  setup.card_number = settings_.card_number;
  setup.calibration_file = settings_.calibration_file;
  setup.sample_period_us = settings_.sample_period_us;
  setup.max_range_in = settings_.max_range_in;
  setup.mirror_encoder_counts = settings_.mirror_encoder_counts;
  setup.second_encoder_counts = settings_.second_encoder_counts;
  setup.mirror_spin_up_ms = 0;  // the settle wait instead, after the motors
  setup.print_messages = settings_.print_messages != 0;
  setup.on_message = &ScannerSource::CollectMessage;
  setup.message_context = this;
  card_ = BringUpScanner(setup, &port_storage_.port, &link_);

  int status = SCANMON_OK;
  std::string what;
  ScannerFailure failure = ScannerFailure::kNone;
  if (link_.module == nullptr) {
    status = SCANMON_E_DRIVER;
    failure = ScannerFailure::kDriver;
    what = "cannot load the card's driver library";
  } else if (card_ == kNoCard) {
    status = SCANMON_E_BRING_UP;
    failure = ScannerFailure::kBringUp;
    what = "the bring-up of the sensor and the card failed";
  } else {
    std::int32_t model = 0;
    if (g_driver.HsifGetCardModel(card_, &model) == 0) {
      status = SCANMON_E_BRING_UP;
      failure = ScannerFailure::kCardModel;
      what = "the card does not tell its model (HsifGetCardModel failed)";
    } else {
      sensor_model_ = model != 0 ? SCANMON_MODEL_200KHZ : SCANMON_MODEL_50KHZ;
    }
  }
  if (status == SCANMON_OK && !staged_ && !PowerMotors(&what)) {
    status = SCANMON_E_BRING_UP;
    failure = ScannerFailure::kMotors;
  }
  if (status == SCANMON_OK) return true;
  failure_.store(failure, std::memory_order_release);

  char where[160];
  std::snprintf(where, sizeof where, " (COM%d, card %d, period %d us, range %d in)",
                settings_.com_port, settings_.card_number, settings_.sample_period_us,
                settings_.max_range_in);
  bring_up_status_ = status;
  bring_up_error_ = what + where;
  if (!messages_.empty()) {
    while (!messages_.empty() && messages_.back() == '\n') messages_.pop_back();
    bring_up_error_ += "; its messages:\n" + messages_;
  }
  ReleaseCard();
  return false;
}

// Each motor given a power, in order, until one fails (*what says which).
bool ScannerSource::PowerMotors(std::string* what) {
  for (int m = 0; m < SCANMON_MOTORS; ++m) {
    if (settings_.motor_power[m] < 0) continue;
    motor_switched_[m] = true;
    if (g_driver.HsifSetMotorPower(card_, m + 1, settings_.motor_power[m]) == 0) {
      *what = "setting motor " + std::to_string(m + 1) + " to power " +
              std::to_string(settings_.motor_power[m]) + " failed";
      return false;
    }
  }
  return true;
}

// Staged: waits for Start; false when the source is closed first.
bool ScannerSource::WaitStart() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return start_ || stopping_; });
  return !stopping_;
}

void ScannerSource::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = true;
  }
  wake_.notify_all();
}

// Motors off, line and card released, the process's settings back: whatever
// the bring-up got to.
void ScannerSource::ReleaseCard() {
  if (card_ != kNoCard) {
    for (int m = 0; m < SCANMON_MOTORS; ++m) {
      if (motor_switched_[m]) g_driver.HsifSetMotorPower(card_, m + 1, 0);
      motor_switched_[m] = false;
    }
  }
  ReleaseScanner(&port_storage_.port, &link_);
  card_ = kNoCard;
  // The driver stays loaded until the process ends, as in the monitor: an
  // unloaded driver loses its own state (the stand-in's named pipes on
  // Windows outlive it, and a second open in the process would fail).
  link_.module = nullptr;
  if (priority_raised_) RestorePriority();
  priority_raised_ = false;
  raised_.store(false, std::memory_order_release);
}

// The settle wait; false when the source is closed during it.
bool ScannerSource::WaitSettle() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(settings_.settle_ms),
                         [this] { return stopping_; });
}

void ScannerSource::Run() {
  bool up = BringUpCard();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bring_up_ = up ? BringUp::kDone : BringUp::kFailed;
  }
  wake_.notify_all();
  if (!up) {
    phase_.store(ScannerPhase::kEnded, std::memory_order_release);
    return;
  }
  phase_.store(ScannerPhase::kBroughtUp, std::memory_order_release);
  bool go = !staged_ || WaitStart();
  if (go && staged_) {
    std::string what;
    if (!PowerMotors(&what)) {
      failure_.store(ScannerFailure::kMotors, std::memory_order_release);
      go = false;
    }
  }
  if (go) phase_.store(ScannerPhase::kSettling, std::memory_order_release);
  if (go && WaitSettle()) {
    // The fetch thread keeps the card's pace: the priority raise and the
    // single CPU apply to it, from the first fetch on.
    if (settings_.single_cpu) PinToFirstCpu();
    if (settings_.raise_priority) priority_raised_ = RaisePriority() != 0;
    raised_.store(priority_raised_, std::memory_order_release);
    g_driver.HsifClearSampleBuffer(card_);
    if (g_driver.HsifSamplingEnable(card_) == 0) {
      failure_.store(ScannerFailure::kSamplingStart, std::memory_order_release);
      fetch_failed_.store(true, std::memory_order_release);
    } else {
      sampling_.store(true, std::memory_order_release);
      phase_.store(ScannerPhase::kSampling, std::memory_order_release);
      FetchLoop();
    }
  }
  ReleaseCard();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.store(true, std::memory_order_release);
    phase_.store(ScannerPhase::kEnded, std::memory_order_release);
  }
  wake_.notify_all();
}

void ScannerSource::FetchLoop() {
  const std::int32_t capacity = static_cast<std::int32_t>(fetch_samples_);
  std::uint64_t sequence = 0;
  std::uint64_t delivered = 0;  // samples the card delivered
  std::uint64_t kept = 0;       // samples put into the ring
  std::uint64_t dropping = 0;   // samples not kept since the last block put
  bool lost_dropped = false;    // a fetch not kept reported lost data
  bool lost_pending = false;    // lost data on a fetch without samples: the next block says it
  // HsifDataAvailable(card): the samples waiting, outside the entry points the
  // monitor calls; a driver without it leaves the held samples unknown.
  const win::FARPROC data_available =
      link_.module != nullptr ? win::GetProcAddress(link_.module, "HsifDataAvailable") : nullptr;
  while (!stop_.load(std::memory_order_acquire)) {
    std::uint32_t fetched = 0;
    // The lost-data bit is cleared first, so a driver that writes it only on
    // some fetches cannot repeat an old report.
    raw_[fetch_samples_ - 1].words[0] &= ~kRawLostDataBit;
    if (g_driver.HsifGetBufferedSamples(card_, raw_.get(), capacity, &fetched, 1) == 0) {
      failure_.store(ScannerFailure::kFetch, std::memory_order_release);
      fetch_failed_.store(true, std::memory_order_release);
      break;
    }
    const std::int64_t mono_ns = platform::MonotonicNanoseconds();
    const std::int64_t utc_ns = platform::UtcNanoseconds();
    if (fetched > static_cast<std::uint32_t>(capacity))
      fetched = static_cast<std::uint32_t>(capacity);
    // The driver's lost-data signal: bit 0 of the first word of the last slot
    // of the buffer handed over, whatever the fetched count.
    const bool lost = (raw_[fetch_samples_ - 1].words[0] & kRawLostDataBit) != 0;
    std::uint64_t held = 0;
    if (lost) {
      // The card's buffer overflowed: start it afresh and go on, as the
      // monitor and the recorder do. The samples it still holds are thrown
      // away: counted first, they tell the sample clock how much older than
      // this return the fetch's samples are (its oldest of a full buffer).
      const std::int32_t waiting =
          data_available != nullptr ? CallOtherDriverEntry(data_available, card_) : 0;
      held = waiting > 0 ? static_cast<std::uint64_t>(waiting) : 0;
      g_driver.HsifClearSampleBuffer(card_);
      if (g_driver.HsifSamplingEnable(card_) == 0) {
        failure_.store(ScannerFailure::kSamplingRestart, std::memory_order_release);
        fetch_failed_.store(true, std::memory_order_release);
        break;
      }
    }
    if (fetched > 0) {
      g_driver.HsifProcessSamples(card_, raw_.get(), processed_.get(),
                                  static_cast<std::int32_t>(fetched));
    }
    if (!staged_) {
      std::lock_guard<std::mutex> lock(health_mutex_);
      FeedHealth(*health_, processed_.get(), fetched, lost, settings_.sample_period_us,
                 static_cast<double>(mono_ns) * 1e-9);
      // The buffer was started afresh after this fetch: samples are missing
      // after it too, and no revolution may be measured across them.
      if (lost) NoteHealthGap(*health_);
    }
    if (fetched == 0) {
      lost_pending = lost_pending || lost;
      continue;
    }

    scanmon_block block{};
    block.sequence = sequence++;
    block.first_sample = delivered;
    block.first_record = kept;
    block.count = fetched;
    block.flags = lost || lost_pending ? SCANMON_BLOCK_LOST_DATA : 0u;
    block.reserved = held;  // for the sample clock only: scanmon_read_block hands it out as 0
    lost_pending = false;
    block.utc_ns = utc_ns;
    block.mono_ns = mono_ns;
    delivered += fetched;
    if (sink_ != nullptr) {
      kept += fetched;
      if (!sink_->Take(block, reinterpret_cast<const scanmon_sample*>(processed_.get()),
                       settings_.keep_raw ? reinterpret_cast<const scanmon_raw_sample*>(raw_.get())
                                          : nullptr)) {
        break;
      }
      continue;
    }

    const std::size_t sample_bytes = fetched * kSampleBytes;
    const std::size_t raw_bytes = settings_.keep_raw ? fetched * kRawBytes : 0;
    const bool fits = block_ring_->Free() >= kBlockBytes && sample_ring_->Free() >= sample_bytes &&
                      raw_ring_->Free() >= raw_bytes;
    if (!fits) {
      // The reader is behind by more than the ring holds: this fetch is not
      // kept, and the next block that is says so.
      if (dropping == 0) drop_events_.fetch_add(1, std::memory_order_relaxed);
      dropping += fetched;
      lost_dropped = lost_dropped || lost;
      dropped_.fetch_add(fetched, std::memory_order_relaxed);
      continue;
    }
    if (dropping > 0) {
      block.flags |= SCANMON_BLOCK_DROPPED;
      block.dropped_before = dropping;
      if (lost_dropped) block.flags |= SCANMON_BLOCK_LOST_DATA;
      dropping = 0;
      lost_dropped = false;
    }
    kept += fetched;
    Publish(block, fetched);
  }
}

// Samples and raw records first, the block's record last.
void ScannerSource::Publish(const scanmon_block& block, std::uint32_t count) {
  sample_ring_->Put(processed_.get(), count * kSampleBytes);
  if (settings_.keep_raw) raw_ring_->Put(raw_.get(), count * kRawBytes);
  block_ring_->Put(&block, kBlockBytes);
  const std::uint64_t held = sample_ring_->Pending() / kSampleBytes;
  if (held > peak_samples_.load(std::memory_order_relaxed)) {
    peak_samples_.store(held, std::memory_order_relaxed);
  }
  // Taken and dropped at once: a reader that checked the ring under the lock
  // and is about to wait cannot miss this notification.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

void ScannerSource::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stop_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
  thread_.join();
}

// The next block's record taken from its ring into pending_ (once).
int ScannerSource::TakeBlockRecord(std::int32_t timeout_ms) {
  if (!have_pending_) {
    auto ready = [this] {
      return block_ring_->Pending() >= kBlockBytes || ended_.load(std::memory_order_acquire);
    };
    if (!ready()) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (timeout_ms < 0) {
        wake_.wait(lock, ready);
      } else if (!wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
        return SetError(SCANMON_TIMEOUT, "no block within %ld ms%s", static_cast<long>(timeout_ms),
                        sampling_.load() ? "" : " (the scanner is still settling)");
      }
    }
    if (block_ring_->Pending() < kBlockBytes) {
      // Ended, and every block fetched has been read.
      if (fetch_failed_.load(std::memory_order_acquire)) {
        return SetError(SCANMON_E_FETCH,
                        "card %d stopped delivering samples (a fetch failed); close the source",
                        settings_.card_number);
      }
      return SetError(SCANMON_E_STATE, "the scanner source has stopped; close it");
    }
    TakeFromRing(*block_ring_, &pending_, kBlockBytes);
    have_pending_ = true;
  }
  return SCANMON_OK;
}

int ScannerSource::ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                             scanmon_raw_sample* raw, std::uint32_t capacity) {
  const int taken = TakeBlockRecord(timeout_ms);
  if (taken != SCANMON_OK) return taken;
  *block = pending_;
  if ((samples != nullptr || raw != nullptr) && pending_.count > capacity) {
    return SetError(SCANMON_E_BUFFER, "the block holds %lu samples, the buffers %lu",
                    static_cast<unsigned long>(pending_.count),
                    static_cast<unsigned long>(capacity));
  }
  TakeFromRing(*sample_ring_, samples, pending_.count * kSampleBytes);
  if (settings_.keep_raw) TakeFromRing(*raw_ring_, raw, pending_.count * kRawBytes);
  have_pending_ = false;
  ++blocks_read_;
  samples_read_ += pending_.count;
  return SCANMON_OK;
}

void ScannerSource::Info(scanmon_source_info* info) const {
  info->kind = SCANMON_SOURCE_SCANNER;
  info->has_raw = settings_.keep_raw != 0;
  info->has_index = 0;
  info->max_block_samples = static_cast<std::uint32_t>(fetch_samples_);
  info->sample_period_us = static_cast<std::uint32_t>(settings_.sample_period_us);
  info->ring_samples = ring_samples_;
  info->records = 0;
}

void ScannerSource::Health(scanmon_health* out) {
  HealthFigures figures;
  HealthTotals totals;
  {
    std::lock_guard<std::mutex> lock(health_mutex_);
    figures = ReadHealth(*health_);
    totals = SummarizeHealth(*health_);
  }
  FillHealth(figures, totals, out);
  out->blocks_read = blocks_read_;
  out->samples_read = samples_read_;
  out->samples_dropped = dropped_.load(std::memory_order_relaxed);
  out->drop_events = drop_events_.load(std::memory_order_relaxed);
  out->ring_peak_samples = peak_samples_.load(std::memory_order_relaxed);
  out->ring_samples = ring_samples_;
  out->sampling = sampling_.load(std::memory_order_acquire) ? 1 : 0;
}

void ScannerSource::Header(scanmon_capture_header* header) const {
  header->version = 3;
  header->sample_period_us = static_cast<std::uint32_t>(settings_.sample_period_us);
  header->max_range_in = static_cast<std::uint32_t>(settings_.max_range_in);
  header->buf_size = static_cast<std::uint32_t>(fetch_samples_);
  header->num_samples = 0;
  header->calibration_value = 0;
  header->motor1_encoder_ppr = settings_.mirror_encoder_counts;
  header->motor2_encoder_ppr = settings_.second_encoder_counts;
  header->motor1_power =
      settings_.motor_power[0] < 0 ? 0u : static_cast<std::uint32_t>(settings_.motor_power[0]);
  header->motor2_power =
      settings_.motor_power[1] < 0 ? 0u : static_cast<std::uint32_t>(settings_.motor_power[1]);
  header->com_port = static_cast<std::uint32_t>(settings_.com_port);
  header->card_number = static_cast<std::uint32_t>(settings_.card_number);
  header->sensor_model = sensor_model_;
  std::memcpy(header->cal_file, settings_.calibration_file, sizeof header->cal_file);
  header->cal_file[sizeof header->cal_file - 1] = '\0';
}

}  // namespace

int OpenScannerSource(const scanmon_scanner_settings& settings, std::unique_ptr<Source>* source) {
  bool expected = false;
  if (!g_scanner_open.compare_exchange_strong(expected, true)) {
    return SetError(SCANMON_E_BUSY,
                    "a scanner source is already open in this process (the card's driver is "
                    "process-wide); close it first, or use another process for a second card");
  }
  auto scanner = std::make_unique<ScannerSource>(settings, false, nullptr);
  int status = scanner->Open();
  if (status != SCANMON_OK) return status;
  *source = std::move(scanner);
  return SCANMON_OK;
}

int OpenStagedScanner(const scanmon_scanner_settings& settings, BlockSink* sink,
                      std::unique_ptr<StagedScanner>* source, ScannerFailure* failure) {
  *failure = ScannerFailure::kNone;
  bool expected = false;
  if (!g_scanner_open.compare_exchange_strong(expected, true)) {
    return SetError(SCANMON_E_BUSY, "a scanner source is already open in this process");
  }
  auto scanner = std::make_unique<ScannerSource>(settings, true, sink);
  int status = scanner->Open();
  *failure = scanner->Failure();
  if (status != SCANMON_OK) return status;
  *source = std::move(scanner);
  return SCANMON_OK;
}

}  // namespace scanmon_lib
