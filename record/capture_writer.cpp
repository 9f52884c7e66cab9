#include "record/capture_writer.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "capture/header_bytes.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// Where the header keeps num_samples (see capture/capture_header.h).
constexpr win::DWORD kSampleCountOffset = 16;

// How long the writer sleeps when it has less than a block to write: short
// next to the rings' seconds of room, long enough to cost nothing.
constexpr auto kWriterIdle = std::chrono::milliseconds(5);

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
  }
  return true;
}

void CaptureWriter::Fail(int file, const char* action, win::DWORD error) {
  if (failed_.load(std::memory_order_relaxed)) return;
  failure_.path = settings_.files[file].path;
  failure_.action = action;
  failure_.error = error;
  failed_.store(true, std::memory_order_release);
}

bool CaptureWriter::Open(const CaptureHeader& header) {
  bool created[kFiles] = {};
  for (int i = 0; i < kFiles; ++i) {
    const char* path = settings_.files[i].path;
    if (path == nullptr) continue;
    handles_[i] = win::CreateFileA(path, win::GENERIC_WRITE, 0, nullptr,
                                   settings_.overwrite ? win::CREATE_ALWAYS : win::CREATE_NEW,
                                   win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!win::IsValidHandle(handles_[i])) {
      handles_[i] = nullptr;
      Fail(i, "creating", win::GetLastError());
      break;
    }
    created[i] = true;
    if (!WriteCaptureHeader(handles_[i], header)) {
      Fail(i, "writing the header of", win::GetLastError());
      break;
    }
    file_bytes_[i] = kCaptureHeaderBytes;
    bytes_written_.fetch_add(kCaptureHeaderBytes, std::memory_order_relaxed);
  }
  if (Failed()) {
    CloseAll();
    for (int i = 0; i < kFiles; ++i) {
      std::error_code ignored;
      if (created[i]) std::filesystem::remove(settings_.files[i].path, ignored);
      file_bytes_[i] = 0;
    }
    return false;
  }
  thread_ = std::thread([this] { WriterLoop(); });
  return true;
}

bool CaptureWriter::Append(const void* processed, const void* raw, std::size_t count) {
  const void* data[kFiles] = {processed, raw};
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr) continue;
    if (data[i] == nullptr || rings_[i]->Free() < count * settings_.files[i].record_bytes) {
      return false;
    }
  }
  std::size_t fill = 0;
  for (int i = 0; i < kFiles; ++i) {
    if (rings_[i] == nullptr) continue;
    rings_[i]->Put(data[i], count * settings_.files[i].record_bytes);
    fill += rings_[i]->Capacity() - rings_[i]->Free();
  }
  if (fill > peak_fill_) peak_fill_ = fill;
  return true;
}

std::size_t CaptureWriter::RingBytes() const {
  std::size_t bytes = 0;
  for (const auto& ring : rings_) {
    if (ring != nullptr) bytes += ring->Capacity();
  }
  return bytes;
}

// Samples waiting in every ring (the fewest: the fetch loop fills the rings
// one after the other).
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

// One round: the same samples to every file, a block of the largest record
// size at most, so the files stay level (a failed write then costs at most
// one round of the other files). Waits for a whole block unless `flush`.
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
  return true;
}

void CaptureWriter::WriterLoop() {
  for (;;) {
    bool stopping = stopping_.load(std::memory_order_acquire);
    bool wrote = WriteRound(stopping);
    if (Failed()) return;
    if (!wrote) {
      // Stopping and nothing left: every record handed over is in the files.
      if (stopping) return;
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
  // A header counts at most 2^32 - 1 samples, as the configuration does.
  if (samples > UINT32_MAX) samples = UINT32_MAX;
  unsigned char count[4];
  capture_bytes::EncodeLe32(static_cast<std::uint32_t>(samples), count);
  for (int i = 0; i < kFiles; ++i) {
    if (handles_[i] == nullptr) continue;
    // A positioned write: the file's own position stays at its end.
    win::OVERLAPPED at{};
    at.Offset = kSampleCountOffset;
    win::DWORD written = 0;
    if (win::WriteFile(handles_[i], count, sizeof count, &written, &at) == 0 ||
        written != sizeof count) {
      Fail(i, "rewriting the sample count of", win::GetLastError());
      *ok = false;
    }
  }
  CloseAll();
  for (int i = 0; i < kFiles; ++i) {
    if (settings_.files[i].path == nullptr || file_bytes_[i] == 0) continue;
    std::uint64_t whole = kCaptureHeaderBytes + samples * settings_.files[i].record_bytes;
    final_bytes_[i] = file_bytes_[i];
    if (file_bytes_[i] > whole) {
      std::error_code error;
      std::filesystem::resize_file(settings_.files[i].path, whole, error);
      if (error) {
        Fail(i, "cutting to whole records", static_cast<win::DWORD>(error.value()));
        *ok = false;
      } else {
        final_bytes_[i] = whole;
      }
    }
  }
  return samples;
}
