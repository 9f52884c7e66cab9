// scanmon: a small header-only C++ layer on the C interface (scanmon.h).
//
// scanmon::Source owns a source (closed by its destructor, on every path);
// every call returns a scanmon::Result, which is true when the call succeeded
// and otherwise carries the status code and the library's text, as our own
// programs report failures: no exceptions. scanmon::Block owns buffers sized
// once for the source's largest block, so a loop of reads allocates nothing.
//
//   scanmon::Source source;
//   scanmon::Result r = scanmon::Source::OpenCapture("scan01", &source);
//   if (!r) { std::fprintf(stderr, "%s\n", r.text.c_str()); return 1; }
//   scanmon::Block block;
//   while ((r = source.Read(&block, 1000))) { ... block.record, block.samples ... }
//   if (r.status != SCANMON_END) ...
//
// Revolutions (from index mark to index mark) the same way:
//
//   scanmon::RevolutionReader reader;
//   r = scanmon::RevolutionReader::Open(source, &reader, /*complete_only=*/true);
//   scanmon::Revolution turn;
//   while ((r = reader.Read(&turn, 1000))) { ... turn.record.rate_hz, turn.samples ... }
//
// The same thread rules as the C interface: a Source (and its revolution
// reader) is used by one thread at a time.
#ifndef SCANMON_SCANMON_HPP
#define SCANMON_SCANMON_HPP

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "scanmon/scanmon.h"

namespace scanmon {

// The outcome of a call: the status code and, after a failure, the library's
// text naming what failed.
struct Result {
  int status = SCANMON_OK;
  std::string text;

  explicit operator bool() const { return status == SCANMON_OK; }
  const char* name() const { return scanmon_status_name(status); }

  // The result of a C call just made on this thread.
  static Result Of(int status) {
    Result r;
    r.status = status;
    if (status != SCANMON_OK) r.text = scanmon_last_error();
    return r;
  }
};

// One block and its samples, in buffers the block owns.
struct Block {
  scanmon_block record{};
  std::vector<scanmon_sample> samples;  // record.count of them are this block's
  std::vector<scanmon_raw_sample> raw;  // when the source keeps raw records
  std::uint32_t count() const { return record.count; }
};

class Source {
 public:
  Source() = default;
  ~Source() { Close(); }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  Source(Source&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Source& operator=(Source&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  // Opens the scanner with `settings` (see scanmon_open_scanner). *out is
  // closed first.
  static Result OpenScanner(const scanmon_scanner_settings& settings, Source* out) {
    out->Close();
    return Result::Of(scanmon_open_scanner(&settings, &out->handle_));
  }
  // Opens the scanner with a capture configuration file's settings.
  static Result OpenScannerFromConfig(const std::string& path, Source* out) {
    scanmon_scanner_settings settings;
    Result r = Result::Of(scanmon_settings_from_config(path.c_str(), &settings));
    return r ? OpenScanner(settings, out) : r;
  }
  // Opens the scanner with a properties file's settings.
  static Result OpenScannerFromProperties(const std::string& path, Source* out) {
    scanmon_scanner_settings settings;
    Result r = Result::Of(scanmon_settings_from_properties(path.c_str(), &settings));
    return r ? OpenScanner(settings, out) : r;
  }
  // Opens a recorded capture (`options` null: the defaults).
  static Result OpenCapture(const std::string& base, Source* out,
                            const scanmon_capture_options* options = nullptr) {
    out->Close();
    return Result::Of(scanmon_open_capture(base.c_str(), options, &out->handle_));
  }

  // Connects to a scanmon-serve server (`options` null: the defaults).
  static Result OpenRemote(const std::string& address, std::uint16_t port, Source* out,
                           const scanmon_remote_options* options = nullptr) {
    out->Close();
    return Result::Of(scanmon_open_remote(address.c_str(), port, options, &out->handle_));
  }

  bool is_open() const { return handle_ != nullptr; }
  scanmon_source* handle() const { return handle_; }

  // Closes the source (motors off, line and card released); nothing when it
  // is not open.
  Result Close() {
    scanmon_source* handle = std::exchange(handle_, nullptr);
    return handle == nullptr ? Result{} : Result::Of(scanmon_close(handle));
  }

  // The next block into *block, whose buffers are sized here the first time
  // (for the source's largest block). SCANMON_TIMEOUT and SCANMON_END come
  // back as results like any other.
  Result Read(Block* block, std::int32_t timeout_ms = -1) {
    if (block->samples.empty()) {
      scanmon_source_info info{};
      Result r = Info(&info);
      if (!r) return r;
      const std::size_t size = info.max_block_samples > 0 ? info.max_block_samples : 1;
      block->samples.resize(size);
      if (info.has_raw) block->raw.resize(size);
    }
    return Result::Of(scanmon_read_block(handle_, timeout_ms, &block->record, block->samples.data(),
                                         block->raw.empty() ? nullptr : block->raw.data(),
                                         static_cast<std::uint32_t>(block->samples.size())));
  }

  // Reads blocks and hands each to `visit` (bool visit(const Block&): false
  // stops) until the end, a failure or a stop. Returns SCANMON_END's result
  // at the end of a capture, SCANMON_OK when `visit` stopped.
  template <class Visit>
  Result ForEachBlock(Visit&& visit, std::int32_t timeout_ms = -1) {
    Block block;
    for (;;) {
      Result r = Read(&block, timeout_ms);
      if (r.status == SCANMON_TIMEOUT) continue;
      if (!r) return r;
      if (!visit(static_cast<const Block&>(block))) return Result{};
    }
  }

  Result Info(scanmon_source_info* info) const {
    info->struct_size = sizeof *info;
    return Result::Of(scanmon_source_info_get(handle_, info));
  }
  Result Health(scanmon_health* health) const {
    health->struct_size = sizeof *health;
    return Result::Of(scanmon_health_get(handle_, health));
  }
  Result Header(scanmon_capture_header* header) const {
    header->struct_size = sizeof *header;
    return Result::Of(scanmon_capture_header_get(handle_, header));
  }
  // The sample clock's times of the last block read (scanmon_block_times_get).
  Result BlockTimes(scanmon_block_times* times) const {
    times->struct_size = sizeof *times;
    return Result::Of(scanmon_block_times_get(handle_, times));
  }

  // The field map naming the driver's bytes (docs/fields.md): a capture has
  // its <base>.fields already; LoadFields gives any source one ("" for none).
  Result LoadFields(const std::string& path) {
    return Result::Of(scanmon_fields_load(handle_, path.empty() ? nullptr : path.c_str()));
  }
  // A field's index by name, for Field's fast form.
  Result FindField(const std::string& name, std::uint32_t* index) const {
    return Result::Of(scanmon_field_find(handle_, name.c_str(), index));
  }
  // The field's value in a sample (stored number x scale).
  Result Field(std::uint32_t index, const scanmon_sample& sample, double* value) const {
    return Result::Of(scanmon_field_value(handle_, index, &sample, value));
  }
  Result Field(const std::string& name, const scanmon_sample& sample, double* value) const {
    return Result::Of(scanmon_field_get(handle_, name.c_str(), &sample, value));
  }

 private:
  scanmon_source* handle_ = nullptr;
};

// One revolution of the scan mirror and its samples, in a buffer it owns: it
// grows to the largest revolution read (at most the reader's bound), so a
// loop of reads allocates only while revolutions get longer.
struct Revolution {
  scanmon_revolution record{};
  std::vector<scanmon_sample> samples;  // record.count of them are this revolution's
  std::uint32_t count() const { return record.count; }
  bool complete() const { return record.flags == 0; }
};

// A revolution reader over an open source (scanmon_open_revolutions): owns
// the reader (closed by its destructor), not the source, which must outlive
// it; read no blocks from the source while it is open.
class RevolutionReader {
 public:
  RevolutionReader() = default;
  ~RevolutionReader() { Close(); }
  RevolutionReader(const RevolutionReader&) = delete;
  RevolutionReader& operator=(const RevolutionReader&) = delete;
  RevolutionReader(RevolutionReader&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)) {}
  RevolutionReader& operator=(RevolutionReader&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  // Opens a reader of `source`'s revolutions: complete ones only, or all with
  // their flags; max_samples bounds one without an index mark (0: one second
  // of samples). *out is closed first.
  static Result Open(const Source& source, RevolutionReader* out, bool complete_only = false,
                     std::uint32_t max_samples = 0) {
    out->Close();
    scanmon_revolution_options options;
    scanmon_revolution_options_init(&options);
    options.complete_only = complete_only ? 1 : 0;
    options.max_samples = max_samples;
    return Result::Of(scanmon_open_revolutions(source.handle(), &options, &out->handle_));
  }

  bool is_open() const { return handle_ != nullptr; }

  // The next revolution into *revolution, its buffer grown when it is too
  // small. SCANMON_TIMEOUT and SCANMON_END (after a capture's last, cut,
  // revolution) come back as results like any other.
  Result Read(Revolution* revolution, std::int32_t timeout_ms = -1) {
    revolution->record.struct_size = sizeof revolution->record;
    // (A null buffer asks for no samples: one of at least one sample always.)
    if (revolution->samples.empty()) revolution->samples.resize(1);
    for (;;) {
      const int status = scanmon_read_revolution(
          handle_, timeout_ms, &revolution->record, revolution->samples.data(),
          static_cast<std::uint32_t>(revolution->samples.size()));
      if (status != SCANMON_E_BUFFER) return Result::Of(status);
      // The revolution stays the next one: room for it and a little more.
      const std::size_t count = revolution->record.count;
      revolution->samples.resize(count + count / 8 + 1);
    }
  }

  // Reads revolutions and hands each to `visit` (bool visit(const
  // Revolution&): false stops) until the end, a failure or a stop; as
  // Source::ForEachBlock.
  template <class Visit>
  Result ForEachRevolution(Visit&& visit, std::int32_t timeout_ms = -1) {
    Revolution revolution;
    for (;;) {
      Result r = Read(&revolution, timeout_ms);
      if (r.status == SCANMON_TIMEOUT) continue;
      if (!r) return r;
      if (!visit(static_cast<const Revolution&>(revolution))) return Result{};
    }
  }

  // Closes the reader (not its source); nothing when it is not open.
  Result Close() {
    scanmon_revolution_reader* handle = std::exchange(handle_, nullptr);
    return handle == nullptr ? Result{} : Result::Of(scanmon_close_revolutions(handle));
  }

 private:
  scanmon_revolution_reader* handle_ = nullptr;
};

// Default settings for a scanner (scanmon_scanner_settings_init).
inline scanmon_scanner_settings DefaultScannerSettings() {
  scanmon_scanner_settings settings;
  scanmon_scanner_settings_init(&settings);
  return settings;
}

// Default options for reading a server (scanmon_remote_options_init).
inline scanmon_remote_options DefaultRemoteOptions() {
  scanmon_remote_options options;
  scanmon_remote_options_init(&options);
  return options;
}

// Default options for reading a capture (scanmon_capture_options_init).
inline scanmon_capture_options DefaultCaptureOptions() {
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  return options;
}

}  // namespace scanmon

#endif  // SCANMON_SCANMON_HPP
