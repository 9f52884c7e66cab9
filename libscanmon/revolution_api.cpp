// The revolution reader's C calls: a reader over any source, reading its blocks
// through the C interface (so the source's sample clock times them).
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "libscanmon/revolution_reader.h"
#include "libscanmon/source.h"
#include "scanmon/scanmon.h"

struct scanmon_revolution_reader {
  scanmon_source* source = nullptr;
  scanmon_lib::RevolutionReader reader;
};

namespace {

using scanmon_lib::ClearError;
using scanmon_lib::SetError;

constexpr std::uint32_t kMaxRevolutionSamples = 10000000;

std::mutex g_readers_mutex;
std::set<const scanmon_revolution_reader*>& Readers() {
  static std::set<const scanmon_revolution_reader*> readers;
  return readers;
}

bool IsOpen(const scanmon_revolution_reader* reader) {
  std::lock_guard<std::mutex> lock(g_readers_mutex);
  return reader != nullptr && Readers().count(reader) != 0;
}

class SourceFeed : public scanmon_lib::BlockFeed {
 public:
  explicit SourceFeed(scanmon_source* source) : source_(source) {}
  int Next(std::int32_t timeout_ms, scanmon_block* block, scanmon_block_times* times,
           scanmon_sample* samples, std::uint32_t capacity) override {
    // A block without samples moves no revolution on, and the source's clock
    // keeps the times of the block before it: taking those again would count
    // that block's missing samples twice.
    int status;
    do {
      status = scanmon_read_block(source_, timeout_ms, block, samples, nullptr, capacity);
      if (status != SCANMON_OK) return status;
    } while (block->count == 0);
    times->struct_size = sizeof *times;
    return scanmon_block_times_get(source_, times);
  }

 private:
  scanmon_source* source_;
};

}  // namespace

extern "C" {

int scanmon_revolution_options_init(scanmon_revolution_options* options) {
  ClearError();
  if (options == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_revolution_options_init: options is null");
  }
  *options = scanmon_revolution_options{};
  options->struct_size = sizeof *options;
  return SCANMON_OK;
}

int scanmon_open_revolutions(scanmon_source* source, const scanmon_revolution_options* options,
                             scanmon_revolution_reader** reader) {
  ClearError();
  if (reader == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_open_revolutions: reader is null");
  }
  *reader = nullptr;
  scanmon_revolution_options o{};
  scanmon_revolution_options_init(&o);
  if (options != nullptr) {
    if (options->struct_size != sizeof o) {
      return SetError(SCANMON_E_ARGUMENT,
                      "scanmon_open_revolutions: options' struct_size is not %u (fill it with "
                      "scanmon_revolution_options_init)",
                      static_cast<unsigned>(sizeof o));
    }
    o = *options;
  }
  if ((o.complete_only != 0 && o.complete_only != 1) || o.max_samples > kMaxRevolutionSamples) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_open_revolutions: complete_only must be 0 or 1, max_samples 0 to %u",
                    static_cast<unsigned>(kMaxRevolutionSamples));
  }
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  int status = scanmon_source_info_get(source, &info);
  if (status != SCANMON_OK) return status;  // a bad handle: the source call's text
  std::uint32_t max_samples = o.max_samples;
  if (max_samples == 0) {
    max_samples = info.sample_period_us > 0 ? 1000000u / info.sample_period_us : 200000u;
  }
  auto handle =
      std::unique_ptr<scanmon_revolution_reader>(new (std::nothrow) scanmon_revolution_reader);
  if (handle == nullptr ||
      !handle->reader.Open(max_samples, info.max_block_samples, o.complete_only != 0)) {
    return SetError(SCANMON_E_MEMORY,
                    "scanmon_open_revolutions: no memory for %u samples of a revolution",
                    static_cast<unsigned>(max_samples));
  }
  handle->source = source;
  std::lock_guard<std::mutex> lock(g_readers_mutex);
  Readers().insert(handle.get());
  *reader = handle.release();
  return SCANMON_OK;
}

int scanmon_read_revolution(scanmon_revolution_reader* reader, std::int32_t timeout_ms,
                            scanmon_revolution* revolution, scanmon_sample* samples,
                            std::uint32_t capacity) {
  ClearError();
  if (!IsOpen(reader)) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_read_revolution: the reader is null, closed or not one of this "
                    "library's");
  }
  if (revolution == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_read_revolution: revolution is null");
  }
  SourceFeed feed(reader->source);
  int status = reader->reader.Read(&feed, timeout_ms, revolution, samples, capacity);
  if (status == SCANMON_E_BUFFER) {
    return SetError(status,
                    "scanmon_read_revolution: the revolution holds %u samples, the buffer %u",
                    static_cast<unsigned>(revolution->count), static_cast<unsigned>(capacity));
  }
  if (status == SCANMON_END && scanmon_lib::LastError()[0] == '\0') {
    return SetError(status, "the source has no more revolutions");
  }
  return status;
}

int scanmon_close_revolutions(scanmon_revolution_reader* reader) {
  ClearError();
  if (reader == nullptr) return SCANMON_OK;
  {
    std::lock_guard<std::mutex> lock(g_readers_mutex);
    if (Readers().erase(reader) == 0) {
      return SetError(SCANMON_E_ARGUMENT,
                      "scanmon_close_revolutions: the reader is closed or not one of this "
                      "library's");
    }
  }
  delete reader;
  return SCANMON_OK;
}

}  // extern "C"
