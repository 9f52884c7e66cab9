// The remote source's parsers of what a server sends: the greeting first
// (its limits), then block and end frames with the limits the greeting sets,
// each payload through its parser, every sample pointer checked to lie in the
// payload.
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
  std::uint8_t small[stream::kFrameHeaderBytes + stream::kGreetingMaxPayload];
  stream::FrameReader greeting_reader(small, sizeof small);
  greeting_reader.SetLimit(stream::kFrameGreeting, stream::kGreetingMaxPayload);
  greeting_reader.SetLimit(stream::kFrameEnd, stream::kEndMaxPayload);
  const std::size_t first = size < sizeof small ? size : sizeof small;
  std::memcpy(greeting_reader.Space(), data, first);
  greeting_reader.Commit(first);
  std::uint32_t type = 0;
  const std::uint8_t* payload = nullptr;
  std::size_t bytes = 0;
  const char* error = nullptr;
  if (greeting_reader.Next(&type, &payload, &bytes, &error) != stream::FrameReader::Step::kFrame) {
    return 0;
  }
  char text[stream::kEndMaxText + 1];
  std::uint32_t reason = 0;
  if (type == stream::kFrameEnd) {
    stream::ParseEnd(payload, bytes, &reason, text, sizeof text);
    return 0;
  }
  stream::Greeting greeting;
  if (stream::ParseGreeting(payload, bytes, &greeting) != nullptr) return 0;
  if (greeting.max_block_samples > kMostSamples || greeting.sample_bytes > 256 ||
      greeting.raw_bytes > 256 || greeting.block_bytes > 256) {
    return 0;
  }
  const bool raw = (greeting.flags & stream::kGreetingHasRaw) != 0;
  const std::size_t capacity = stream::MaxBlockFrameBytes(greeting, raw);
  std::unique_ptr<std::uint8_t[]> big(new std::uint8_t[capacity]);
  stream::FrameReader reader(big.get(), capacity);
  reader.SetLimit(stream::kFrameBlock, capacity - stream::kFrameHeaderBytes);
  reader.SetLimit(stream::kFrameEnd, stream::kEndMaxPayload);
  std::size_t at = stream::kFrameHeaderBytes + bytes;
  while (at < size) {
    std::size_t n = size - at < reader.SpaceBytes() ? size - at : reader.SpaceBytes();
    if (n == 0) return 0;
    std::memcpy(reader.Space(), data + at, n);
    reader.Commit(n);
    at += n;
    for (;;) {
      const auto step = reader.Next(&type, &payload, &bytes, &error);
      if (step == stream::FrameReader::Step::kError) return 0;
      if (step == stream::FrameReader::Step::kNeedMore) break;
      if (type == stream::kFrameEnd) {
        stream::ParseEnd(payload, bytes, &reason, text, sizeof text);
        continue;
      }
      std::uint64_t lost = 0, lost_blocks = 0;
      scanmon_block block;
      const std::uint8_t* samples = nullptr;
      const std::uint8_t* raw_records = nullptr;
      if (stream::ParseBlock(payload, bytes, greeting, raw, &lost, &lost_blocks, &block, &samples,
                             &raw_records) == nullptr) {
        const std::uint8_t* end = payload + bytes;
        const std::uint8_t* last =
            (raw ? raw_records + std::size_t{block.count} * greeting.raw_bytes
                 : samples + std::size_t{block.count} * greeting.sample_bytes);
        if (last != end) __builtin_trap();
      }
    }
  }
  return 0;
}
