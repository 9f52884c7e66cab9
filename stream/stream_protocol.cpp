// The scanmon stream's wire format: see stream_protocol.h and docs/stream.md.
#include "stream/stream_protocol.h"

#include <cstring>

namespace stream {

namespace {

constexpr char kServerMagic[8] = {'S', 'C', 'A', 'N', 'M', 'S', 'R', 'V'};
constexpr char kReaderMagic[8] = {'S', 'C', 'A', 'N', 'M', 'R', 'D', 'R'};

void PutI32(std::uint8_t* at, std::int32_t value) {
  PutU32(at, static_cast<std::uint32_t>(value));
}
std::int32_t GetI32(const std::uint8_t* at) {
  return static_cast<std::int32_t>(GetU32(at));
}

}  // namespace

void PutU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutU64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::uint64_t GetU64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

void PutFrameHeader(std::uint8_t* at, std::uint32_t type, std::uint32_t payload_bytes) {
  PutU32(at, type);
  PutU32(at + 4, payload_bytes);
}

void PutCaptureHeader(std::uint8_t* at, const scanmon_capture_header& h) {
  PutU32(at + 0, h.version);
  PutU32(at + 4, h.sample_period_us);
  PutU32(at + 8, h.max_range_in);
  PutU32(at + 12, h.buf_size);
  PutU32(at + 16, h.num_samples);
  PutI32(at + 20, h.motor1_encoder_ppr);
  PutI32(at + 24, h.motor2_encoder_ppr);
  PutI32(at + 28, h.calibration_value);
  at[32] = static_cast<std::uint8_t>(h.motor1_power);
  at[33] = static_cast<std::uint8_t>(h.motor2_power);
  at[34] = static_cast<std::uint8_t>(h.com_port);
  at[35] = static_cast<std::uint8_t>(h.card_number);
  std::memcpy(at + 36, h.cal_file, SCANMON_PATH_BYTES);
  at[36 + SCANMON_PATH_BYTES - 1] = 0;
  at[292] = static_cast<std::uint8_t>(h.sensor_model);
}

void GetCaptureHeader(const std::uint8_t* at, scanmon_capture_header* h, bool file_order) {
  std::memset(h, 0, sizeof *h);
  h->struct_size = sizeof *h;
  h->version = GetU32(at + 0);
  h->sample_period_us = GetU32(at + 4);
  h->max_range_in = GetU32(at + 8);
  h->buf_size = GetU32(at + 12);
  h->num_samples = GetU32(at + 16);
  h->motor1_encoder_ppr = GetI32(at + (file_order ? 20 : 24));
  h->motor2_encoder_ppr = GetI32(at + (file_order ? 24 : 28));
  h->calibration_value = GetI32(at + (file_order ? 28 : 20));
  h->motor1_power = at[32];
  h->motor2_power = at[33];
  h->com_port = at[34];
  h->card_number = at[35];
  std::memcpy(h->cal_file, at + 36, SCANMON_PATH_BYTES);
  h->cal_file[SCANMON_PATH_BYTES - 1] = '\0';
  h->sensor_model = at[292];
}

void PutBlockRecord(std::uint8_t* at, const scanmon_block& b) {
  PutU64(at + 0, b.sequence);
  PutU64(at + 8, b.first_sample);
  PutU64(at + 16, b.first_record);
  PutU32(at + 24, b.count);
  PutU32(at + 28, b.flags);
  PutU64(at + 32, b.dropped_before);
  PutU64(at + 40, static_cast<std::uint64_t>(b.utc_ns));
  PutU64(at + 48, static_cast<std::uint64_t>(b.mono_ns));
  PutU64(at + 56, 0);
}

void GetBlockRecord(const std::uint8_t* at, scanmon_block* b) {
  b->sequence = GetU64(at + 0);
  b->first_sample = GetU64(at + 8);
  b->first_record = GetU64(at + 16);
  b->count = GetU32(at + 24);
  b->flags = GetU32(at + 28);
  b->dropped_before = GetU64(at + 32);
  b->utc_ns = static_cast<std::int64_t>(GetU64(at + 40));
  b->mono_ns = static_cast<std::int64_t>(GetU64(at + 48));
  b->reserved = 0;
}

std::size_t EncodeGreeting(const Greeting& g, std::uint8_t* out, std::size_t capacity) {
  const std::size_t payload = kGreetingFixedBytes + kCaptureHeaderWireBytes + 4;
  if (capacity < kFrameHeaderBytes + payload) return 0;
  PutFrameHeader(out, kFrameGreeting, static_cast<std::uint32_t>(payload));
  std::uint8_t* p = out + kFrameHeaderBytes;
  std::memcpy(p, kServerMagic, 8);
  PutU32(p + 8, g.version);
  PutU32(p + 12, g.flags);
  PutU32(p + 16, g.block_bytes);
  PutU32(p + 20, g.sample_bytes);
  PutU32(p + 24, g.raw_bytes);
  PutU32(p + 28, g.max_block_samples);
  PutU32(p + 32, g.sample_period_us);
  PutU32(p + 36, g.source_kind);
  PutU32(p + 40, static_cast<std::uint32_t>(kCaptureHeaderWireBytes));
  PutCaptureHeader(p + kGreetingFixedBytes, g.header);
  PutU32(p + kGreetingFixedBytes + kCaptureHeaderWireBytes, g.max_version);
  return kFrameHeaderBytes + payload;
}

const char* ParseGreeting(const std::uint8_t* p, std::size_t bytes, Greeting* out) {
  if (bytes < kGreetingFixedBytes) return "the server's greeting is too short";
  if (bytes > kGreetingMaxPayload) return "the server's greeting is too long";
  if (std::memcmp(p, kServerMagic, 8) != 0) return "the peer is not a scanmon-serve (magic)";
  Greeting g;
  g.version = GetU32(p + 8);
  if (g.version != kVersion) return "the server speaks another protocol version";
  g.flags = GetU32(p + 12);
  g.block_bytes = GetU32(p + 16);
  g.sample_bytes = GetU32(p + 20);
  g.raw_bytes = GetU32(p + 24);
  g.max_block_samples = GetU32(p + 28);
  g.sample_period_us = GetU32(p + 32);
  g.source_kind = GetU32(p + 36);
  const std::uint32_t header_bytes = GetU32(p + 40);
  if (g.block_bytes < kBlockRecordBytes || g.sample_bytes < kSampleBytes ||
      g.raw_bytes < kRawBytes || g.block_bytes > kMaxRecordBytes ||
      g.sample_bytes > kMaxRecordBytes || g.raw_bytes > kMaxRecordBytes) {
    return "the greeting's record sizes are out of range";
  }
  if (g.max_block_samples == 0 || g.max_block_samples > kMaxBlockSamplesLimit) {
    return "the greeting's largest block is out of range";
  }
  if (header_bytes < kCaptureHeaderWireBytes || header_bytes > bytes - kGreetingFixedBytes) {
    return "the greeting's capture header size does not fit its length";
  }
  // After the header a server of version 2 or later names its highest
  // version; one from before says nothing there.
  g.max_version = 1;
  if (bytes - kGreetingFixedBytes - header_bytes >= 4) {
    g.max_version = GetU32(p + kGreetingFixedBytes + header_bytes);
    if (g.max_version < 2) return "the greeting's highest version is out of range";
  }
  GetCaptureHeader(p + kGreetingFixedBytes, &g.header, g.max_version >= 2);
  // A name from the peer reaches terminals and logs: printable ASCII only.
  for (char& c : g.header.cal_file) {
    if (c == '\0') break;
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) c = '?';
  }
  *out = g;
  return nullptr;
}

std::size_t EncodeReaderGreeting(const ReaderGreeting& g, std::uint8_t* out, std::size_t capacity) {
  const std::size_t key = g.key_bytes > kMaxKeyBytes ? kMaxKeyBytes : g.key_bytes;
  const std::size_t payload = kReaderGreetingFixedBytes + key;
  if (capacity < kFrameHeaderBytes + payload) return 0;
  PutFrameHeader(out, kFrameReaderGreeting, static_cast<std::uint32_t>(payload));
  std::uint8_t* p = out + kFrameHeaderBytes;
  std::memcpy(p, kReaderMagic, 8);
  PutU32(p + 8, g.version);
  PutU32(p + 12, g.flags);
  PutU32(p + 16, static_cast<std::uint32_t>(key));
  std::memcpy(p + kReaderGreetingFixedBytes, g.key, key);
  return kFrameHeaderBytes + payload;
}

const char* ParseReaderGreeting(const std::uint8_t* p, std::size_t bytes, ReaderGreeting* out,
                                std::uint32_t* reason) {
  *reason = kEndProtocol;
  if (bytes < kReaderGreetingFixedBytes || bytes > kReaderGreetingMaxPayload) {
    return "the reader greeting's length is out of range";
  }
  if (std::memcmp(p, kReaderMagic, 8) != 0) return "the reader greeting's magic is wrong";
  ReaderGreeting g;
  g.version = GetU32(p + 8);
  if (g.version < kVersion || g.version > kHighestVersion) {
    *reason = kEndVersion;
    return "this server speaks protocol versions 1 and 2 only";
  }
  g.flags = GetU32(p + 12);
  if ((g.flags & ~kReaderWantsRaw) != 0) return "the reader greeting sets unknown flags";
  g.key_bytes = GetU32(p + 16);
  if (g.key_bytes > kMaxKeyBytes)
    return "the reader greeting's key is too long (256 bytes at most)";
  if (bytes != kReaderGreetingFixedBytes + g.key_bytes) {
    return "the reader greeting's key length does not match its frame";
  }
  std::memcpy(g.key, p + kReaderGreetingFixedBytes, g.key_bytes);
  *out = g;
  return nullptr;
}

std::size_t EncodeEnd(std::uint32_t reason, const char* text, std::uint8_t* out,
                      std::size_t capacity) {
  std::size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length > kEndMaxText) length = kEndMaxText;
  const std::size_t payload = 8 + length;
  if (capacity < kFrameHeaderBytes + payload) return 0;
  PutFrameHeader(out, kFrameEnd, static_cast<std::uint32_t>(payload));
  PutU32(out + kFrameHeaderBytes, reason);
  PutU32(out + kFrameHeaderBytes + 4, static_cast<std::uint32_t>(length));
  if (length > 0) std::memcpy(out + kFrameHeaderBytes + 8, text, length);
  return kFrameHeaderBytes + payload;
}

const char* ParseEnd(const std::uint8_t* p, std::size_t bytes, std::uint32_t* reason, char* text,
                     std::size_t text_size) {
  if (bytes < 8 || bytes > kEndMaxPayload) return "the end frame's length is out of range";
  const std::uint32_t length = GetU32(p + 4);
  if (length > kEndMaxText || bytes != 8 + std::size_t{length}) {
    return "the end frame's text length does not match its frame";
  }
  *reason = GetU32(p);
  if (text_size > 0) {
    std::size_t n = length < text_size - 1 ? length : text_size - 1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t c = p[8 + i];
      text[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    text[n] = '\0';
  }
  return nullptr;
}

const char* EndReasonName(std::uint32_t reason) {
  switch (reason) {
    case kEndStopped:
      return "the server was stopped";
    case kEndSourceEnded:
      return "the source ended";
    case kEndSourceFailed:
      return "the source failed";
    case kEndTooSlow:
      return "the reader stayed behind too long";
    case kEndFull:
      return "the server takes no more readers";
    case kEndKey:
      return "the key is missing or wrong";
    case kEndProtocol:
      return "the reader broke the protocol";
    case kEndGreetingTimeout:
      return "the reader's greeting came too late";
    case kEndVersion:
      return "the protocol versions differ";
    default:
      return "an unknown reason";
  }
}

std::size_t EncodeAccept(std::uint32_t reader_number, std::uint8_t* out, std::size_t capacity) {
  if (capacity < kFrameHeaderBytes + kAcceptMinPayload) return 0;
  PutFrameHeader(out, kFrameAccept, static_cast<std::uint32_t>(kAcceptMinPayload));
  PutU32(out + kFrameHeaderBytes, reader_number);
  return kFrameHeaderBytes + kAcceptMinPayload;
}

std::uint64_t BlockPayloadBytes(const Greeting& g, bool raw, std::uint32_t count) {
  return std::uint64_t{kBlockPrefixBytes} + g.block_bytes +
         std::uint64_t{count} * (std::uint64_t{g.sample_bytes} + (raw ? g.raw_bytes : 0u));
}

std::uint64_t MaxBlockPayloadBytes(const Greeting& g, bool raw) {
  return BlockPayloadBytes(g, raw, g.max_block_samples);
}

void FrameReader::SetLimit(std::uint32_t type, std::size_t max_payload) {
  if (type >= 1 && type <= 5) limits_[type] = max_payload;
}

FrameReader::Step FrameReader::Next(std::uint32_t* type, const std::uint8_t** payload,
                                    std::size_t* bytes, const char** error) {
  if (consumed_ > 0) {
    std::memmove(buffer_, buffer_ + consumed_, filled_ - consumed_);
    filled_ -= consumed_;
    consumed_ = 0;
  }
  if (filled_ < kFrameHeaderBytes) return Step::kNeedMore;
  const std::uint32_t t = GetU32(buffer_);
  const std::uint32_t length = GetU32(buffer_ + 4);
  if (t < 1 || t > 5 || limits_[t] == 0) {
    *error = "a frame of a type not expected here";
    return Step::kError;
  }
  if (length > limits_[t] || kFrameHeaderBytes + std::size_t{length} > capacity_) {
    *error = "a frame longer than its limit";
    return Step::kError;
  }
  if (filled_ < kFrameHeaderBytes + length) return Step::kNeedMore;
  *type = t;
  *payload = buffer_ + kFrameHeaderBytes;
  *bytes = length;
  consumed_ = kFrameHeaderBytes + length;
  return Step::kFrame;
}

void StreamDecoder::StartBlocks(const Greeting& greeting, bool raw, std::uint8_t* samples,
                                std::uint8_t* raw_records, bool accept_first) {
  greeting_ = greeting;
  raw_ = raw;
  samples_ = samples;
  raw_records_ = raw_records;
  accept_first_ = accept_first;
  blocks_ = true;
}

StreamDecoder::Step StreamDecoder::Fail(const char* what, const char** error) {
  state_ = State::kBroken;
  *error = what;
  return Step::kError;
}

// Past the regions already whole; true when the frame is.
bool StreamDecoder::RegionsDone() {
  while (region_ < region_count_ && offset_ == regions_[region_].total) {
    ++region_;
    offset_ = 0;
  }
  return region_ == region_count_;
}

StreamDecoder::Step StreamDecoder::Feed(const std::uint8_t* data, std::size_t bytes,
                                        std::size_t* used, const char** error) {
  std::size_t at = 0;
  *used = 0;
  if (state_ == State::kBroken) return Fail("the stream broke earlier", error);
  for (;;) {
    const std::size_t left = bytes - at;
    switch (state_) {
      case State::kHeader: {
        if (left == 0) return Step::kNeedMore;
        const std::size_t n =
            left < kFrameHeaderBytes - head_fill_ ? left : kFrameHeaderBytes - head_fill_;
        std::memcpy(head_ + head_fill_, data + at, n);
        head_fill_ += n;
        at += n;
        *used = at;
        if (head_fill_ < kFrameHeaderBytes) return Step::kNeedMore;
        head_fill_ = 0;
        type_ = GetU32(head_);
        length_ = GetU32(head_ + 4);
        got_ = 0;
        std::size_t limit = 0;
        switch (type_) {
          case kFrameGreeting:
            limit = blocks_ ? 0 : kGreetingMaxPayload;
            break;
          case kFrameEnd:
            limit = kEndMaxPayload;
            break;
          case kFrameAccept:
            limit = accept_first_ ? kAcceptMaxPayload : 0;
            break;
          case kFrameBlock:
            if (!blocks_ || accept_first_) break;
            if (length_ < kBlockPrefixBytes + std::uint64_t{greeting_.block_bytes}) {
              return Fail("a block frame is too short", error);
            }
            if (length_ > MaxBlockPayloadBytes(greeting_, raw_)) {
              return Fail("a block frame longer than the greeting allows", error);
            }
            state_ = State::kFixed;
            continue;
          default:
            break;
        }
        if (limit == 0) return Fail("a frame of a type not expected here", error);
        if (length_ > limit) return Fail("a frame longer than its limit", error);
        if (type_ == kFrameAccept && length_ < kAcceptMinPayload) {
          return Fail("an accept frame is too short", error);
        }
        state_ = State::kSmall;
        continue;
      }
      case State::kSmall: {
        const std::uint64_t want = length_ - got_;
        const std::size_t n = left < want ? left : static_cast<std::size_t>(want);
        std::memcpy(small_ + got_, data + at, n);
        got_ += n;
        at += n;
        *used = at;
        if (got_ < length_) return Step::kNeedMore;
        state_ = State::kHeader;
        if (type_ == kFrameAccept) accept_first_ = false;
        return Step::kFrame;
      }
      case State::kFixed: {
        const std::size_t want = kBlockFixedBytes - static_cast<std::size_t>(got_);
        const std::size_t n = left < want ? left : want;
        std::memcpy(fixed_ + got_, data + at, n);
        got_ += n;
        at += n;
        *used = at;
        if (got_ < kBlockFixedBytes) return Step::kNeedMore;
        lost_ = GetU64(fixed_);
        lost_blocks_ = GetU64(fixed_ + 8);
        GetBlockRecord(fixed_ + kBlockPrefixBytes, &block_);
        const std::uint32_t count = block_.count;
        if (count > greeting_.max_block_samples) {
          return Fail("a block frame holds more samples than announced", error);
        }
        if (length_ != BlockPayloadBytes(greeting_, raw_, count)) {
          return Fail("a block frame's length does not match its sample count", error);
        }
        region_count_ = 0;
        // The rest of a larger block record: skipped whole.
        const std::uint32_t tail =
            greeting_.block_bytes - static_cast<std::uint32_t>(kBlockRecordBytes);
        regions_[region_count_++] = {tail, tail > 0 ? tail : 1u, 0, nullptr};
        regions_[region_count_++] = {std::uint64_t{count} * greeting_.sample_bytes,
                                     greeting_.sample_bytes, kSampleBytes, samples_};
        if (raw_) {
          regions_[region_count_++] = {std::uint64_t{count} * greeting_.raw_bytes,
                                       greeting_.raw_bytes, kRawBytes, raw_records_};
        }
        region_ = 0;
        offset_ = 0;
        state_ = State::kRegions;
        continue;
      }
      case State::kRegions: {
        if (RegionsDone()) {
          state_ = State::kHeader;
          return Step::kFrame;
        }
        if (left == 0) return Step::kNeedMore;
        const Region& r = regions_[region_];
        std::size_t n;
        if (r.keep == r.size) {  // records as this reader knows them: one copy
          const std::uint64_t want = r.total - offset_;
          n = left < want ? left : static_cast<std::size_t>(want);
          std::memcpy(r.dest + offset_, data + at, n);
        } else {
          const std::size_t record = static_cast<std::size_t>(offset_ / r.size);
          const std::uint32_t within = static_cast<std::uint32_t>(offset_ % r.size);
          if (within < r.keep) {
            const std::size_t want = r.keep - within;
            n = left < want ? left : want;
            std::memcpy(r.dest + record * r.keep + within, data + at, n);
          } else {
            const std::size_t want = r.size - within;  // skipped
            n = left < want ? left : want;
          }
        }
        offset_ += n;
        at += n;
        *used = at;
        continue;
      }
      case State::kBroken:
        return Fail("the stream broke earlier", error);
    }
  }
}

bool ParseAddress(const char* text, std::uint16_t default_port, bool allow_port_zero,
                  std::uint32_t* address, std::uint16_t* port) {
  if (text == nullptr) return false;
  const char* colon = std::strrchr(text, ':');
  const std::size_t host_length =
      colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
  std::uint32_t value = 0;
  if (host_length == 9 && std::strncmp(text, "localhost", 9) == 0) {
    value = 0x7f000001u;
  } else {
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
      std::uint32_t part = 0;
      std::size_t digits = 0;
      while (i < host_length && text[i] >= '0' && text[i] <= '9' && digits < 4) {
        part = part * 10 + static_cast<std::uint32_t>(text[i] - '0');
        ++i;
        ++digits;
      }
      if (digits == 0 || digits > 3 || part > 255) return false;
      value = (value << 8) | part;
      ++parts;
      if (parts < 4) {
        if (i >= host_length || text[i] != '.') return false;
        ++i;
      }
    }
    if (i != host_length) return false;
  }
  std::uint32_t number = default_port;
  if (colon != nullptr) {
    const char* digits = colon + 1;
    if (*digits == '\0') return false;
    number = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
      if (*c < '0' || *c > '9' || c - digits >= 5) return false;
      number = number * 10 + static_cast<std::uint32_t>(*c - '0');
    }
  }
  if (number > 65535 || (number == 0 && !allow_port_zero)) return false;
  *address = value;
  *port = static_cast<std::uint16_t>(number);
  return true;
}

bool SplitListenAddress(const char* text, std::uint16_t default_port, bool allow_port_zero,
                        char* host, std::size_t host_size, std::uint16_t* port) {
  if (text == nullptr) return false;
  const char* host_start = text;
  std::size_t host_length = 0;
  const char* port_text = nullptr;
  if (text[0] == '[') {
    const char* close = std::strchr(text, ']');
    if (close == nullptr) return false;
    host_start = text + 1;
    host_length = static_cast<std::size_t>(close - host_start);
    if (close[1] == ':') {
      port_text = close + 2;
    } else if (close[1] != '\0') {
      return false;
    }
    if (std::memchr(host_start, ':', host_length) == nullptr) return false;  // IPv6 only
  } else {
    const char* colon = std::strchr(text, ':');
    if (colon != nullptr && std::strchr(colon + 1, ':') != nullptr) {
      host_length = std::strlen(text);  // a bare IPv6 address
    } else if (colon != nullptr) {
      host_length = static_cast<std::size_t>(colon - text);
      port_text = colon + 1;
    } else {
      host_length = std::strlen(text);
    }
  }
  if (host_length == 0 || host_length >= host_size) return false;
  for (std::size_t i = 0; i < host_length; ++i) {
    const char c = host_start[i];
    const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == ':' || c == '%' || c == '_';
    if (!fits) return false;
  }
  std::uint32_t number = default_port;
  if (port_text != nullptr) {
    if (*port_text == '\0') return false;
    number = 0;
    for (const char* c = port_text; *c != '\0'; ++c) {
      if (*c < '0' || *c > '9' || c - port_text >= 5) return false;
      number = number * 10 + static_cast<std::uint32_t>(*c - '0');
    }
  }
  if (number > 65535 || (number == 0 && !allow_port_zero)) return false;
  std::memcpy(host, host_start, host_length);
  host[host_length] = '\0';
  *port = static_cast<std::uint16_t>(number);
  return true;
}

bool IsLoopback(std::uint32_t address) {
  return (address >> 24) == 127;
}

}  // namespace stream
