#include "record/capture_writer.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "capture/header_bytes.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// Where the header keeps num_samples (see capture/capture_header.h).
constexpr win::DWORD kSampleCountOffset = 16;

// How long the writer sleeps when it has nothing due: short next to the rings'
// seconds of room and the half second samples may wait, long enough to cost
// nothing.
constexpr auto kWriterIdle = std::chrono::milliseconds(5);

// The index ring holds at least this many block records (1 MB), and at least
// one per sixteenth of a fetch the data rings can hold.
constexpr std::size_t kLeastIndexBlocks = 16384;

// Moves `handle` to `position`; false with the last error set.
bool MoveTo(win::HANDLE handle, std::uint64_t position) {
  win::LONG high = static_cast<win::LONG>(position >> 32);
  win::SetLastError(win::ERROR_SUCCESS);
  return !(win::SetFilePointer(handle, static_cast<win::LONG>(position & 0xFFFFFFFFu), &high,
                               win::FILE_BEGIN) == win::INVALID_SET_FILE_POINTER &&
           win::GetLastError() != win::ERROR_SUCCESS);
}

// The first record and count of the block record encoded at `bytes`.
void BlockSpan(const unsigned char* bytes, std::uint64_t* first, std::uint32_t* count) {
  BlockRecord block = DecodeBlockRecord(bytes);
  *first = block.first_record;
  *count = block.count;
}

}  // namespace

CaptureWriter::~CaptureWriter() {
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_release);
    thread_.join();
  }
  CloseAll();
}

bool CaptureWriter::MakeRings(const CaptureWriterSettings& settings) {
  settings_ = settings;
  std::size_t per_sample = 0;
  for (const CaptureFileTarget& target : settings_.files) {
    if (target.path != nullptr) per_sample += target.record_bytes;
  }
  if (per_sample == 0) return false;
  std::size_t most_samples = 0;
  for (int i = 0; i < kFiles; ++i) {
    const CaptureFileTarget& target = settings_.files[i];
    if (target.path == nullptr) continue;
    // Each ring gets its file's share, a whole number of blocks (a block is a
    // whole number of records of either size), so a block never straddles
    // the end of the storage.
    std::size_t share = settings_.ring_bytes / per_sample * target.record_bytes;
    std::size_t blocks = share / kWriteBlockBytes;
    // Room for two fetches at least, or a fetch could never be taken.
    std::size_t two_fetches = 2 * settings_.fetch_samples * target.record_bytes;
    std::size_t least = (two_fetches + kWriteBlockBytes - 1) / kWriteBlockBytes;
    if (blocks < least) blocks = least;
    if (blocks == 0) blocks = 1;
    rings_[i] = std::make_unique<RecordRing>(blocks * kWriteBlockBytes);
    if (rings_[i]->Capacity() == 0) return false;
    // A round is a block of the largest records, or half the smallest ring
    // when that is less, so a full ring always has a round to give.
    std::size_t samples = kWriteBlockBytes / target.record_bytes;
    std::size_t half_ring = rings_[i]->Capacity() / 2 / target.record_bytes;
    if (half_ring < samples) samples = half_ring;
    if (block_samples_ == 0 || samples < block_samples_) block_samples_ = samples;
    std::size_t held = rings_[i]->Capacity() / target.record_bytes;
    if (held > most_samples) most_samples = held;
  }
  if (settings_.index_path != nullptr) {
    // One block record per fetch: as many as the data rings hold fetches of a
    // sixteenth of the configured size (never more than samples).
    std::size_t sixteenth = settings_.fetch_samples / 16 > 0 ? settings_.fetch_samples / 16 : 1;
    std::size_t blocks = most_samples / sixteenth;
    if (blocks < kLeastIndexBlocks) blocks = kLeastIndexBlocks;
    rings_[kIndex] = std::make_unique<RecordRing>(blocks * kBlockRecordBytes);
    if (rings_[kIndex]->Capacity() == 0) return false;
  }
  return true;
}

const char* CaptureWriter::PathOf(int file) const {
  return file == kIndex ? settings_.index_path : settings_.files[file].path;
}

void CaptureWriter::Fail(int file, const char* action, win::DWORD error, bool not_disk) {
  if (failed_.load(std::memory_order_relaxed)) return;
  failure_.path = PathOf(file);
  failure_.action = action;
  failure_.error = error;
  failure_.not_disk = not_disk;
  failed_.store(true, std::memory_order_release);
}

void CaptureWriter::RemoveCreated(const bool* created) {
  CloseAll();
  for (int i = 0; i < kAllFiles; ++i) {
    std::error_code ignored;
    if (created[i]) std::filesystem::remove(PathOf(i), ignored);
    file_bytes_[i] = 0;
  }
}

bool CaptureWriter::Open(const CaptureHeader& header) {
  bool created[kAllFiles] = {};
  // The count stays 0 until records are in the files and synced.
  CaptureHeader empty = header;
  empty.num_samples = 0;
  for (int i = 0; i < kAllFiles; ++i) {
    const char* path = PathOf(i);
    if (path == nullptr || rings_[i] == nullptr) continue;
    handles_[i] = win::CreateFileA(path, win::GENERIC_WRITE, 0, nullptr,
                                   settings_.overwrite ? win::CREATE_ALWAYS : win::CREATE_NEW,
                                   win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!win::IsValidHandle(handles_[i])) {
      handles_[i] = nullptr;
      Fail(i, "creating", win::GetLastError());
      break;
    }
    created[i] = true;
    std::uint64_t header_bytes = kCaptureHeaderBytes;
    if (i == kIndex) {
      unsigned char bytes[kBlockIndexHeaderBytes];
      EncodeBlockIndexHeader(bytes);
      header_bytes = sizeof bytes;
      if (!WriteExact(handles_[i], bytes, sizeof bytes)) {
        Fail(i, "writing the header of", win::GetLastError());
        break;
      }
    } else if (!WriteCaptureHeader(handles_[i], empty)) {
      Fail(i, "writing the header of", win::GetLastError());
      break;
    }
    file_bytes_[i] = header_bytes;
    bytes_written_.fetch_add(header_bytes, std::memory_order_relaxed);
  }
  if (Failed()) {
    RemoveCreated(created);
    return false;
  }
  const double now = platform::MonotonicSeconds();
  last_write_s_ = now;
  last_sync_s_ = now;
  try {
    if (settings_.fail_thread_start) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    thread_ = std::thread([this] { WriterLoop(); });
  } catch (const std::system_error&) {
    // No thread, so no writer: nothing may be left claiming a capture.
    Fail(0, "starting the writer thread for", win::ERROR_NOT_ENOUGH_MEMORY, true);
    RemoveCreated(created);
    return false;
  }
  return true;
}

bool CaptureWriter::Append(const void* processed, const void* raw, std::size_t count,
                           const BlockRecord& block) {
  const void* data[kFiles] = {processed, raw};
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr) continue;
    if (data[i] == nullptr || rings_[i]->Free() < count * settings_.files[i].record_bytes) {
      return false;
    }
  }
  if (rings_[kIndex] != nullptr && rings_[kIndex]->Free() < kBlockRecordBytes) return false;
  std::size_t fill = 0;
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr) continue;
    rings_[i]->Put(data[i], count * settings_.files[i].record_bytes);
    fill += rings_[i]->Capacity() - rings_[i]->Free();
  }
  if (rings_[kIndex] != nullptr) {
    unsigned char bytes[kBlockRecordBytes];
    EncodeBlockRecord(block, bytes);
    rings_[kIndex]->Put(bytes, sizeof bytes);
  }
  if (fill > peak_fill_) peak_fill_ = fill;
  return true;
}

std::size_t CaptureWriter::RingBytes() const {
  std::size_t bytes = 0;
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] != nullptr) bytes += rings_[i]->Capacity();
  }
  return bytes;
}

// Samples waiting in every data ring (the fewest: the fetch loop fills the
// rings one after the other).
std::size_t CaptureWriter::SamplesWaiting() const {
  std::size_t samples = SIZE_MAX;
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr || handles_[i] == nullptr) continue;
    std::size_t here = rings_[i]->Pending() / settings_.files[i].record_bytes;
    if (here < samples) samples = here;
  }
  return samples == SIZE_MAX ? 0 : samples;
}

// Writes `bytes` from the front of file `file`'s ring (in one or two runs,
// where the ring's storage wraps). False after a failed write.
bool CaptureWriter::WriteFromRing(int file, std::size_t bytes) {
  RecordRing* ring = rings_[file].get();
  while (bytes > 0) {
    const unsigned char* data = nullptr;
    std::size_t run = ring->Peek(&data, bytes);
    win::DWORD written = 0;
    bool ok = win::WriteFile(handles_[file], data, static_cast<win::DWORD>(run), &written,
                             nullptr) != 0 &&
              written == run;
    // The index's fingerprint: the first processed records as they reach the file.
    if (file == 0 && settings_.files[0].record_bytes == kProcessedRecordBytes) {
      const std::uint64_t most = std::uint64_t{kFingerprintRecords} * kProcessedRecordBytes;
      const std::uint64_t room = fingerprint_bytes_ < most ? most - fingerprint_bytes_ : 0;
      const std::uint64_t take = written < room ? written : room;
      fingerprint_ = FingerprintAdd(fingerprint_, data, static_cast<std::size_t>(take));
      fingerprint_bytes_ += take;
    }
    // Bytes that reached the file count even from a failed write: Finish cuts
    // the file back to whole records.
    file_bytes_[file] += written;
    bytes_written_.fetch_add(written, std::memory_order_relaxed);
    if (!ok) {
      win::DWORD error = win::GetLastError();
      Fail(file, "writing", error == win::ERROR_SUCCESS ? win::ERROR_WRITE_FAULT : error);
      return false;
    }
    ring->Drop(run);
    bytes -= run;
  }
  return true;
}

// Writes the block records at the front of the index ring whose samples are
// all among the first `records` of the files. With `trim` (the end, after the
// files were cut) a block that reaches past them is written with its count cut
// to what is there, and the blocks beyond are dropped.
bool CaptureWriter::WriteBlocks(std::uint64_t records, bool trim) {
  RecordRing* ring = rings_[kIndex].get();
  if (ring == nullptr || handles_[kIndex] == nullptr) return true;
  for (;;) {
    const unsigned char* data = nullptr;
    std::size_t run = ring->Peek(&data, SIZE_MAX);
    std::size_t whole = 0;
    for (; whole + kBlockRecordBytes <= run; whole += kBlockRecordBytes) {
      std::uint64_t first = 0;
      std::uint32_t count = 0;
      BlockSpan(data + whole, &first, &count);
      if (first + count > records) break;
    }
    if (whole > 0) {
      if (!WriteFromRing(kIndex, whole)) return false;
      blocks_done_ += whole / kBlockRecordBytes;
      continue;
    }
    if (!trim || run < kBlockRecordBytes) return true;
    // The first block left reaches past the files' end.
    BlockRecord block = DecodeBlockRecord(data);
    ring->Drop(ring->Pending());
    if (block.first_record >= records) return true;
    block.count = static_cast<std::uint32_t>(records - block.first_record);
    unsigned char bytes[kBlockRecordBytes];
    EncodeBlockRecord(block, bytes);
    win::DWORD written = 0;
    bool ok = win::WriteFile(handles_[kIndex], bytes, sizeof bytes, &written, nullptr) != 0 &&
              written == sizeof bytes;
    file_bytes_[kIndex] += written;
    if (!ok) {
      Fail(kIndex, "writing", win::GetLastError());
      return false;
    }
    ++blocks_done_;
    return true;
  }
}

// Rewrites the index header with the fingerprint of the processed records
// written, while it covers fewer than kFingerprintRecords and more are in every
// file. False after a failed write.
bool CaptureWriter::WriteFingerprint() {
  if (handles_[kIndex] == nullptr || handles_[0] == nullptr ||
      settings_.files[0].record_bytes != kProcessedRecordBytes) {
    return true;
  }
  // The hash covers whole records, all of them in every file.
  const std::uint64_t hashed = fingerprint_bytes_ / kProcessedRecordBytes;
  if (fingerprint_bytes_ % kProcessedRecordBytes != 0 || hashed > records_done_ ||
      hashed <= fingerprint_records_) {
    return true;
  }
  unsigned char bytes[kBlockIndexHeaderBytes];
  EncodeBlockIndexHeader(bytes, static_cast<std::uint32_t>(hashed), fingerprint_);
  win::OVERLAPPED at{};
  win::DWORD written = 0;
  if (win::WriteFile(handles_[kIndex], bytes, sizeof bytes, &written, &at) == 0 ||
      written != sizeof bytes || !MoveTo(handles_[kIndex], file_bytes_[kIndex])) {
    Fail(kIndex, "rewriting the header of", win::GetLastError());
    return false;
  }
  fingerprint_records_ = static_cast<std::uint32_t>(hashed);
  return true;
}

// Syncs every file to the device, then writes `records` as the headers'
// sample count: a count written after its records are safe never claims
// records a power cut took away. The index header's fingerprint goes first,
// so that it is synced with the records it covers.
bool CaptureWriter::SyncAndCount(std::uint64_t records, const char* action) {
  const double start = platform::MonotonicSeconds();
  bool ok = WriteFingerprint();
  for (int i = 0; i < kAllFiles; ++i) {
    if (handles_[i] == nullptr) continue;
    if (win::FlushFileBuffers(handles_[i]) == 0) {
      Fail(i, action, win::GetLastError());
      ok = false;
    }
  }
  const double end = platform::MonotonicSeconds();
  sync_s_ += end - start;
  if (end - start > sync_longest_s_) sync_longest_s_ = end - start;
  ++syncs_;
  last_sync_s_ = end;
  // A header counts at most 2^32 - 1 samples, as the configuration does.
  if (records > UINT32_MAX) records = UINT32_MAX;
  unsigned char count[4];
  capture_bytes::EncodeLe32(static_cast<std::uint32_t>(records), count);
  for (int i = 0; i < kFiles; ++i) {
    if (handles_[i] == nullptr) continue;
    // A positioned write; Windows then moves a synchronous handle's position
    // after it, so the position is put back at the file's end.
    win::OVERLAPPED at{};
    at.Offset = kSampleCountOffset;
    win::DWORD written = 0;
    if (win::WriteFile(handles_[i], count, sizeof count, &written, &at) == 0 ||
        written != sizeof count || !MoveTo(handles_[i], file_bytes_[i])) {
      Fail(i, "rewriting the sample count of", win::GetLastError());
      ok = false;
    }
  }
  return ok;
}

// One round: the same samples to every data file, a block of the largest
// record size at most, so the files stay level (a failed write then costs at
// most one round of the other files), then the index records of the blocks now
// whole in them. Waits for a whole block unless `flush`.
bool CaptureWriter::WriteRound(bool flush) {
  std::size_t samples = SamplesWaiting();
  if (samples == 0 || (!flush && samples < block_samples_)) return false;
  if (samples > block_samples_) samples = block_samples_;
  if (settings_.stall_ms > 0 &&
      rounds_++ % (settings_.stall_every > 0 ? settings_.stall_every : 1) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.stall_ms));
  }
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr || handles_[i] == nullptr) continue;
    if (!WriteFromRing(i, samples * settings_.files[i].record_bytes)) return false;
  }
  records_done_ += samples;
  return WriteBlocks(records_done_, false);
}

void CaptureWriter::WriterLoop() {
  for (;;) {
    bool stopping = stopping_.load(std::memory_order_acquire);
    if (stopping && (hurry_.load(std::memory_order_acquire) ||
                     (settings_.hurry != nullptr && settings_.hurry()))) {
      hurry_.store(true, std::memory_order_release);
      return;
    }
    double now = platform::MonotonicSeconds();
    bool wrote = WriteRound(stopping || now - last_write_s_ >= kHoldSeconds);
    if (Failed()) return;
    if (wrote) last_write_s_ = now;
    // A sync during the final flush would only delay Finish's own.
    if (!stopping && records_done_ > 0 && now - last_sync_s_ >= kSyncSeconds) {
      if (!SyncAndCount(records_done_, "syncing")) return;
    }
    if (!wrote) {
      // Stopping and nothing left: every record handed over is in the files.
      if (stopping) return;
      if (SamplesWaiting() == 0) last_write_s_ = now;  // nothing is waiting
      std::this_thread::sleep_for(kWriterIdle);
    }
  }
}

void CaptureWriter::CloseAll() {
  for (win::HANDLE& handle : handles_) {
    if (handle != nullptr) win::CloseHandle(handle);
    handle = nullptr;
  }
}

std::uint64_t CaptureWriter::Finish(bool* ok) {
  *ok = true;
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_release);
    thread_.join();
  }
  if (Failed()) *ok = false;
  // The same whole number of records in every file.
  std::uint64_t samples = UINT64_MAX;
  bool any = false;
  for (int i = 0; i < kFiles; ++i) {
    if (handles_[i] == nullptr) continue;
    any = true;
    std::uint64_t body = file_bytes_[i] - kCaptureHeaderBytes;
    std::uint64_t records = body / settings_.files[i].record_bytes;
    if (records < samples) samples = records;
  }
  if (!any) return 0;
  if (samples > UINT32_MAX) samples = UINT32_MAX;
  // The index: the blocks inside the files, the last one cut to them. After a
  // failed index write the index ends at the whole records written.
  if (handles_[kIndex] != nullptr && !(Failed() && failure_.path == settings_.index_path)) {
    if (!WriteBlocks(samples, true)) *ok = false;
  }
  // Every file cut to its whole records, through its handle.
  for (int i = 0; i < kAllFiles; ++i) {
    if (handles_[i] == nullptr) continue;
    std::uint64_t whole = i == kIndex
                              ? kBlockIndexHeaderBytes + blocks_done_ * kBlockRecordBytes
                              : kCaptureHeaderBytes + samples * settings_.files[i].record_bytes;
    if (file_bytes_[i] > whole) {
      if (!MoveTo(handles_[i], whole) || win::SetEndOfFile(handles_[i]) == 0) {
        Fail(i, "cutting to whole records", win::GetLastError());
        *ok = false;
        continue;
      }
      file_bytes_[i] = whole;
    }
  }
  if (hurry_.load(std::memory_order_acquire)) {
    // No syncs: the count goes in at once, the system writes it in its time.
    if (!WriteFingerprint()) *ok = false;
    unsigned char count[4];
    capture_bytes::EncodeLe32(static_cast<std::uint32_t>(samples), count);
    for (int i = 0; i < kFiles; ++i) {
      if (handles_[i] == nullptr) continue;
      win::OVERLAPPED at{};
      at.Offset = kSampleCountOffset;
      win::DWORD written = 0;
      if (win::WriteFile(handles_[i], count, sizeof count, &written, &at) == 0) *ok = false;
    }
  } else {
    // Data synced, count written, and synced again: the end is on the device.
    if (!SyncAndCount(samples, "syncing")) *ok = false;
    for (int i = 0; i < kFiles; ++i) {
      if (handles_[i] != nullptr && win::FlushFileBuffers(handles_[i]) == 0) {
        Fail(i, "syncing", win::GetLastError());
        *ok = false;
      }
    }
  }
  for (int i = 0; i < kFiles; ++i) final_bytes_[i] = file_bytes_[i];
  index_final_bytes_ = file_bytes_[kIndex];
  CloseAll();
  return samples;
}
