// The capture's output files and the one thread that writes them.
//
// A capture writes up to two data files side by side, each a version-3 capture
// header followed by whole records: the `.prc` file the processed 64-byte
// records, the `.raw` file (when asked for) the card's 16-byte raw records, in
// fetch order; and beside them the block index (capture/block_index.h), one
// record per fetch kept. The fetch loop hands each fetch's records and its
// block record to Append, which copies them into a ring per file and returns at
// once; the writer thread writes the rings out in rounds: the same samples to
// each data file, up to kWriteBlockBytes of the larger records (1 MB of .prc,
// 256 kB of .raw), or what the rings hold once it has waited kHoldSeconds, so
// samples reach the files within a second at any rate. Every ring takes a
// fetch or none does, and the rounds keep the files level.
//
// The files stay honest while recording: the headers are written with a
// sample count of 0, and about once a second (kSyncSeconds) the writer syncs
// the files to the device and only then writes the count of the records so
// synced into both headers. A crash or a power cut therefore leaves headers
// that never claim more records than the files hold; `capture-info --repair`
// sets the count to what is there. Until the index's fingerprint (which
// capture it belongs to: capture/block_index.h) covers its 256 records, each
// sync is preceded by rewriting the index header with the fingerprint of the
// records written so far, so it reaches the device with them, before any
// count claims them.
//
// Finish stops the thread after it has written what the rings hold (or at the
// first failed write, or at once when asked to hurry), cuts every file to the
// same whole number of records (the index to the blocks inside them), rewrites
// each header's sample count to that number and syncs the files. The files are
// then valid whatever stopped the capture: a stop request, a full disk, a write
// error.
//
// Files go through the platform layer; the header through capture/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "capture/block_index.h"
#include "capture/capture_header.h"
#include "libscanmon/record_ring.h"
#include "platform/win_types.h"

inline constexpr std::size_t kWriteBlockBytes = 1 << 20;
// The longest samples wait in the rings before the writer writes them, however
// few they are.
inline constexpr double kHoldSeconds = 0.5;
// How often the writer syncs the files and brings the headers' count up.
inline constexpr double kSyncSeconds = 1.0;

struct CaptureFileTarget {
  const char* path = nullptr;  // null: this file is not written
  std::size_t record_bytes = 0;
};

struct CaptureWriterSettings {
  CaptureFileTarget files[2];        // [0] .prc, [1] .raw (path null when not written)
  const char* index_path = nullptr;  // the block index; null: none written
  std::size_t ring_bytes = 0;        // both rings together, shared by record size
  std::size_t fetch_samples = 0;     // each ring holds at least two fetches of this many
  bool overwrite = false;            // replace existing files (else they are refused)
  // Test seam: the writer sleeps stall_ms before one round of writes in every
  // stall_every, as a slow or stalling disk would.
  unsigned stall_ms = 0;
  unsigned stall_every = 1;
  // Test seam: the writer thread fails to start, as when the system has no
  // room for another thread.
  bool fail_thread_start = false;
  // Asked before each round of the final flush: true cuts it short (a repeated
  // stop request). May be null.
  bool (*hurry)() = nullptr;
};

// Why the writer stopped early, for the operator.
struct WriteFailure {
  const char* path = nullptr;  // the file concerned
  const char* action = "";     // "creating", "writing", ...
  win::DWORD error = 0;        // the platform's error code
  bool not_disk = false;       // the system's resources, not the files, failed
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

  // Creates the files, writes the header to each (sample count 0) and starts
  // the thread. False after a failure (see Failure()), the thread's start
  // included; files already created are closed and removed again, since they
  // hold nothing of value.
  bool Open(const CaptureHeader& header);

  // Fetch loop: copies `count` samples' records (raw may be null when no .raw
  // file is written) and the fetch's block record into the rings. False when
  // they do not fit in all; the caller counts them as lost. Never blocks.
  bool Append(const void* processed, const void* raw, std::size_t count, const BlockRecord& block);

  // Finish then writes no more of what the rings hold: a repeated stop
  // request asks for the quickest safe end.
  void Hurry() { hurry_.store(true, std::memory_order_release); }

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
  std::uint64_t IndexBytes() const { return index_final_bytes_; }

  // Time the writer spent syncing, and how often, for the benchmark.
  double SyncSeconds() const { return sync_s_; }
  double LongestSyncSeconds() const { return sync_longest_s_; }
  unsigned Syncs() const { return syncs_; }

 private:
  // Files by number: the data files, then the index.
  static constexpr int kIndex = kFiles;
  static constexpr int kAllFiles = kFiles + 1;

  void WriterLoop();
  std::size_t SamplesWaiting() const;
  bool WriteFromRing(int file, std::size_t bytes);
  bool WriteRound(bool flush);
  bool WriteBlocks(std::uint64_t records, bool trim);
  bool SyncAndCount(std::uint64_t records, const char* action);
  bool WriteFingerprint();
  const char* PathOf(int file) const;
  void Fail(int file, const char* action, win::DWORD error, bool not_disk = false);
  void CloseAll();
  void RemoveCreated(const bool* created);

  CaptureWriterSettings settings_;
  std::size_t block_samples_ = 0;
  std::size_t peak_fill_ = 0;  // fetch loop's own
  unsigned rounds_ = 0;        // writer thread's own
  // The data files' rings, then the index's (records of the block index).
  std::unique_ptr<RecordRing> rings_[kAllFiles];
  win::HANDLE handles_[kAllFiles] = {};
  std::uint64_t file_bytes_[kAllFiles] = {};  // written by the thread, read after join
  std::uint64_t final_bytes_[kFiles] = {};
  std::uint64_t index_final_bytes_ = 0;
  std::uint64_t records_done_ = 0;  // writer thread: records in every data file
  std::uint64_t blocks_done_ = 0;   // writer thread: index records written
  double last_write_s_ = 0;         // writer thread: when it last wrote a round
  double last_sync_s_ = 0;          // writer thread: when it last synced
  // Writer thread: the FNV-1a hash of the .prc bytes written after the header
  // (at most kFingerprintRecords records' worth), and the records the index
  // header's fingerprint covers so far.
  std::uint64_t fingerprint_ = kFingerprintBasis;
  std::uint64_t fingerprint_bytes_ = 0;
  std::uint32_t fingerprint_records_ = 0;
  double sync_s_ = 0;
  double sync_longest_s_ = 0;
  unsigned syncs_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> hurry_{false};
  std::atomic<bool> failed_{false};
  std::atomic<std::uint64_t> bytes_written_{0};
  WriteFailure failure_;
};
