// The block record and the block index file.
//
// A block is what one fetch from the card brought: where its samples sit in the
// capture files, when the host had them, and what was lost around them. The
// recorder writes one record per fetch whose samples it kept to <base>.idx
// beside <base>.prc, so a reader can put a time on every sample and find every
// gap; the capture library hands the same record to its consumers.
//
// On disk: a 32-byte header (magic "SCANMIDX", version, header size, record
// size, and from version 2 the fingerprint of the capture it belongs to), then
// the records in fetch order. Every field little-endian, no padding. A later
// version may only grow the header and the record: a reader skips header_size
// bytes and steps by record_size. The layout is plain C so that a C header can
// mirror it; the offsets are pinned below.
//
// The fingerprint ties an index to its capture, so that a reader given the
// index of another capture can refuse it: the 64-bit FNV-1a hash of the first
// fingerprint_records processed records (64 bytes each, the .prc file's bytes
// after its header), fingerprint_records = the smaller of 256 and the records
// written. Both are 0 until the recorder has written its first records (a
// reader then checks nothing); version-1 files carry zeros there.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

// Bit 0: the card reported lost data on this fetch. The card's buffer is then
// started afresh, so samples are missing before this block and after it.
#define SCANMON_BLOCK_CARD_LOST 0x1u
// Bit 1: samples the card delivered were not kept before this block (the ring
// to the disk or the consumer was full); dropped_before says how many.
#define SCANMON_BLOCK_DROPPED 0x2u

struct BlockRecord {
  uint64_t sequence;        // fetch number since the start, one per fetch with samples
  uint64_t first_sample;    // every sample the card delivered before this block
  uint64_t first_record;    // this block's first record in the capture files
  uint32_t count;           // samples in the block
  uint32_t flags;           // SCANMON_BLOCK_*
  uint64_t dropped_before;  // delivered but not kept, between the previous block and this
  int64_t utc_ns;           // host UTC at the fetch's return, ns since 1970-01-01
  int64_t mono_ns;          // host monotonic clock at the fetch's return, ns
  uint64_t reserved;        // 0
};

struct BlockIndexHeader {
  char magic[8];  // "SCANMIDX", no NUL
  uint32_t version;
  uint32_t header_size;
  uint32_t record_size;
  uint32_t fingerprint_records;  // version 2; 0 in version 1
  uint64_t fingerprint;          // version 2; 0 in version 1
};

static_assert(sizeof(BlockRecord) == 64, "block record: 64 bytes");
static_assert(offsetof(BlockRecord, sequence) == 0, "block record layout");
static_assert(offsetof(BlockRecord, first_sample) == 8, "block record layout");
static_assert(offsetof(BlockRecord, first_record) == 16, "block record layout");
static_assert(offsetof(BlockRecord, count) == 24, "block record layout");
static_assert(offsetof(BlockRecord, flags) == 28, "block record layout");
static_assert(offsetof(BlockRecord, dropped_before) == 32, "block record layout");
static_assert(offsetof(BlockRecord, utc_ns) == 40, "block record layout");
static_assert(offsetof(BlockRecord, mono_ns) == 48, "block record layout");
static_assert(offsetof(BlockRecord, reserved) == 56, "block record layout");
static_assert(sizeof(BlockIndexHeader) == 32, "block index header: 32 bytes");
static_assert(offsetof(BlockIndexHeader, version) == 8, "block index header layout");
static_assert(offsetof(BlockIndexHeader, header_size) == 12, "block index header layout");
static_assert(offsetof(BlockIndexHeader, record_size) == 16, "block index header layout");
static_assert(offsetof(BlockIndexHeader, fingerprint_records) == 20, "block index header layout");
static_assert(offsetof(BlockIndexHeader, fingerprint) == 24, "block index header layout");

// The version written; readers take kOldestBlockIndexVersion to it.
inline constexpr std::uint32_t kBlockIndexVersion = 2;
inline constexpr std::uint32_t kOldestBlockIndexVersion = 1;
inline constexpr std::size_t kBlockIndexHeaderBytes = 32;
inline constexpr std::size_t kBlockRecordBytes = 64;
// The processed records the fingerprint covers at most, and FNV-1a's start.
inline constexpr std::uint32_t kFingerprintRecords = 256;
inline constexpr std::uint64_t kFingerprintBasis = 0xCBF29CE484222325ull;

// FNV-1a over `size` more bytes, from `hash` (kFingerprintBasis at the start).
std::uint64_t FingerprintAdd(std::uint64_t hash, const unsigned char* bytes, std::size_t size);

// The file form of the header and a record (little-endian whatever the host).
void EncodeBlockIndexHeader(unsigned char out[kBlockIndexHeaderBytes],
                            std::uint32_t fingerprint_records = 0, std::uint64_t fingerprint = 0);
void EncodeBlockRecord(const BlockRecord& record, unsigned char out[kBlockRecordBytes]);
BlockRecord DecodeBlockRecord(const unsigned char in[kBlockRecordBytes]);

// What a reader found at the start of an index file.
enum class BlockIndexCheck { kOk, kShort, kMagic, kVersion, kSizes };

// Checks a header read from a file: magic, a version this reader knows (1 or
// 2), sizes at least the first version's. *header_size and *record_size give the steps to read by.
BlockIndexCheck CheckBlockIndexHeader(const unsigned char* bytes, std::size_t size,
                                      std::uint32_t* header_size, std::uint32_t* record_size);

// Reads an index file through the platform's handles in fixed memory, one
// record at a time, in file order.
class BlockIndexReader {
 public:
  BlockIndexReader() = default;
  ~BlockIndexReader();
  BlockIndexReader(const BlockIndexReader&) = delete;
  BlockIndexReader& operator=(const BlockIndexReader&) = delete;

  // Opens `path` (read-only, others may read too) and checks its header. False
  // when it cannot be opened or read (error()) or the header is refused
  // (check()).
  bool Open(const char* path);
  // The next whole record; false at the end of the file or a failed read.
  bool Next(BlockRecord* record);
  void Close();

  BlockIndexCheck check() const { return check_; }
  win::DWORD error() const { return error_; }
  std::uint64_t records() const { return records_; }  // whole records read so far
  // After Next returned false: the bytes of a cut last record (0: the file
  // ends on a whole record), and whether a read failed.
  std::uint64_t partial_bytes() const { return partial_; }
  bool read_failed() const { return read_failed_; }
  std::uint32_t record_size() const { return record_size_; }
  std::uint32_t header_size() const { return header_size_; }

 private:
  bool Fill(std::size_t want);

  static constexpr std::size_t kBufferBytes = 1 << 16;
  win::HANDLE handle_ = nullptr;
  unsigned char buffer_[kBufferBytes];
  std::size_t begin_ = 0, end_ = 0;
  bool at_end_ = false;
  bool read_failed_ = false;
  BlockIndexCheck check_ = BlockIndexCheck::kShort;
  win::DWORD error_ = 0;
  std::uint32_t header_size_ = 0, record_size_ = 0;
  std::uint64_t records_ = 0, partial_ = 0;
};

// `prc_path` with its extension replaced by ".idx" (or ".idx" added when it has
// none); false when `out` is too small.
bool BlockIndexPathFor(const char* prc_path, char* out, std::size_t size);

// The most samples one block holds: the recorder's largest fetch (the capture
// configuration's buffer size, and the library's SCANMON_MAX_FETCH_SAMPLES).
inline constexpr std::uint32_t kMaxBlockSamples = 30000;

// How the blocks of an index may follow each other, the one verdict of every
// reader of it (the capture library and capture-info). The recorder writes
// one record per fetch whose samples it kept, in fetch order: each block's
// records follow the previous block's in the capture files; its fetch number
// is higher; its first card sample comes after the previous block's samples
// (later by the samples dropped or lost between them); the host's monotonic
// clock does not run back; no block is larger than the largest fetch.
enum class BlockOrderFault {
  kNone,
  kRecords,   // does not start where the previous block's records end
  kSequence,  // fetch number not above the previous block's
  kSamples,   // card samples overlapping the previous block's
  kTime,      // host time before the previous block's, or a span no clock holds
  kCount,     // more samples than the largest fetch
};

// Takes the blocks of an index in file order and says whether they keep that
// order. The first block out of order ends the verdict: it and every later
// block are refused (a reader cannot tell which of two blocks that disagree
// is the true one, so nothing after it is trusted).
class BlockOrderCheck {
 public:
  // True when `block` keeps the order (it is counted); false from the first
  // block that does not on.
  bool Take(const BlockRecord& block);

  BlockOrderFault fault() const { return fault_; }
  std::uint64_t blocks() const { return blocks_; }            // blocks in order
  std::uint64_t end_record() const { return end_record_; }    // after their records
  std::int64_t first_mono_ns() const { return first_mono_; }  // the first block's time
  std::int64_t span_ns() const { return span_ns_; }  // from the first block's time to the last's
  // The block at fault (numbered from 0) and what is wrong with it, as a
  // message part: "block 5 starts at record 300 where the records of the
  // blocks before it end at 360".
  std::uint64_t fault_block() const { return blocks_; }
  void Describe(char* out, std::size_t size) const;

 private:
  BlockOrderFault fault_ = BlockOrderFault::kNone;
  std::uint64_t blocks_ = 0;
  std::uint64_t end_record_ = 0;
  std::int64_t first_mono_ = 0;
  std::int64_t span_ns_ = 0;
  BlockRecord previous_{};
  BlockRecord refused_{};
};
