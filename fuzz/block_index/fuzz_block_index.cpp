// Feeds any bytes to the block index readers as BASE.idx beside a small whole
// capture BASE.prc (written once, in a folder of its own): the index reader
// with the order check (what capture-info reads through), then the capture
// library, which opens it, and when it accepts it reads it looped for more
// blocks than a pass holds. Checked: the reader's counts add up to the file's
// bytes; the library accepts exactly the indexes whose blocks are in order,
// reads no block past the records, and its looped times never run back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/block_index.h"
#include "scanmon/scanmon.h"

namespace {

constexpr std::uint32_t kRecords = 64;

void PutLe(std::string* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
}

// A version-3 capture of kRecords records, 20 us, fetches of 16.
std::string MakeCapture() {
  char folder[] = "/tmp/fuzz_block_index.XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  const std::string base = std::string(folder) + "/cap";
  std::string prc;
  for (std::uint32_t v : {3u, 20u, 1200u, 16u, kRecords, 4096u, 200u, 0u}) PutLe(&prc, v, 4);
  prc += std::string("\xc8\x64\x01\x00", 4);
  std::string name = "ar4000_demo.cal";
  name.resize(256, '\0');
  prc += name;
  prc.push_back(1);
  prc += std::string(kRecords * 64, '\0');
  WriteFile(base + ".prc", prc.data(), prc.size());
  return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string base = MakeCapture();
  static const std::string idx = base + ".idx";
  WriteFile(idx, data, size);

  // The shared reader and its verdict.
  static BlockIndexReader reader;
  BlockOrderCheck order;
  bool in_order = false;
  if (reader.Open(idx.c_str())) {
    BlockRecord record{};
    in_order = true;
    while (reader.Next(&record)) in_order = order.Take(record) && in_order;
    if (reader.read_failed()) std::abort();
    const std::uint64_t read =
        reader.header_size() + reader.records() * reader.record_size() + reader.partial_bytes();
    if (read != size || reader.partial_bytes() >= reader.record_size()) std::abort();
    char why[256];
    order.Describe(why, sizeof why);
    if (std::memchr(why, '\0', sizeof why) == nullptr) std::abort();
  }
  reader.Close();

  // The library: the same verdict, then the blocks within the records.
  scanmon_capture_options options;
  scanmon_capture_options_init(&options);
  options.loop = 1;
  scanmon_source* source = nullptr;
  const int opened = scanmon_open_capture(base.c_str(), &options, &source);
  if (opened == SCANMON_OK && !in_order) std::abort();
  if (opened != SCANMON_OK) {
    // Blocks in order are refused only when a pass with one block's spacing
    // more would span more than a clock holds.
    if (in_order && std::strstr(scanmon_last_error(), "span more than a clock") == nullptr) {
      std::abort();
    }
    return 0;
  }
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  if (scanmon_source_info_get(source, &info) != SCANMON_OK || info.records != kRecords) {
    std::abort();
  }
  static scanmon_sample samples[kMaxBlockSamples];
  scanmon_block block{}, previous{};
  for (int i = 0; i < 3 * 64 + 2; ++i) {
    const int status = scanmon_read_block(source, 0, &block, samples, nullptr, kMaxBlockSamples);
    if (status == SCANMON_END) break;  // no block within the records: nothing to loop
    if (status == SCANMON_E_FORMAT) {
      // Only the looped times may run out of a clock's range.
      if (std::strstr(scanmon_last_error(), "looped") == nullptr) std::abort();
      if (scanmon_read_block(source, 0, &block, samples, nullptr, kMaxBlockSamples) != status) {
        std::abort();  // a failure stays
      }
      break;
    }
    if (status != SCANMON_OK) std::abort();
    if (block.count > info.max_block_samples) std::abort();
    if (i > 0 && block.mono_ns < previous.mono_ns) std::abort();
    if (block.first_record % kRecords + block.count > kRecords) std::abort();
    previous = block;
  }
  scanmon_close(source);
  return 0;
}
