#include "libscanmon/capture_records.h"

#include <algorithm>

#include "hsif/driver_records.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace scanmon_lib {

void CaptureRecordReader::Start(win::HANDLE handle, std::size_t record_bytes, void* buffer,
                                std::size_t buffer_bytes, HealthState* health,
                                double sample_period_us, HealthBreaks breaks) {
  handle_ = handle;
  record_bytes_ = record_bytes;
  buffer_ = static_cast<unsigned char*>(buffer);
  buffer_records_ = buffer != nullptr ? buffer_bytes / record_bytes : 0;
  health_ = health;
  period_us_ = sample_period_us;
  breaks_ = breaks;
  data_bytes_ = 0;
  records_ = 0;
  partial_bytes_ = 0;
  lost_flags_ = 0;
  error_ = win::ERROR_SUCCESS;
  // The first gap is asked for at record 0.
  next_gap_ = 0;
  if (breaks_.gaps.next != nullptr && !breaks_.gaps.next(breaks_.gaps.context, &next_gap_)) {
    next_gap_ = UINT64_MAX;
  }
}

// Reads until `bytes` are in or the file ends; false when a read fails.
bool CaptureRecordReader::Fill(unsigned char* to, std::size_t bytes, std::size_t* have) {
  *have = 0;
  while (*have < bytes) {
    const std::size_t step = std::min<std::size_t>(bytes - *have, std::size_t{1} << 30);
    win::DWORD got = 0;
    if (win::ReadFile(handle_, to + *have, static_cast<win::DWORD>(step), &got, nullptr) == 0) {
      error_ = win::GetLastError();
      return false;
    }
    if (got == 0) break;
    *have += got;
  }
  return true;
}

bool CaptureRecordReader::Read(void* out, std::uint64_t count, bool lost, std::uint64_t* got) {
  *got = 0;
  auto* into = static_cast<unsigned char*>(out);
  bool ok = true;
  bool first = true;
  do {
    // Into the caller's records whole, or a buffer's worth at a time.
    unsigned char* to = into != nullptr ? into + *got * record_bytes_ : buffer_;
    const std::uint64_t want =
        into != nullptr ? count : std::min<std::uint64_t>(count, buffer_records_);
    std::size_t have = 0;
    ok = Fill(to, static_cast<std::size_t>(want) * record_bytes_, &have);
    const std::size_t whole = have / record_bytes_;
    data_bytes_ += have;
    if (health_ != nullptr) Feed(to, whole, lost && first);
    first = false;
    records_ += whole;
    *got += whole;
    count -= whole;
    partial_bytes_ = have - whole * record_bytes_;
    if (!ok || whole < want || want == 0) break;
  } while (count > 0);
  return ok;
}

// Feeds `count` processed records, the first being record number records_, to
// the health figures, breaking the mark spacing at each gap: the source's, or
// without one (when asked) after each record carrying the lost-data flag.
void CaptureRecordReader::Feed(const unsigned char* bytes, std::size_t count, bool lost) {
  const auto* records = reinterpret_cast<const ProcessedSample*>(bytes);
  HealthState& health = *health_;
  const std::uint64_t first = records_;
  for (std::size_t i = 0; i < count; ++i) {
    if ((records[i].flags & kProcessedLostDataFlag) != 0) ++lost_flags_;
  }
  std::size_t start = 0;
  if (breaks_.gaps.next != nullptr) {
    while (start < count) {
      // Gaps at or before the first record fed here break before it.
      std::uint64_t here = first + start;
      if (next_gap_ <= here) {
        if (next_gap_ == here) NoteHealthGap(health);
        if (!breaks_.gaps.next(breaks_.gaps.context, &next_gap_)) next_gap_ = UINT64_MAX;
        continue;
      }
      std::uint64_t until = next_gap_ - first;
      std::size_t end = until < count ? static_cast<std::size_t>(until) : count;
      FeedHealth(health, records + start, static_cast<std::uint32_t>(end - start), lost, period_us_,
                 now_s_);
      lost = false;
      start = end;
    }
    return;
  }
  if (!breaks_.after_lost_flags) {
    FeedHealth(health, records, static_cast<std::uint32_t>(count), lost, period_us_, now_s_);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if ((records[i].flags & kProcessedLostDataFlag) == 0) continue;
    FeedHealth(health, records + start, static_cast<std::uint32_t>(i + 1 - start), lost, period_us_,
               now_s_);
    lost = false;
    NoteHealthGap(health);
    start = i + 1;
  }
  if (start < count) {
    FeedHealth(health, records + start, static_cast<std::uint32_t>(count - start), lost, period_us_,
               now_s_);
  }
}

}  // namespace scanmon_lib
