// The scanmon stream's wire format (docs/stream.md): frames, their limits, and
// the encoders and parsers both ends share.
//
// Nothing here touches a socket: bytes in, checked values out. Every parser
// takes a length and checks it against the document's limits before it reads;
// on a failure it names what was wrong, for the end frame or the reader's
// error text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanmon/scanmon.h"

namespace stream {

inline constexpr std::uint32_t kVersion = 1;

enum FrameType : std::uint32_t {
  kFrameGreeting = 1,
  kFrameReaderGreeting = 2,
  kFrameBlock = 3,
  kFrameEnd = 4,
};

enum EndReason : std::uint32_t {
  kEndStopped = 1,
  kEndSourceEnded = 2,
  kEndSourceFailed = 3,
  kEndTooSlow = 4,
  kEndFull = 5,
  kEndKey = 6,
  kEndProtocol = 7,
  kEndGreetingTimeout = 8,
  kEndVersion = 9,
};

inline constexpr std::size_t kFrameHeaderBytes = 8;
inline constexpr std::size_t kGreetingMaxPayload = 4096;
inline constexpr std::size_t kReaderGreetingMaxPayload = 1024;
inline constexpr std::size_t kEndMaxText = 1024;
inline constexpr std::size_t kEndMaxPayload = 8 + kEndMaxText;
inline constexpr std::uint32_t kMaxBlockSamplesLimit = 1000000;
inline constexpr std::size_t kMaxKeyBytes = 256;

inline constexpr std::size_t kGreetingFixedBytes = 44;
inline constexpr std::size_t kReaderGreetingFixedBytes = 20;
inline constexpr std::size_t kCaptureHeaderWireBytes = 293;
inline constexpr std::size_t kBlockRecordBytes = 64;
inline constexpr std::size_t kSampleBytes = 64;
inline constexpr std::size_t kRawBytes = 16;
inline constexpr std::size_t kBlockPrefixBytes = 16;  // reader_lost, reader_lost_blocks
inline constexpr std::size_t kBlockFixedBytes = kBlockPrefixBytes + kBlockRecordBytes;

inline constexpr std::uint32_t kGreetingWantsKey = 0x1;
inline constexpr std::uint32_t kGreetingHasRaw = 0x2;
inline constexpr std::uint32_t kReaderWantsRaw = 0x1;

static_assert(sizeof(scanmon_block) == kBlockRecordBytes, "block record is 64 bytes");
static_assert(sizeof(scanmon_sample) == kSampleBytes, "processed sample is 64 bytes");
static_assert(sizeof(scanmon_raw_sample) == kRawBytes, "raw sample is 16 bytes");

// Little-endian access, whatever the host.
void PutU32(std::uint8_t* at, std::uint32_t value);
void PutU64(std::uint8_t* at, std::uint64_t value);
std::uint32_t GetU32(const std::uint8_t* at);
std::uint64_t GetU64(const std::uint8_t* at);

// The 8-byte frame header.
void PutFrameHeader(std::uint8_t* at, std::uint32_t type, std::uint32_t payload_bytes);

// What the server's greeting says.
struct Greeting {
  std::uint32_t version = kVersion;
  std::uint32_t flags = 0;
  std::uint32_t block_bytes = kBlockRecordBytes;
  std::uint32_t sample_bytes = kSampleBytes;
  std::uint32_t raw_bytes = kRawBytes;
  std::uint32_t max_block_samples = 0;
  std::uint32_t sample_period_us = 0;
  std::uint32_t source_kind = 0;
  scanmon_capture_header header{};  // struct_size set by the parser
};

// The whole greeting frame (header included) into out[0..]; returns its size,
// or 0 when `capacity` is short.
std::size_t EncodeGreeting(const Greeting& greeting, std::uint8_t* out, std::size_t capacity);
// A greeting payload; null on success, else what was wrong.
const char* ParseGreeting(const std::uint8_t* payload, std::size_t bytes, Greeting* out);

// What a reader asks for.
struct ReaderGreeting {
  std::uint32_t version = kVersion;
  std::uint32_t flags = 0;
  std::uint32_t key_bytes = 0;
  std::uint8_t key[kMaxKeyBytes] = {};
};

std::size_t EncodeReaderGreeting(const ReaderGreeting& greeting, std::uint8_t* out,
                                 std::size_t capacity);
// A reader greeting payload; null on success, else what was wrong; *reason
// says which end reason fits (kEndProtocol or kEndVersion).
const char* ParseReaderGreeting(const std::uint8_t* payload, std::size_t bytes, ReaderGreeting* out,
                                std::uint32_t* reason);

// A whole end frame with `text` cut to kEndMaxText; returns its size (0 when
// `capacity` is short).
std::size_t EncodeEnd(std::uint32_t reason, const char* text, std::uint8_t* out,
                      std::size_t capacity);
// An end payload: the reason and the text (NUL-terminated into text[0..text_size),
// every byte that is not printable ASCII shown as '?').
const char* ParseEnd(const std::uint8_t* payload, std::size_t bytes, std::uint32_t* reason,
                     char* text, std::size_t text_size);
// "the server was stopped" etc.: the reason in a few words (static).
const char* EndReasonName(std::uint32_t reason);

// The payload size of a block frame of `count` samples.
std::size_t BlockPayloadBytes(const Greeting& greeting, bool raw, std::uint32_t count);
// The largest frame (header included) a greeting allows.
std::size_t MaxBlockFrameBytes(const Greeting& greeting, bool raw);

// A block payload, checked against the greeting: its prefix and block record
// into *lost, *lost_blocks and *block; *samples and *raw point into the
// payload (raw null when not asked).
const char* ParseBlock(const std::uint8_t* payload, std::size_t bytes, const Greeting& greeting,
                       bool raw, std::uint64_t* lost, std::uint64_t* lost_blocks,
                       scanmon_block* block, const std::uint8_t** samples,
                       const std::uint8_t** raw_records);

// Block record <-> its 64 little-endian bytes.
void PutBlockRecord(std::uint8_t* at, const scanmon_block& block);
void GetBlockRecord(const std::uint8_t* at, scanmon_block* block);

// Capture header <-> its 293 bytes, as a .prc file starts.
void PutCaptureHeader(std::uint8_t* at, const scanmon_capture_header& header);
void GetCaptureHeader(const std::uint8_t* at, scanmon_capture_header* header);

// Gathers the frames of a byte stream: the caller receives into Space() and
// Commit()s what came; Next() then yields whole frames, each checked against
// the limit for its type before its payload is waited for. The buffer is the
// caller's, sized for the largest frame it accepts.
class FrameReader {
 public:
  enum class Step { kNeedMore, kFrame, kError };
  FrameReader(std::uint8_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  // The largest payload accepted for each type (0: the type is refused).
  void SetLimit(std::uint32_t type, std::size_t max_payload);

  std::uint8_t* Space() { return buffer_ + filled_; }
  std::size_t SpaceBytes() const { return capacity_ - filled_; }
  void Commit(std::size_t bytes) { filled_ += bytes; }

  // kFrame: *type, *payload and *bytes are the next frame's, valid until the
  // next call; kError: *error says what was wrong (the stream is unusable).
  Step Next(std::uint32_t* type, const std::uint8_t** payload, std::size_t* bytes,
            const char** error);

 private:
  std::uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t filled_ = 0;
  std::size_t consumed_ = 0;  // bytes of the previous frame, dropped at the next call
  std::size_t limits_[5] = {};
};

// "ADDRESS:PORT" or "ADDRESS" (then `default_port`): a dotted IPv4 address or
// "localhost", and a port 1..65535 (0 when `allow_port_zero`). The address in
// host order.
bool ParseAddress(const char* text, std::uint16_t default_port, bool allow_port_zero,
                  std::uint32_t* address, std::uint16_t* port);
bool IsLoopback(std::uint32_t address);

}  // namespace stream
