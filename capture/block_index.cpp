#include "capture/block_index.h"

#include <cstdio>
#include <cstring>

#include "capture/checked_time.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr char kMagic[8] = {'S', 'C', 'A', 'N', 'M', 'I', 'D', 'X'};
// The longest header or record a reader of this version steps over (a later
// version's): well inside the reader's buffer.
constexpr std::uint32_t kMaxRecordBytes = 4096;

void PutLe(std::uint64_t value, int bytes, unsigned char* out) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t GetLe(const unsigned char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

}  // namespace

std::uint64_t FingerprintAdd(std::uint64_t hash, const unsigned char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

void EncodeBlockIndexHeader(unsigned char out[kBlockIndexHeaderBytes],
                            std::uint32_t fingerprint_records, std::uint64_t fingerprint) {
  std::memset(out, 0, kBlockIndexHeaderBytes);
  std::memcpy(out, kMagic, sizeof kMagic);
  PutLe(kBlockIndexVersion, 4, out + 8);
  PutLe(kBlockIndexHeaderBytes, 4, out + 12);
  PutLe(kBlockRecordBytes, 4, out + 16);
  PutLe(fingerprint_records, 4, out + 20);
  PutLe(fingerprint, 8, out + 24);
}

void EncodeBlockRecord(const BlockRecord& r, unsigned char out[kBlockRecordBytes]) {
  PutLe(r.sequence, 8, out);
  PutLe(r.first_sample, 8, out + 8);
  PutLe(r.first_record, 8, out + 16);
  PutLe(r.count, 4, out + 24);
  PutLe(r.flags, 4, out + 28);
  PutLe(r.dropped_before, 8, out + 32);
  PutLe(static_cast<std::uint64_t>(r.utc_ns), 8, out + 40);
  PutLe(static_cast<std::uint64_t>(r.mono_ns), 8, out + 48);
  PutLe(r.reserved, 8, out + 56);
}

BlockRecord DecodeBlockRecord(const unsigned char in[kBlockRecordBytes]) {
  BlockRecord r{};
  r.sequence = GetLe(in, 8);
  r.first_sample = GetLe(in + 8, 8);
  r.first_record = GetLe(in + 16, 8);
  r.count = static_cast<std::uint32_t>(GetLe(in + 24, 4));
  r.flags = static_cast<std::uint32_t>(GetLe(in + 28, 4));
  r.dropped_before = GetLe(in + 32, 8);
  r.utc_ns = static_cast<std::int64_t>(GetLe(in + 40, 8));
  r.mono_ns = static_cast<std::int64_t>(GetLe(in + 48, 8));
  r.reserved = GetLe(in + 56, 8);
  return r;
}

BlockIndexCheck CheckBlockIndexHeader(const unsigned char* bytes, std::size_t size,
                                      std::uint32_t* header_size, std::uint32_t* record_size) {
  if (size < kBlockIndexHeaderBytes) return BlockIndexCheck::kShort;
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return BlockIndexCheck::kMagic;
  const std::uint64_t version = GetLe(bytes + 8, 4);
  if (version < kOldestBlockIndexVersion || version > kBlockIndexVersion) {
    return BlockIndexCheck::kVersion;
  }
  *header_size = static_cast<std::uint32_t>(GetLe(bytes + 12, 4));
  *record_size = static_cast<std::uint32_t>(GetLe(bytes + 16, 4));
  if (*header_size < kBlockIndexHeaderBytes || *header_size > kMaxRecordBytes ||
      *record_size < kBlockRecordBytes || *record_size > kMaxRecordBytes) {
    return BlockIndexCheck::kSizes;
  }
  return BlockIndexCheck::kOk;
}

BlockIndexReader::~BlockIndexReader() {
  Close();
}

void BlockIndexReader::Close() {
  if (handle_ != nullptr) win::CloseHandle(handle_);
  handle_ = nullptr;
}

// Makes `want` bytes (at most the buffer) wait from begin_ on; false when the
// file ends (or a read fails) first.
bool BlockIndexReader::Fill(std::size_t want) {
  while (end_ - begin_ < want) {
    if (at_end_) return false;
    if (begin_ > 0) {
      std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    win::DWORD got = 0;
    if (win::ReadFile(handle_, buffer_ + end_, static_cast<win::DWORD>(kBufferBytes - end_), &got,
                      nullptr) == 0) {
      error_ = win::GetLastError();
      read_failed_ = true;
      at_end_ = true;
      return false;
    }
    if (got == 0) at_end_ = true;
    end_ += got;
  }
  return true;
}

bool BlockIndexReader::Open(const char* path) {
  Close();
  begin_ = end_ = 0;
  at_end_ = read_failed_ = false;
  records_ = partial_ = 0;
  error_ = win::ERROR_SUCCESS;
  check_ = BlockIndexCheck::kShort;
  handle_ = win::CreateFileA(path, win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                             win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle_)) {
    handle_ = nullptr;
    error_ = win::GetLastError();
    return false;
  }
  Fill(kBlockIndexHeaderBytes);
  if (read_failed_) return false;
  check_ = CheckBlockIndexHeader(buffer_, end_, &header_size_, &record_size_);
  if (check_ != BlockIndexCheck::kOk) return false;
  if (!Fill(header_size_)) {
    check_ = BlockIndexCheck::kShort;
    return false;
  }
  begin_ += header_size_;
  return true;
}

bool BlockIndexReader::Next(BlockRecord* record) {
  if (handle_ == nullptr) return false;
  if (!Fill(record_size_)) {
    partial_ = end_ - begin_;
    return false;
  }
  *record = DecodeBlockRecord(buffer_ + begin_);
  begin_ += record_size_;
  ++records_;
  return true;
}

bool BlockIndexPathFor(const char* prc_path, char* out, std::size_t size) {
  std::size_t length = std::strlen(prc_path);
  std::size_t stem = length;
  for (std::size_t i = length; i > 0; --i) {
    char c = prc_path[i - 1];
    if (c == '/' || c == '\\') break;
    if (c == '.') {
      stem = i - 1;
      break;
    }
  }
  if (stem + 5 > size) return false;
  std::memcpy(out, prc_path, stem);
  std::memcpy(out + stem, ".idx", 5);
  return true;
}

bool BlockOrderCheck::Take(const BlockRecord& b) {
  if (fault_ != BlockOrderFault::kNone) return false;
  BlockOrderFault fault = BlockOrderFault::kNone;
  std::int64_t step = 0, span = 0;
  if (b.first_record != end_record_ || b.first_record > UINT64_MAX - b.count) {
    fault = BlockOrderFault::kRecords;
  } else if (b.count > kMaxBlockSamples) {
    fault = BlockOrderFault::kCount;
  } else if (b.first_sample > UINT64_MAX - b.count) {
    fault = BlockOrderFault::kSamples;
  } else if (blocks_ > 0) {
    if (b.sequence <= previous_.sequence) {
      fault = BlockOrderFault::kSequence;
    } else if (b.first_sample < previous_.first_sample + previous_.count) {
      fault = BlockOrderFault::kSamples;
    } else if (b.mono_ns < previous_.mono_ns ||
               !checked_time::Subtract(b.mono_ns, previous_.mono_ns, &step) ||
               !checked_time::Add(span_ns_, step, &span)) {
      fault = BlockOrderFault::kTime;
    }
  }
  if (fault != BlockOrderFault::kNone) {
    fault_ = fault;
    refused_ = b;
    return false;
  }
  if (blocks_ == 0) first_mono_ = b.mono_ns;
  span_ns_ = span;
  end_record_ = b.first_record + b.count;
  previous_ = b;
  ++blocks_;
  return true;
}

void BlockOrderCheck::Describe(char* out, std::size_t size) const {
  const auto block = static_cast<unsigned long long>(blocks_);
  const BlockRecord& b = refused_;
  const BlockRecord& p = previous_;
  switch (fault_) {
    case BlockOrderFault::kNone:
      std::snprintf(out, size, "the blocks are in order");
      return;
    case BlockOrderFault::kRecords:
      std::snprintf(out, size,
                    "block %llu starts at record %llu where the records of the blocks before it "
                    "end at %llu (blocks overlapping, out of order or leaving records out)",
                    block, static_cast<unsigned long long>(b.first_record),
                    static_cast<unsigned long long>(end_record_));
      return;
    case BlockOrderFault::kSequence:
      std::snprintf(out, size, "block %llu has fetch number %llu, not above the previous %llu",
                    block, static_cast<unsigned long long>(b.sequence),
                    static_cast<unsigned long long>(p.sequence));
      return;
    case BlockOrderFault::kSamples:
      std::snprintf(out, size,
                    "block %llu starts at card sample %llu, inside the previous block's samples "
                    "(to %llu)",
                    block, static_cast<unsigned long long>(b.first_sample),
                    static_cast<unsigned long long>(p.first_sample + p.count));
      return;
    case BlockOrderFault::kTime:
      std::snprintf(out, size,
                    "block %llu has host time %lld ns, before the previous block's %lld or "
                    "further from the first than a clock holds",
                    block, static_cast<long long>(b.mono_ns), static_cast<long long>(p.mono_ns));
      return;
    case BlockOrderFault::kCount:
      std::snprintf(out, size, "block %llu holds %lu samples, more than the largest fetch (%lu)",
                    block, static_cast<unsigned long>(b.count),
                    static_cast<unsigned long>(kMaxBlockSamples));
      return;
  }
}
