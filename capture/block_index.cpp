#include "capture/block_index.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr char kMagic[8] = {'S', 'C', 'A', 'N', 'M', 'I', 'D', 'X'};
// The longest record a reader of this version steps over (a later version's).
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

void EncodeBlockIndexHeader(unsigned char out[kBlockIndexHeaderBytes]) {
  std::memset(out, 0, kBlockIndexHeaderBytes);
  std::memcpy(out, kMagic, sizeof kMagic);
  PutLe(kBlockIndexVersion, 4, out + 8);
  PutLe(kBlockIndexHeaderBytes, 4, out + 12);
  PutLe(kBlockRecordBytes, 4, out + 16);
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
  if (GetLe(bytes + 8, 4) != kBlockIndexVersion) return BlockIndexCheck::kVersion;
  *header_size = static_cast<std::uint32_t>(GetLe(bytes + 12, 4));
  *record_size = static_cast<std::uint32_t>(GetLe(bytes + 16, 4));
  if (*header_size < kBlockIndexHeaderBytes || *header_size > kMaxRecordBytes ||
      *record_size < kBlockRecordBytes || *record_size > kMaxRecordBytes) {
    return BlockIndexCheck::kSizes;
  }
  return BlockIndexCheck::kOk;
}

bool ReadBlockIndex(const char* path, BlockVisitor each, void* context, BlockIndexCheck* check,
                    std::uint64_t* records, std::uint64_t* partial_bytes, win::DWORD* error) {
  *records = 0;
  *partial_bytes = 0;
  *error = win::ERROR_SUCCESS;
  *check = BlockIndexCheck::kShort;
  win::HANDLE handle = win::CreateFileA(path, win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                        win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle)) {
    *error = win::GetLastError();
    return false;
  }
  // Read in pieces of whole steps; a step is at most kMaxRecordBytes.
  static unsigned char buffer[64 * kMaxRecordBytes];
  std::size_t have = 0;
  std::uint32_t header_size = 0, record_size = 0;
  bool header_done = false, ok = true, going = true;
  while (going) {
    win::DWORD got = 0;
    if (win::ReadFile(handle, buffer + have, static_cast<win::DWORD>(sizeof buffer - have), &got,
                      nullptr) == 0) {
      *error = win::GetLastError();
      ok = false;
      break;
    }
    have += got;
    std::size_t used = 0;
    if (!header_done) {
      if (have < kBlockIndexHeaderBytes && got != 0) continue;
      *check = CheckBlockIndexHeader(buffer, have, &header_size, &record_size);
      if (*check != BlockIndexCheck::kOk || have < header_size) {
        if (*check == BlockIndexCheck::kOk) *check = BlockIndexCheck::kShort;
        ok = false;
        break;
      }
      header_done = true;
      used = header_size;
    }
    while (going && have - used >= record_size) {
      ++*records;
      going = each(DecodeBlockRecord(buffer + used), context);
      used += record_size;
    }
    std::memmove(buffer, buffer + used, have - used);
    have -= used;
    if (got == 0) break;
  }
  if (ok && going) *partial_bytes = have;
  win::CloseHandle(handle);
  return ok;
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
