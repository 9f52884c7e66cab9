#include "capture/capture_mend.h"

#include <cstdint>
#include <cstdio>

#include "capture/block_index.h"
#include "capture/capture_check.h"
#include "capture/capture_header.h"
#include "capture/header_bytes.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// Where the header keeps num_samples (see capture/capture_header.h).
constexpr win::DWORD kSampleCountOffset = 16;

// A file's size through its handle; false with the last error set.
bool FileSize(win::HANDLE handle, std::uint64_t* size) {
  win::LONG high = 0;
  win::SetLastError(win::ERROR_SUCCESS);
  win::DWORD low = win::SetFilePointer(handle, 0, &high, win::FILE_END);
  if (low == win::INVALID_SET_FILE_POINTER && win::GetLastError() != win::ERROR_SUCCESS) {
    return false;
  }
  *size = static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32 | low;
  return true;
}

// Cuts the open file to `size` bytes.
bool CutTo(win::HANDLE handle, std::uint64_t size) {
  win::LONG high = static_cast<win::LONG>(size >> 32);
  win::SetLastError(win::ERROR_SUCCESS);
  win::DWORD low = win::SetFilePointer(handle, static_cast<win::LONG>(size & 0xFFFFFFFFu), &high,
                                       win::FILE_BEGIN);
  if (low == win::INVALID_SET_FILE_POINTER && win::GetLastError() != win::ERROR_SUCCESS) {
    return false;
  }
  return win::SetEndOfFile(handle) != 0;
}

// Cuts the block index beside a repaired .prc to the blocks inside its
// `records` and to whole block records: only a trailing run of blocks past the
// records (what a crash leaves) goes. An index with a block out of order
// anywhere is left alone: cutting there would throw away good blocks after a
// damaged one, and the damage is not what a crash does.
bool RepairIndex(const char* idx_path, std::uint64_t records) {
  static BlockIndexReader reader;
  if (!reader.Open(idx_path)) {
    if (reader.error() == win::ERROR_FILE_NOT_FOUND) return true;
    std::printf("Block index %s: left alone (not readable as a block index)\n", idx_path);
    return false;
  }
  // The blocks in order are a run of records from the first on, so those
  // within the records come first and the rest all reach past them.
  BlockOrderCheck order;
  std::uint64_t keep = 0;
  BlockRecord b;
  while (reader.Next(&b) && order.Take(b)) {
    if (order.end_record() <= records) ++keep;
  }
  const bool read_failed = reader.read_failed();
  const std::uint64_t size = reader.header_size() + keep * reader.record_size();
  reader.Close();
  if (read_failed) {
    std::printf("Block index %s: left alone (reading it failed)\n", idx_path);
    return false;
  }
  if (order.fault() != BlockOrderFault::kNone) {
    char why[256];
    order.Describe(why, sizeof why);
    std::printf(
        "Block index %s: left alone: %s (a repair cuts only blocks past the records at the "
        "index's end; this damage is not a crash's)\n",
        idx_path, why);
    return false;
  }
  win::HANDLE handle = win::CreateFileA(idx_path, win::GENERIC_READ | win::GENERIC_WRITE, 0,
                                        nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle)) return false;
  std::uint64_t before = 0;
  bool ok = FileSize(handle, &before);
  if (ok && before > size) {
    ok = CutTo(handle, size) && win::FlushFileBuffers(handle) != 0;
    if (ok) {
      std::printf("Block index %s: cut to %llu blocks (%llu bytes removed)\n", idx_path,
                  static_cast<unsigned long long>(keep),
                  static_cast<unsigned long long>(before - size));
    }
  }
  win::CloseHandle(handle);
  return ok;
}

}  // namespace

bool MendCaptureFile(const char* program, const char* path) {
  std::printf("== %s\n", path);
  CaptureHeader header{};
  win::HANDLE check = OpenCheckedCapture(program, path, &header);
  if (!win::IsValidHandle(check)) {
    std::printf("Not repaired: not one of this system's capture files\n");
    return false;
  }
  win::CloseHandle(check);
  win::HANDLE handle = win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                        win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(handle)) {
    std::fprintf(stderr, "%s: cannot open %s for writing (error %lu)\n", program, path,
                 static_cast<unsigned long>(win::GetLastError()));
    return false;
  }
  const bool processed = IsProcessedCaptureName(path);
  const std::size_t record_bytes = processed ? kProcessedRecordBytes : kRawRecordBytes;
  const std::size_t header_bytes = CaptureHeaderBytesOf(header);
  std::uint64_t size = 0;
  bool ok = FileSize(handle, &size);
  std::uint64_t records = ok ? (size - header_bytes) / record_bytes : 0;
  if (records > UINT32_MAX) records = UINT32_MAX;  // the most a header can count
  const std::uint64_t whole = header_bytes + records * record_bytes;
  if (ok && size > whole) {
    ok = CutTo(handle, whole);
    if (ok) {
      std::printf("Cut: %llu bytes of a partial record removed\n",
                  static_cast<unsigned long long>(size - whole));
    }
  }
  if (ok && records != header.num_samples) {
    unsigned char count[4];
    capture_bytes::EncodeLe32(static_cast<std::uint32_t>(records), count);
    win::OVERLAPPED at{};
    at.Offset = kSampleCountOffset;
    win::DWORD written = 0;
    ok = win::WriteFile(handle, count, sizeof count, &written, &at) != 0 && written == sizeof count;
    if (ok) {
      std::printf("Header count: %lu -> %llu\n", static_cast<unsigned long>(header.num_samples),
                  static_cast<unsigned long long>(records));
    }
  }
  if (ok) ok = win::FlushFileBuffers(handle) != 0;
  const win::DWORD error = win::GetLastError();
  win::CloseHandle(handle);
  if (!ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: mending %s failed (error %lu)\n", program, path,
                 static_cast<unsigned long>(error));
    return false;
  }
  char idx_path[1024];
  if (processed && BlockIndexPathFor(path, idx_path, sizeof idx_path)) {
    ok = RepairIndex(idx_path, records);
  }
  if (ok) {
    std::printf("Whole: %llu records, header count %llu\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(records));
  } else {
    std::printf("Not whole: %llu records, header count %llu; the block index is not mended\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(records));
  }
  return ok;
}
