// Reading a capture's block index, <base>.idx, record by record in bounded
// memory. The library's own reader of the agreed layout (a 32-byte header,
// then 64-byte block records, the same record as scanmon_block), kept in this
// one file so that the shared reader of capture/ can take its place.
//
// Header: "SCANMIDX", version 1, header_size (>= 32), record_size (>= 64); a
// later version may only grow both: the reader skips header_size bytes and
// steps by record_size, taking the first 64 bytes of each record. A file that
// ends inside a record: the whole records count, the tail is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "capture/header_bytes.h"
#include "platform/files.h"
#include "scanmon/scanmon.h"

namespace scanmon_lib {

class BlockIndexReader {
 public:
  static constexpr std::size_t kHeaderBytes = 32;
  static constexpr std::size_t kRecordBytes = 64;
  static constexpr std::uint32_t kVersion = 1;

  BlockIndexReader() = default;
  ~BlockIndexReader() { Close(); }
  BlockIndexReader(const BlockIndexReader&) = delete;
  BlockIndexReader& operator=(const BlockIndexReader&) = delete;

  // Opens `path` and checks its header. False with *why set (the file is
  // missing: *missing true).
  bool Open(const std::string& path, std::string* why, bool* missing) {
    Close();
    *missing = false;
    handle_ = win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
    if (!win::IsValidHandle(handle_)) {
      handle_ = nullptr;
      *missing = true;
      *why = path + " cannot be opened";
      return false;
    }
    unsigned char header[kHeaderBytes];
    if (Read(header, kHeaderBytes) != kHeaderBytes) {
      *why = path + " ends inside its header: not a block index";
      return false;
    }
    const std::uint32_t version = capture_bytes::DecodeLe32(header + 8);
    header_size_ = capture_bytes::DecodeLe32(header + 12);
    record_size_ = capture_bytes::DecodeLe32(header + 16);
    if (std::memcmp(header, "SCANMIDX", 8) != 0) {
      *why = path + " is not a block index (no SCANMIDX at its start)";
      return false;
    }
    if (version != kVersion) {
      *why = path + " is a block index of version " + std::to_string(version) +
             ", which this library does not read (it reads version 1)";
      return false;
    }
    if (header_size_ < kHeaderBytes || record_size_ < kRecordBytes ||
        record_size_ > kMaxRecordBytes || header_size_ > kMaxHeaderBytes) {
      *why = path + " has a header of " + std::to_string(header_size_) + " bytes and records of " +
             std::to_string(record_size_) + ": not a block index this library reads";
      return false;
    }
    for (std::size_t skip = header_size_ - kHeaderBytes; skip > 0;) {
      unsigned char scratch[kHeaderBytes];
      std::size_t step = skip < sizeof scratch ? skip : sizeof scratch;
      if (Read(scratch, step) != step) {
        *why = path + " ends inside its header";
        return false;
      }
      skip -= step;
    }
    tail_bytes_ = 0;
    return true;
  }

  // The next record: 1, 0 at the end (tail_bytes() tells a cut record), -1
  // after a failed read.
  int Next(scanmon_block* block) {
    unsigned char record[kMaxRecordBytes];
    std::size_t got = Read(record, record_size_);
    if (got == kFailed) return -1;
    if (got < record_size_) {
      tail_bytes_ = got;
      return 0;
    }
    block->sequence = Le64(record + 0);
    block->first_sample = Le64(record + 8);
    block->first_record = Le64(record + 16);
    block->count = capture_bytes::DecodeLe32(record + 24);
    block->flags = capture_bytes::DecodeLe32(record + 28);
    block->dropped_before = Le64(record + 32);
    block->utc_ns = static_cast<std::int64_t>(Le64(record + 40));
    block->mono_ns = static_cast<std::int64_t>(Le64(record + 48));
    block->reserved = 0;
    return 1;
  }

  std::size_t tail_bytes() const { return tail_bytes_; }

  void Close() {
    if (handle_ != nullptr) win::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static constexpr std::size_t kMaxRecordBytes = 4096;
  static constexpr std::size_t kMaxHeaderBytes = 1 << 20;
  static constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

  static std::uint64_t Le64(const unsigned char* in) {
    return static_cast<std::uint64_t>(capture_bytes::DecodeLe32(in)) |
           static_cast<std::uint64_t>(capture_bytes::DecodeLe32(in + 4)) << 32;
  }

  // Reads up to `count` bytes (fewer only at the end); kFailed on an error.
  std::size_t Read(unsigned char* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
      win::DWORD got = 0;
      if (!win::ReadFile(handle_, out + done, static_cast<win::DWORD>(count - done), &got,
                         nullptr)) {
        return kFailed;
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  win::HANDLE handle_ = nullptr;
  std::uint32_t header_size_ = 0;
  std::uint32_t record_size_ = 0;
  std::size_t tail_bytes_ = 0;
};

}  // namespace scanmon_lib
