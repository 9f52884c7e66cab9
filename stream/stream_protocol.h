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

// The server's greeting always says version 1, the base every reader knows;
// it names the highest version it speaks after its capture header. A reader
// greets in the highest version both speak. Version 2 adds the accept frame:
// the server says at once whether it took the reader (before it, a refused
// key came only at the first read).
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kHighestVersion = 2;

enum FrameType : std::uint32_t {
  kFrameGreeting = 1,
  kFrameReaderGreeting = 2,
  kFrameBlock = 3,
  kFrameEnd = 4,
  kFrameAccept = 5,  // version 2
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
inline constexpr std::size_t kAcceptMinPayload = 4;
inline constexpr std::size_t kAcceptMaxPayload = 64;
// The largest record a greeting may announce (a later version's records may
// grow; a reader keeps the first bytes it knows and skips the rest).
inline constexpr std::uint32_t kMaxRecordBytes = 4096;
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
  // The highest version the server speaks: 1 when the greeting does not say
  // (a server from before version 2, whose header had calibration_value
  // before the encoder fields, unlike the file).
  std::uint32_t max_version = kHighestVersion;
};

// The whole greeting frame (header included) into out[0..]; returns its size,
// or 0 when `capacity` is short.
std::size_t EncodeGreeting(const Greeting& greeting, std::uint8_t* out, std::size_t capacity);
// A greeting payload; null on success, else what was wrong. The header's
// cal_file comes with every byte that is not printable ASCII shown as '?'.
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
// A reader greeting payload (version 1 or 2); null on success, else what was
// wrong; *reason says which end reason fits (kEndProtocol or kEndVersion).
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

// A whole accept frame (version 2) naming the reader's number.
std::size_t EncodeAccept(std::uint32_t reader_number, std::uint8_t* out, std::size_t capacity);

// The payload size of a block frame of `count` samples, in 64 bits: with the
// largest records a greeting may announce it passes 4 GiB, which a 32-bit
// size_t would wrap.
std::uint64_t BlockPayloadBytes(const Greeting& greeting, bool raw, std::uint32_t count);
// The largest block payload a greeting allows (64 bits, as above).
std::uint64_t MaxBlockPayloadBytes(const Greeting& greeting, bool raw);

// Block record <-> its 64 little-endian bytes.
void PutBlockRecord(std::uint8_t* at, const scanmon_block& block);
void GetBlockRecord(const std::uint8_t* at, scanmon_block* block);

// Capture header <-> its 293 bytes, as a .prc file starts (capture.md).
// `file_order` false reads a server from before version 2, which sent
// calibration_value at 20 and the encoder fields at 24 and 28.
void PutCaptureHeader(std::uint8_t* at, const scanmon_capture_header& header);
void GetCaptureHeader(const std::uint8_t* at, scanmon_capture_header* header,
                      bool file_order = true);

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
  std::size_t limits_[6] = {};
};

// A reader's side of the stream: takes the server's bytes in pieces of any
// size and yields whole frames without holding a whole block frame. Small
// frames (greeting, end, accept) are kept whole; of a block frame it keeps
// the prefix, the block record's first 64 bytes and each record's first 64
// (processed) or 16 (raw) bytes, compacted into the caller's arrays, and
// skips the rest of larger records. Every length is checked, in 64 bits,
// before any byte of its frame is kept; after an error it stays broken.
class StreamDecoder {
 public:
  enum class Step { kNeedMore, kFrame, kError };

  // From the start: greeting and end frames.
  StreamDecoder() = default;
  // After the greeting: end frames, and block frames of `greeting` decoded
  // into samples[greeting.max_block_samples * 64] and (with raw)
  // raw_records[max_block_samples * 16]; with `accept_first` an accept frame
  // must come before any block frame.
  void StartBlocks(const Greeting& greeting, bool raw, std::uint8_t* samples,
                   std::uint8_t* raw_records, bool accept_first);

  // Takes bytes of data[0..bytes) up to the end of the next frame (*used
  // says how many). kFrame: the accessors below describe it until the next
  // call; kError: *error says what was wrong.
  Step Feed(const std::uint8_t* data, std::size_t bytes, std::size_t* used, const char** error);

  std::uint32_t type() const { return type_; }
  // A small frame's payload.
  const std::uint8_t* payload() const { return small_; }
  std::size_t payload_bytes() const { return length_; }
  // A block frame's prefix and record (its samples are in the arrays).
  std::uint64_t lost() const { return lost_; }
  std::uint64_t lost_blocks() const { return lost_blocks_; }
  const scanmon_block& block() const { return block_; }

 private:
  struct Region {
    std::uint64_t total;  // bytes of the frame it spans
    std::uint32_t size;   // bytes per record
    std::uint32_t keep;   // bytes kept of each record
    std::uint8_t* dest;   // where the kept bytes go, `keep` per record
  };
  enum class State { kHeader, kSmall, kFixed, kRegions, kBroken };
  Step Fail(const char* what, const char** error);
  bool RegionsDone();

  State state_ = State::kHeader;
  bool blocks_ = false;
  bool accept_first_ = false;
  Greeting greeting_;
  bool raw_ = false;
  std::uint8_t* samples_ = nullptr;
  std::uint8_t* raw_records_ = nullptr;
  std::uint8_t head_[kFrameHeaderBytes] = {};
  std::size_t head_fill_ = 0;
  std::uint32_t type_ = 0;
  std::uint32_t length_ = 0;
  std::uint64_t got_ = 0;
  std::uint8_t small_[kGreetingMaxPayload] = {};
  std::uint8_t fixed_[kBlockFixedBytes] = {};
  Region regions_[3] = {};
  int region_count_ = 0;
  int region_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t lost_ = 0;
  std::uint64_t lost_blocks_ = 0;
  scanmon_block block_{};
};

// "ADDRESS:PORT" or "ADDRESS" (then `default_port`): a dotted IPv4 address or
// "localhost", and a port 1..65535 (0 when `allow_port_zero`). The address in
// host order.
bool ParseAddress(const char* text, std::uint16_t default_port, bool allow_port_zero,
                  std::uint32_t* address, std::uint16_t* port);
bool IsLoopback(std::uint32_t address);

// Where a server listens: "HOST:PORT" or "HOST", HOST a dotted IPv4
// address, a host name, or an IPv6 address in brackets ("[::1]:7464"; bare,
// "::1", it takes the default port). The host without brackets into
// host[0..host_size), which must hold it; the port 1..65535 (0 when
// `allow_port_zero`). False for anything else.
bool SplitListenAddress(const char* text, std::uint16_t default_port, bool allow_port_zero,
                        char* host, std::size_t host_size, std::uint16_t* port);

}  // namespace stream
