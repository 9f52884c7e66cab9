// The capture's output files and the one thread that writes them.
//
// A capture writes up to two files side by side, each a version-3 capture
// header followed by whole records: the `.prc` file the processed 64-byte
// records, the `.raw` file (when asked for) the card's 16-byte raw records, in
// fetch order. The fetch loop hands each fetch's records to Append, which copies
// them into a ring per file and returns at once; the writer thread writes the
// rings out in rounds: the same samples to each file, up to kWriteBlockBytes
// of the larger records (1 MB of .prc, 256 kB of .raw). Both rings take a fetch
// or neither does, and the rounds keep the files level, so the two files hold
// the same samples.
//
// Finish stops the thread after it has written what the rings hold (or at the
// first failed write), cuts both files to the same whole number of records,
// and rewrites each header's sample count to that number. The files are then
// valid whatever stopped the capture: a stop request, a full disk, a write
// error.
//
// Files go through the platform layer; the header through capture/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "capture/capture_header.h"
#include "platform/win_types.h"
#include "record/record_ring.h"

inline constexpr std::size_t kWriteBlockBytes = 1 << 20;
inline constexpr std::size_t kRawRecordBytes = 16;
inline constexpr std::size_t kProcessedRecordBytes = 64;

struct CaptureFileTarget {
  const char* path = nullptr;  // null: this file is not written
  std::size_t record_bytes = 0;
};

struct CaptureWriterSettings {
  CaptureFileTarget files[2];     // [0] .prc, [1] .raw (path null when not written)
  std::size_t ring_bytes = 0;     // both rings together, shared by record size
  std::size_t fetch_samples = 0;  // each ring holds at least two fetches of this many
  bool overwrite = false;         // replace existing files (else they are refused)
  // Test seam: the writer sleeps stall_ms before one round of writes in every
  // stall_every, as a slow or stalling disk would.
  unsigned stall_ms = 0;
  unsigned stall_every = 1;
};

// Why the writer stopped early, for the operator.
struct WriteFailure {
  const char* path = nullptr;  // the file concerned
  const char* action = "";     // "creating", "writing", ...
  win::DWORD error = 0;        // the platform's error code
};

class CaptureWriter {
 public:
  static constexpr int kFiles = 2;

  CaptureWriter() = default;
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // Makes the rings (allocated here, once). False when the memory is not
  // there; nothing else is touched.
  bool MakeRings(const CaptureWriterSettings& settings);

  // Creates the files, writes the header to each and starts the thread. False
  // after a failure (see Failure()); files already created are closed and
  // removed again, since they hold nothing of value.
  bool Open(const CaptureHeader& header);

  // Fetch loop: copies `count` samples' records (raw may be null when no .raw
  // file is written) into the rings. False when they do not fit in both; the
  // caller counts them as lost. Never blocks.
  bool Append(const void* processed, const void* raw, std::size_t count);

  // True once a write has failed; the thread has then stopped writing.
  bool Failed() const { return failed_.load(std::memory_order_acquire); }
  const WriteFailure& Failure() const { return failure_; }

  // Fetch loop: the most the rings have held at once, in bytes, and what they
  // can hold.
  std::size_t PeakFill() const { return peak_fill_; }
  std::size_t RingBytes() const;

  // Bytes written to all files so far (headers included).
  std::uint64_t BytesWritten() const { return bytes_written_.load(std::memory_order_relaxed); }

  // Writes out what the rings hold (unless a write failed), stops the thread,
  // cuts the files to whole records, the same count in each, rewrites their
  // headers' sample count and closes them. Returns the samples the files hold;
  // *ok is false when a write failed or the ending could not be written.
  std::uint64_t Finish(bool* ok);

  // The size each file has after Finish, for the summary.
  std::uint64_t FileBytes(int file) const { return final_bytes_[file]; }
  const char* FilePath(int file) const { return settings_.files[file].path; }

 private:
  void WriterLoop();
  std::size_t SamplesWaiting() const;
  bool WriteFromRing(int file, std::size_t bytes);
  bool WriteRound(bool flush);
  void Fail(int file, const char* action, win::DWORD error);
  void CloseAll();

  CaptureWriterSettings settings_;
  std::size_t block_samples_ = 0;
  std::size_t peak_fill_ = 0;  // fetch loop's own
  unsigned rounds_ =
      0;  // writer thread's own  // samples per round: a block of the largest records
  std::unique_ptr<RecordRing> rings_[kFiles];
  win::HANDLE handles_[kFiles] = {};
  std::uint64_t file_bytes_[kFiles] = {};  // written by the thread, read after join
  std::uint64_t final_bytes_[kFiles] = {};
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::atomic<std::uint64_t> bytes_written_{0};
  WriteFailure failure_;
};
