#include "libscanmon/capture_source.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "capture/block_index.h"
#include "capture/capture_header.h"
#include "capture/checked_time.h"
#include "capture/header_plausibility.h"
#include "hsif/driver_records.h"
#include "libscanmon/capture_records.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/sleep.h"

namespace scanmon_lib {

namespace {

constexpr std::size_t kProcessedBytes = 64;
constexpr std::size_t kRawBytes = 16;
constexpr std::uint32_t kDefaultBlockSamples = 5000;
// Processed records read at once when the caller wants no copy (the health
// figures still see every sample).
constexpr std::size_t kScratchRecords = 1024;

// A capture file open for reading in order.
class CaptureFile {
 public:
  ~CaptureFile() { Close(); }
  bool Open(const std::string& path) {
    Close();
    handle_ = win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
    if (!win::IsValidHandle(handle_)) handle_ = nullptr;
    return handle_ != nullptr;
  }
  void Close() {
    if (handle_ != nullptr) win::CloseHandle(handle_);
    handle_ = nullptr;
  }
  win::HANDLE handle() const { return handle_; }

 private:
  win::HANDLE handle_ = nullptr;
};

// The capture header, read by capture/'s reader, and its size in the file
// (292, or 293 for version 3). False when the file ends inside it or it is not
// valid.
bool ReadHeader(CaptureFile& file, CaptureHeader* header, std::size_t* header_bytes) {
  if (ReadCaptureHeaderFrom(file.handle(), header) == 0) return false;
  *header_bytes =
      header->version == kCaptureHeaderVersion ? kCaptureHeaderBytes : kCaptureHeaderBytesOther;
  return true;
}

std::uint64_t FileBytes(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

class CaptureSource final : public Source {
 public:
  CaptureSource(const std::string& base, const scanmon_capture_options& options)
      : base_(base), options_(options) {}

  int Open();
  int ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                scanmon_raw_sample* raw, std::uint32_t capacity) override;
  void Info(scanmon_source_info* info) const override;
  void Health(scanmon_health* health) override;
  void Header(scanmon_capture_header* header) const override;

 private:
  int OpenFiles();
  int CheckIndex();
  int NextBlock(scanmon_block* block);
  bool NextIndexBlock(scanmon_block* block);
  int IndexRefused(const std::string& path) const;
  int Fail(int status);
  int EndOfCapture();

  const std::string base_;
  const scanmon_capture_options options_;
  CaptureHeader header_{};
  std::size_t header_bytes_ = 0;
  std::uint64_t records_ = 0;
  bool has_index_ = false;
  std::size_t index_tail_ = 0;  // bytes of a record the index ends inside
  // What the capture should hold by its header's count and its index's
  // blocks (0: not known), against the whole records its files hold.
  std::uint64_t records_expected_ = 0;
  std::uint64_t index_blocks_cut_ = 0;  // blocks of the index past the records
  std::uint32_t max_block_ = 0;
  std::uint32_t fixed_block_ = 0;
  CaptureFile prc_;
  CaptureFile raw_;
  // Their records, read by the library's one record reader (which capture-info
  // also reads through); the .prc's feed the health figures.
  CaptureRecordReader prc_records_;
  CaptureRecordReader raw_records_;
  BlockIndexReader index_;
  HealthState health_{};
  std::unique_ptr<ProcessedSample[]> scratch_;

  // Where the reading stands: the pass (looping), the records of this pass
  // read so far, the next block when it is waiting.
  std::uint64_t pass_ = 0;
  std::uint64_t pass_records_ = 0;
  std::uint64_t pass_blocks_ = 0;
  std::uint64_t blocks_in_pass_ = 0;      // known after the first pass (index) or from the size
  std::int64_t pass_span_ns_ = 0;         // a pass's length in time, for the looped times
  std::uint64_t pass_sequence_span_ = 0;  // fetch numbers a pass covers
  std::uint64_t pass_sample_span_ = 0;    // card samples a pass covers
  std::int64_t first_mono_ns_ = 0;        // the first block's time
  std::int64_t last_end_ns_ = 0;          // the latest block's time plus its samples
  std::int64_t start_ns_ = 0;             // the reader's clock at the first paced block
  bool started_ = false;
  bool have_pending_ = false;
  scanmon_block pending_{};
  bool have_previous_ = false;  // a block was read before pending_
  scanmon_block previous_{};
  std::uint64_t blocks_read_ = 0;
  std::uint64_t samples_read_ = 0;
  bool ended_ = false;
  // A failed read is the answer to every read after it (a capture cut while
  // it is read must not end as if it were whole): its status and text.
  int failure_ = SCANMON_OK;
  std::string failure_text_;
};

int CaptureSource::Fail(int status) {
  failure_ = status;
  failure_text_ = LastError();
  return status;
}

int CaptureSource::OpenFiles() {
  const std::string prc = base_ + ".prc";
  if (!prc_.Open(prc)) {
    return SetError(SCANMON_E_FILE, "cannot open %s: name the capture's base (its .prc file)",
                    prc.c_str());
  }
  CaptureHeader header{};
  std::size_t header_bytes = 0;
  if (!ReadHeader(prc_, &header, &header_bytes)) {
    return SetError(SCANMON_E_FORMAT, "%s ends inside its capture header", prc.c_str());
  }
  if (options_.with_raw) {
    const std::string raw = base_ + ".raw";
    if (!raw_.Open(raw)) {
      return SetError(SCANMON_E_FILE, "cannot open %s (raw records asked for)", raw.c_str());
    }
    CaptureHeader raw_header{};
    std::size_t raw_header_bytes = 0;
    if (!ReadHeader(raw_, &raw_header, &raw_header_bytes) || raw_header_bytes != header_bytes) {
      return SetError(SCANMON_E_FORMAT, "%s has no capture header like %s's", raw.c_str(),
                      prc.c_str());
    }
  }
  if (has_index_) {
    const std::string idx = base_ + ".idx";
    if (!index_.Open(idx.c_str())) return IndexRefused(idx);
  }
  header_ = header;
  header_bytes_ = header_bytes;
  // The source's health figures break where its blocks say samples are
  // missing (ReadBlock): the stand-in's record flags are not looked for.
  prc_records_.Start(prc_.handle(), kProcessedBytes, scratch_.get(),
                     kScratchRecords * kProcessedBytes, &health_, header.sample_period,
                     HealthBreaks{});
  raw_records_.Start(raw_.handle(), kRawBytes, scratch_.get(), kScratchRecords * kProcessedBytes,
                     nullptr, header.sample_period, HealthBreaks{});
  return SCANMON_OK;
}

// The block record is the index file's record: one layout in memory and on
// disk (capture/block_index.h), read by the one reader of capture/.
static_assert(sizeof(scanmon_block) == sizeof(BlockRecord), "one block record");
static_assert(offsetof(scanmon_block, mono_ns) == offsetof(BlockRecord, mono_ns), "one layout");

bool CaptureSource::NextIndexBlock(scanmon_block* block) {
  BlockRecord record{};
  if (!index_.Next(&record)) return false;
  block->sequence = record.sequence;
  block->first_sample = record.first_sample;
  block->first_record = record.first_record;
  block->count = record.count;
  block->flags = record.flags;
  block->dropped_before = record.dropped_before;
  block->utc_ns = record.utc_ns;
  block->mono_ns = record.mono_ns;
  block->reserved = 0;
  return true;
}

// Why the index at `path` was not opened, as the error text.
int CaptureSource::IndexRefused(const std::string& path) const {
  if (index_.read_failed() || index_.error() != win::ERROR_SUCCESS) {
    return SetError(SCANMON_E_FILE, "%s cannot be opened or read", path.c_str());
  }
  switch (index_.check()) {
    case BlockIndexCheck::kMagic:
      return SetError(SCANMON_E_FORMAT, "%s is not a block index (no SCANMIDX at its start)",
                      path.c_str());
    case BlockIndexCheck::kVersion:
      return SetError(SCANMON_E_FORMAT,
                      "%s is a block index of a version this library does not read (it reads "
                      "versions %u to %u)",
                      path.c_str(), static_cast<unsigned>(kOldestBlockIndexVersion),
                      static_cast<unsigned>(kBlockIndexVersion));
    case BlockIndexCheck::kSizes:
      return SetError(SCANMON_E_FORMAT,
                      "%s has a header of %lu bytes and records of %lu: not a block index this "
                      "library reads",
                      path.c_str(), static_cast<unsigned long>(index_.header_size()),
                      static_cast<unsigned long>(index_.record_size()));
    case BlockIndexCheck::kShort:
    case BlockIndexCheck::kOk:
      break;
  }
  return SetError(SCANMON_E_FORMAT, "%s ends inside its header: not a block index", path.c_str());
}

// Reads the whole index once, with the order every index reader checks: the
// blocks that lie within the records are read; a trailing run of blocks past
// them is a cut capture (the recorder stopped before its records reached the
// disk, or a copy was cut), reported and not read. The largest block and the
// pass's length come from the blocks read.
int CaptureSource::CheckIndex() {
  BlockOrderCheck order;
  scanmon_block block{};
  std::uint64_t blocks = 0, past = 0;
  std::int64_t last_mono_ns = 0;
  while (NextIndexBlock(&block)) {
    BlockRecord record{};
    record.sequence = block.sequence;
    record.first_sample = block.first_sample;
    record.first_record = block.first_record;
    record.count = block.count;
    record.mono_ns = block.mono_ns;
    if (!order.Take(record)) {
      char why[256];
      order.Describe(why, sizeof why);
      return SetError(SCANMON_E_FORMAT, "%s.idx has a block out of order: %s", base_.c_str(), why);
    }
    if (order.end_record() > records_) {
      ++past;
      continue;
    }
    if (blocks == 0) first_mono_ns_ = block.mono_ns;
    max_block_ = std::max(max_block_, block.count);
    last_mono_ns = block.mono_ns;
    pass_sequence_span_ = block.sequence + 1;
    pass_sample_span_ = block.first_sample + block.count;
    ++blocks;
  }
  if (index_.read_failed()) return SetError(SCANMON_E_FILE, "reading %s.idx failed", base_.c_str());
  index_tail_ = static_cast<std::size_t>(index_.partial_bytes());
  index_blocks_cut_ = past;
  records_expected_ = std::max(records_expected_, order.end_record());
  blocks_in_pass_ = blocks;
  last_end_ns_ = last_mono_ns;
  // The next pass starts one block's spacing after this one's last block.
  // The index's order keeps the span within a clock's range; a pass's length
  // one spacing longer may still not fit.
  const std::int64_t span = last_mono_ns - first_mono_ns_;
  const std::int64_t spacing = blocks > 1 ? span / static_cast<std::int64_t>(blocks - 1) : 0;
  if (!checked_time::Add(span, spacing, &pass_span_ns_)) {
    return SetError(SCANMON_E_FORMAT, "%s.idx: its blocks' times span more than a clock holds",
                    base_.c_str());
  }
  return SCANMON_OK;
}

int CaptureSource::Open() {
  try {
    scratch_.reset(new ProcessedSample[kScratchRecords]);
  } catch (const std::bad_alloc&) {
    return SetError(SCANMON_E_MEMORY, "cannot reserve the reading buffer");
  }
  const std::string idx = base_ + ".idx";
  std::error_code error;
  has_index_ = !options_.ignore_index && std::filesystem::exists(idx, error);
  int status = OpenFiles();
  if (status != SCANMON_OK) return status;
  // A count of 0 is honest: the recorder writes it until its first records
  // are safely in the file, so a recorder stopped or killed in its first
  // second leaves it (capture-info takes it so too).
  CaptureHeader judged = header_;
  if (judged.num_samples == 0) judged.num_samples = 1;
  if (ReportImplausibleHeaderFields(judged, nullptr) > 0) {
    return SetError(SCANMON_E_FORMAT,
                    "%s.prc: its header holds values no capture has (capture-info shows which)",
                    base_.c_str());
  }
  const std::uint64_t bytes = FileBytes(base_ + ".prc");
  records_ = bytes > header_bytes_ ? (bytes - header_bytes_) / kProcessedBytes : 0;
  if (options_.with_raw) {
    const std::uint64_t raw_bytes = FileBytes(base_ + ".raw");
    const std::uint64_t raw_records =
        raw_bytes > header_bytes_ ? (raw_bytes - header_bytes_) / kRawBytes : 0;
    records_ = std::min(records_, raw_records);
  }
  records_expected_ = header_.num_samples;
  fixed_block_ = options_.block_samples > 0 ? static_cast<std::uint32_t>(options_.block_samples)
                 : header_.buf_size > 0     ? header_.buf_size
                                            : kDefaultBlockSamples;
  if (has_index_) {
    status = CheckIndex();
    if (status != SCANMON_OK) return status;
    status = OpenFiles();  // back to the start of every file
    if (status != SCANMON_OK) return status;
  } else {
    max_block_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(fixed_block_, records_));
    blocks_in_pass_ = (records_ + fixed_block_ - 1) / fixed_block_;
    pass_span_ns_ = static_cast<std::int64_t>(records_) * header_.sample_period * 1000;
    pass_sequence_span_ = blocks_in_pass_;
    pass_sample_span_ = records_;
  }
  StartHealth(health_, HealthSettings{});
  return SCANMON_OK;
}

// The next block's record (times and numbers as of this pass), not yet read:
// SCANMON_OK, SCANMON_END, or a failure.
int CaptureSource::NextBlock(scanmon_block* block) {
  if (pass_blocks_ == blocks_in_pass_) {
    if (!options_.loop || blocks_in_pass_ == 0) return SCANMON_END;
    int status = OpenFiles();
    if (status != SCANMON_OK) return status;
    ++pass_;
    pass_records_ = 0;
    pass_blocks_ = 0;
  }
  scanmon_block b{};
  if (has_index_) {
    const bool got = NextIndexBlock(&b);
    if (!got && index_.read_failed()) {
      return SetError(SCANMON_E_FILE, "reading %s.idx failed", base_.c_str());
    }
    if (!got || b.first_record != pass_records_ || b.count > records_ - pass_records_) {
      return SetError(SCANMON_E_FORMAT, "%s.idx changed while it was read", base_.c_str());
    }
  } else {
    b.sequence = pass_blocks_;
    b.first_sample = pass_records_;
    b.first_record = pass_records_;
    b.count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(fixed_block_, records_ - pass_records_));
    b.mono_ns = static_cast<std::int64_t>(pass_records_) * header_.sample_period * 1000;
  }
  // Later passes run on as if the acquisition had gone on.
  if (pass_ > 0) {
    b.sequence += pass_ * pass_sequence_span_;
    b.first_sample += pass_ * pass_sample_span_;
    b.first_record += pass_ * records_;
    std::int64_t shift = 0;
    if (!checked_time::Multiply(pass_span_ns_, pass_, &shift) ||
        !checked_time::Add(b.mono_ns, shift, &b.mono_ns) ||
        (b.utc_ns != 0 && !checked_time::Add(b.utc_ns, shift, &b.utc_ns))) {
      return SetError(SCANMON_E_FORMAT,
                      "%s: looped %llu times, its blocks' times pass what a clock holds",
                      base_.c_str(), static_cast<unsigned long long>(pass_));
    }
  }
  *block = b;
  return SCANMON_OK;
}

int CaptureSource::ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                             scanmon_raw_sample* raw, std::uint32_t capacity) {
  if (failure_ != SCANMON_OK) return SetError(failure_, "%s", failure_text_.c_str());
  if (ended_) return EndOfCapture();
  if (!have_pending_) {
    int status = NextBlock(&pending_);
    if (status == SCANMON_END) {
      ended_ = true;
      return EndOfCapture();
    }
    if (status != SCANMON_OK) return Fail(status);
    have_pending_ = true;
  }
  if (options_.paced) {
    // The block is due when as much time has passed on the reader's clock
    // since the first block as passed in the capture.
    const std::int64_t now = platform::MonotonicNanoseconds();
    if (!started_) {
      started_ = true;
      start_ns_ = now;
      first_mono_ns_ = pending_.mono_ns;
    }
    // (The index's order keeps the times from running back; a time a clock
    // cannot reach is due at the end of the clock's range.)
    const std::int64_t due = checked_time::SaturatingAdd(
        start_ns_, checked_time::SaturatingSubtract(pending_.mono_ns, first_mono_ns_));
    if (due > now) {
      const std::int64_t wait_ms = (due - now) / 1000000 + 1;
      if (timeout_ms >= 0 && wait_ms > timeout_ms) {
        win::Sleep(static_cast<win::DWORD>(timeout_ms));
        return SetError(SCANMON_TIMEOUT, "the next block is due in %lld ms",
                        static_cast<long long>(wait_ms - timeout_ms));
      }
      // In slices, so that a wait longer than a sleep can take is no shorter.
      constexpr std::int64_t kSliceMs = 1000;
      for (std::int64_t left = due - now; left > 0; left = due - platform::MonotonicNanoseconds()) {
        win::Sleep(static_cast<win::DWORD>(std::min(kSliceMs, left / 1000000 + 1)));
      }
    }
  }
  *block = pending_;
  if ((samples != nullptr || raw != nullptr) && pending_.count > capacity) {
    return SetError(SCANMON_E_BUFFER, "the block holds %lu samples, the buffers %lu",
                    static_cast<unsigned long>(pending_.count),
                    static_cast<unsigned long>(capacity));
  }
  const bool lost = (pending_.flags & SCANMON_BLOCK_LOST_DATA) != 0;
  // No revolution is measured across missing samples: besides before a block
  // flagged lost (Read's `lost`), the health figures break before a block
  // whose samples were dropped, after one the card lost data on (its buffer
  // was started afresh after that fetch), where the sample numbers jump, and
  // at a loop's seam, as capture-info and the recorder break theirs.
  const bool gap =
      (pending_.flags & SCANMON_BLOCK_DROPPED) != 0 || (pass_ > 0 && pass_blocks_ == 0) ||
      (have_previous_ && ((previous_.flags & SCANMON_BLOCK_LOST_DATA) != 0 ||
                          pending_.first_sample != previous_.first_sample + previous_.count));
  if (gap) NoteHealthGap(health_);
  std::uint64_t got = 0;
  if (options_.paced) prc_records_.SetClock(1e-9 * platform::MonotonicNanoseconds());
  if (!prc_records_.Read(samples, pending_.count, lost, &got) || got != pending_.count) {
    SetError(SCANMON_E_FILE, "reading %s.prc failed (%s)", base_.c_str(),
             got != pending_.count ? "it was cut while it was read" : "a read failed");
    return Fail(SCANMON_E_FILE);
  }
  if (options_.with_raw &&
      (!raw_records_.Read(raw, pending_.count, false, &got) || got != pending_.count)) {
    SetError(SCANMON_E_FILE, "reading %s.raw failed (%s)", base_.c_str(),
             got != pending_.count ? "it was cut while it was read" : "a read failed");
    return Fail(SCANMON_E_FILE);
  }
  have_pending_ = false;
  previous_ = pending_;
  have_previous_ = true;
  pass_records_ += pending_.count;
  ++pass_blocks_;
  ++blocks_read_;
  samples_read_ += pending_.count;
  return SCANMON_OK;
}

// SCANMON_END, with what the caller should know about a capture that was cut.
int CaptureSource::EndOfCapture() {
  char cut[200] = "";
  if (records_expected_ > records_) {
    std::snprintf(cut, sizeof cut,
                  "; it was cut: its %s says %llu records, its files hold %llu whole ones",
                  index_blocks_cut_ > 0 ? "index" : "header",
                  static_cast<unsigned long long>(records_expected_),
                  static_cast<unsigned long long>(records_));
  }
  if (index_tail_ > 0) {
    return SetError(SCANMON_END,
                    "the capture %s has no more blocks (%s.idx ends inside a record: %lu bytes "
                    "not read)%s",
                    base_.c_str(), base_.c_str(), static_cast<unsigned long>(index_tail_), cut);
  }
  return SetError(SCANMON_END, "the capture %s has no more blocks%s", base_.c_str(), cut);
}

void CaptureSource::Info(scanmon_source_info* info) const {
  info->kind = SCANMON_SOURCE_CAPTURE;
  info->has_raw = options_.with_raw != 0;
  info->has_index = has_index_ ? 1 : 0;
  info->max_block_samples = max_block_;
  info->sample_period_us = header_.sample_period;
  info->ring_samples = 0;
  info->records = records_;
  info->records_expected = records_expected_;
  info->cut = records_expected_ > records_ ? 1 : 0;
  info->index_cut = index_tail_ > 0 ? 1 : 0;
}

void CaptureSource::Health(scanmon_health* out) {
  FillHealth(ReadHealth(health_), SummarizeHealth(health_), out);
  out->blocks_read = blocks_read_;
  out->samples_read = samples_read_;
  out->samples_dropped = 0;
  out->drop_events = 0;
  out->ring_peak_samples = 0;
  out->ring_samples = 0;
  out->sampling = 1;
  // The reader's wall clock means something only at the recorded pace.
  out->run_s_known = options_.paced && blocks_read_ > 0 ? 1 : 0;
  if (!options_.paced) {
    out->run_s = 0;
    out->rates_known = 0;
    out->samples_per_s = 0;
    out->fetches_per_s = 0;
  }
}

void CaptureSource::Header(scanmon_capture_header* out) const {
  out->version = header_.version;
  out->sample_period_us = header_.sample_period;
  out->max_range_in = header_.max_range;
  out->buf_size = header_.buf_size;
  out->num_samples = header_.num_samples;
  out->calibration_value = header_.calibration_value;
  out->motor1_encoder_ppr = header_.motor1_encoder_ppr;
  out->motor2_encoder_ppr = header_.motor2_encoder_ppr;
  out->motor1_power = header_.motor1_power;
  out->motor2_power = header_.motor2_power;
  out->com_port = header_.comport;
  out->card_number = header_.card_number;
  out->sensor_model = header_.sensor_model;
  std::memcpy(out->cal_file, header_.cal_file, sizeof out->cal_file);
  out->cal_file[sizeof out->cal_file - 1] = '\0';
}

}  // namespace

int OpenCaptureSource(const char* base, const scanmon_capture_options& options,
                      std::unique_ptr<Source>* source) {
  std::string name = base;
  const std::string extension = ".prc";
  if (name.size() > extension.size() &&
      name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
    name.resize(name.size() - extension.size());
  }
  auto capture = std::make_unique<CaptureSource>(name, options);
  int status = capture->Open();
  if (status != SCANMON_OK) return status;
  *source = std::move(capture);
  return SCANMON_OK;
}

}  // namespace scanmon_lib
