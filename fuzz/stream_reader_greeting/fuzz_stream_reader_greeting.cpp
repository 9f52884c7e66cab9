// The server's parser of what a reader sends: bytes in pieces of any size into
// the frame gatherer with the server's limits, each frame through the greeting
// parser, and every greeting accepted encoded again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "stream/stream_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t buffer[stream::kFrameHeaderBytes + stream::kReaderGreetingMaxPayload];
  stream::FrameReader reader(buffer, sizeof buffer);
  reader.SetLimit(stream::kFrameReaderGreeting, stream::kReaderGreetingMaxPayload);
  // The first byte chooses the piece size, as the network would.
  const std::size_t piece = size > 0 ? 1 + data[0] % 64 : 1;
  std::size_t at = size > 0 ? 1 : 0;
  while (at < size) {
    std::size_t n = size - at < piece ? size - at : piece;
    if (n > reader.SpaceBytes()) n = reader.SpaceBytes();
    if (n == 0) return 0;
    std::memcpy(reader.Space(), data + at, n);
    reader.Commit(n);
    at += n;
    std::uint32_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t bytes = 0;
    const char* error = nullptr;
    for (;;) {
      const auto step = reader.Next(&type, &payload, &bytes, &error);
      if (step == stream::FrameReader::Step::kError) return 0;
      if (step == stream::FrameReader::Step::kNeedMore) break;
      stream::ReaderGreeting greeting;
      std::uint32_t reason = 0;
      if (stream::ParseReaderGreeting(payload, bytes, &greeting, &reason) == nullptr) {
        std::uint8_t again[stream::kFrameHeaderBytes + stream::kReaderGreetingMaxPayload];
        const std::size_t n2 = stream::EncodeReaderGreeting(greeting, again, sizeof again);
        if (n2 != stream::kFrameHeaderBytes + bytes ||
            std::memcmp(again + stream::kFrameHeaderBytes, payload, bytes) != 0) {
          __builtin_trap();
        }
      }
    }
  }
  return 0;
}
