// The remote source's decoder of what a server sends: the greeting first
// (its limits), then accept, block and end frames with the limits the
// greeting sets, fed in pieces whose sizes the input's first byte picks.
// Every payload through its parser; the decoder's arrays are sized as the
// remote source sizes them, so a write past them is an ASan report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "stream/stream_protocol.h"

namespace {

// A greeting's announced block size is capped for the fuzzer's memory.
constexpr std::uint32_t kMostSamples = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  ++data;
  --size;
  stream::StreamDecoder decoder;
  std::unique_ptr<std::uint8_t[]> samples;
  std::unique_ptr<std::uint8_t[]> raw_records;
  char text[stream::kEndMaxText + 1];
  for (std::size_t at = 0; at < size;) {
    const std::size_t n = size - at < piece ? size - at : piece;
    std::size_t used = 0;
    const char* error = nullptr;
    const auto step = decoder.Feed(data + at, n, &used, &error);
    if (used > n) __builtin_trap();
    at += used;
    if (step == stream::StreamDecoder::Step::kError) return 0;
    if (step == stream::StreamDecoder::Step::kNeedMore) {
      if (used != n) __builtin_trap();
      continue;
    }
    std::uint32_t reason = 0;
    if (decoder.type() == stream::kFrameEnd) {
      stream::ParseEnd(decoder.payload(), decoder.payload_bytes(), &reason, text, sizeof text);
      return 0;
    }
    if (decoder.type() == stream::kFrameGreeting) {
      stream::Greeting greeting;
      if (stream::ParseGreeting(decoder.payload(), decoder.payload_bytes(), &greeting) != nullptr) {
        return 0;
      }
      if (greeting.max_block_samples > kMostSamples) return 0;
      const bool raw = (greeting.flags & stream::kGreetingHasRaw) != 0;
      samples.reset(new std::uint8_t[greeting.max_block_samples * stream::kSampleBytes]);
      if (raw) raw_records.reset(new std::uint8_t[greeting.max_block_samples * stream::kRawBytes]);
      decoder.StartBlocks(greeting, raw, samples.get(), raw_records.get(),
                          greeting.max_version >= 2);
    }
  }
  return 0;
}
