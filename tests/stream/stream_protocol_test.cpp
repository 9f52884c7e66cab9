// The wire format's parsers against docs/stream.md: every length checked
// before it is trusted, round trips of what the server and readers send.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stream/stream_protocol.h"

namespace {

using stream::FrameReader;

TEST(StreamAddress, ParsesWhatTheDocumentAllowsOnly) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t address;
    std::uint16_t port;
  } cases[] = {
      {"127.0.0.1", true, 0x7f000001u, 7464},
      {"127.0.0.1:80", true, 0x7f000001u, 80},
      {"localhost:0", true, 0x7f000001u, 0},
      {"0.0.0.0:65535", true, 0, 65535},
      {"192.168.1.20:7464", true, 0xc0a80114u, 7464},
      {"256.0.0.1", false, 0, 0},
      {"1.2.3", false, 0, 0},
      {"1.2.3.4.5", false, 0, 0},
      {"1.2.3.4:", false, 0, 0},
      {"1.2.3.4:65536", false, 0, 0},
      {"1.2.3.4:123456", false, 0, 0},
      {"1.2.3.4:8x", false, 0, 0},
      {"host.example:80", false, 0, 0},
      {"", false, 0, 0},
      {"0001.2.3.4", false, 0, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    EXPECT_EQ(stream::ParseAddress(c.text, 7464, true, &address, &port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  EXPECT_FALSE(stream::ParseAddress("127.0.0.1:0", 1, false, &address, &port));
}

stream::Greeting SmallGreeting() {
  stream::Greeting g;
  g.flags = stream::kGreetingHasRaw;
  g.max_block_samples = 4;
  g.sample_period_us = 5;
  g.source_kind = SCANMON_SOURCE_SCANNER;
  g.header.version = 3;
  g.header.sample_period_us = 5;
  g.header.buf_size = 4;
  g.header.calibration_value = -7;
  g.header.com_port = 3;
  g.header.sensor_model = SCANMON_MODEL_200KHZ;
  std::snprintf(g.header.cal_file, sizeof g.header.cal_file, "ar4000_demo.cal");
  return g;
}

TEST(StreamGreeting, RoundTripsAndRefusesWhatDoesNotFit) {
  std::uint8_t frame[stream::kFrameHeaderBytes + stream::kGreetingMaxPayload];
  const std::size_t n = stream::EncodeGreeting(SmallGreeting(), frame, sizeof frame);
  ASSERT_EQ(n, stream::kFrameHeaderBytes + 44 + 293);
  stream::Greeting back;
  ASSERT_EQ(stream::ParseGreeting(frame + 8, n - 8, &back), nullptr);
  EXPECT_EQ(back.max_block_samples, 4u);
  EXPECT_EQ(back.header.calibration_value, -7);
  EXPECT_EQ(back.header.com_port, 3u);
  EXPECT_EQ(back.header.sensor_model, static_cast<std::uint32_t>(SCANMON_MODEL_200KHZ));
  EXPECT_STREQ(back.header.cal_file, "ar4000_demo.cal");

  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  } damages[] = {
      {"version", 8, 2},          {"block record smaller", 16, 63},
      {"sample smaller", 20, 63}, {"raw smaller", 24, 15},
      {"no samples", 28, 0},      {"too many samples", 28, stream::kMaxBlockSamplesLimit + 1},
      {"header short", 40, 292},  {"header past the payload", 40, 294},
  };
  for (const Damage& d : damages) {
    std::vector<std::uint8_t> payload(frame + 8, frame + n);
    stream::PutU32(payload.data() + d.offset, d.value);
    EXPECT_NE(stream::ParseGreeting(payload.data(), payload.size(), &back), nullptr) << d.what;
  }
  std::vector<std::uint8_t> payload(frame + 8, frame + n);
  payload[0] = 'X';
  EXPECT_NE(stream::ParseGreeting(payload.data(), payload.size(), &back), nullptr);
  EXPECT_NE(stream::ParseGreeting(frame + 8, 43, &back), nullptr);
}

TEST(StreamReaderGreeting, KeyLengthMustMatchTheFrame) {
  stream::ReaderGreeting hello;
  hello.flags = stream::kReaderWantsRaw;
  hello.key_bytes = 6;
  std::memcpy(hello.key, "sesame", 6);
  std::uint8_t frame[300];
  const std::size_t n = stream::EncodeReaderGreeting(hello, frame, sizeof frame);
  stream::ReaderGreeting back;
  std::uint32_t reason = 0;
  ASSERT_EQ(stream::ParseReaderGreeting(frame + 8, n - 8, &back, &reason), nullptr);
  EXPECT_EQ(back.key_bytes, 6u);
  EXPECT_EQ(std::memcmp(back.key, "sesame", 6), 0);

  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
    std::uint32_t reason;
  } damages[] = {
      {"version 2", 8, 2, stream::kEndVersion},
      {"unknown flag", 12, 2, stream::kEndProtocol},
      {"key longer than the frame", 16, 7, stream::kEndProtocol},
      {"key shorter than the frame", 16, 5, stream::kEndProtocol},
      {"key past the limit", 16, 0xffffffffu, stream::kEndProtocol},
  };
  for (const Damage& d : damages) {
    std::vector<std::uint8_t> payload(frame + 8, frame + n);
    stream::PutU32(payload.data() + d.offset, d.value);
    EXPECT_NE(stream::ParseReaderGreeting(payload.data(), payload.size(), &back, &reason), nullptr)
        << d.what;
    EXPECT_EQ(reason, d.reason) << d.what;
  }
}

TEST(StreamBlock, LengthMustMatchTheCountAndTheRawChoice) {
  const stream::Greeting g = SmallGreeting();
  for (bool raw : {false, true}) {
    for (std::uint32_t count : {0u, 1u, 4u, 5u}) {
      const std::size_t bytes = stream::BlockPayloadBytes(g, raw, count);
      std::vector<std::uint8_t> payload(bytes + 1, 0xab);
      scanmon_block block{};
      block.count = count;
      block.sequence = 9;
      stream::PutBlockRecord(payload.data() + 16, block);
      stream::PutU64(payload.data(), 1234);
      std::uint64_t lost = 0, lost_blocks = 0;
      scanmon_block back{};
      const std::uint8_t* samples = nullptr;
      const std::uint8_t* raw_records = nullptr;
      const char* problem = stream::ParseBlock(payload.data(), bytes, g, raw, &lost, &lost_blocks,
                                               &back, &samples, &raw_records);
      if (count > g.max_block_samples) {
        EXPECT_NE(problem, nullptr) << count;
        continue;
      }
      ASSERT_EQ(problem, nullptr) << count << (raw ? " raw" : "");
      EXPECT_EQ(lost, 1234u);
      EXPECT_EQ(back.sequence, 9u);
      EXPECT_EQ(samples, payload.data() + 80);
      EXPECT_EQ(raw_records != nullptr, raw);
      // One byte more or less, or the other raw choice, is a protocol error.
      EXPECT_NE(stream::ParseBlock(payload.data(), bytes + 1, g, raw, &lost, &lost_blocks, &back,
                                   &samples, &raw_records),
                nullptr);
      EXPECT_NE(stream::ParseBlock(payload.data(), bytes - 1, g, raw, &lost, &lost_blocks, &back,
                                   &samples, &raw_records),
                nullptr);
      if (count > 0) {
        EXPECT_NE(stream::ParseBlock(payload.data(), bytes, g, !raw, &lost, &lost_blocks, &back,
                                     &samples, &raw_records),
                  nullptr);
      }
    }
  }
}

TEST(StreamEnd, TextIsBoundedAndMadePrintable) {
  std::uint8_t frame[stream::kFrameHeaderBytes + stream::kEndMaxPayload];
  const std::string long_text(2000, 'a');
  std::size_t n = stream::EncodeEnd(stream::kEndTooSlow, long_text.c_str(), frame, sizeof frame);
  EXPECT_EQ(n, stream::kFrameHeaderBytes + stream::kEndMaxPayload);
  std::uint32_t reason = 0;
  char text[16];
  ASSERT_EQ(stream::ParseEnd(frame + 8, n - 8, &reason, text, sizeof text), nullptr);
  EXPECT_EQ(reason, stream::kEndTooSlow);
  EXPECT_EQ(std::string(text), std::string(15, 'a'));
  n = stream::EncodeEnd(stream::kEndStopped, "a\x1b[2Jb", frame, sizeof frame);
  ASSERT_EQ(stream::ParseEnd(frame + 8, n - 8, &reason, text, sizeof text), nullptr);
  EXPECT_STREQ(text, "a?[2Jb");
  stream::PutU32(frame + 12, 5000);
  EXPECT_NE(stream::ParseEnd(frame + 8, n - 8, &reason, text, sizeof text), nullptr);
}

TEST(StreamFrameReader, RefusesALengthBeforeWaitingForIt) {
  std::uint8_t buffer[64];
  FrameReader reader(buffer, sizeof buffer);
  reader.SetLimit(stream::kFrameEnd, 20);
  std::uint8_t header[8];
  stream::PutFrameHeader(header, stream::kFrameEnd, 21);
  std::memcpy(reader.Space(), header, 8);
  reader.Commit(8);
  std::uint32_t type = 0;
  const std::uint8_t* payload = nullptr;
  std::size_t bytes = 0;
  const char* error = nullptr;
  EXPECT_EQ(reader.Next(&type, &payload, &bytes, &error), FrameReader::Step::kError);

  FrameReader other(buffer, sizeof buffer);
  other.SetLimit(stream::kFrameEnd, 20);
  stream::PutFrameHeader(header, stream::kFrameBlock, 4);  // a type not allowed here
  std::memcpy(other.Space(), header, 8);
  other.Commit(8);
  EXPECT_EQ(other.Next(&type, &payload, &bytes, &error), FrameReader::Step::kError);
}

TEST(StreamFrameReader, GathersFramesFromPiecesOfAnySize) {
  std::vector<std::uint8_t> wire;
  for (std::uint32_t i = 0; i < 5; ++i) {
    std::uint8_t frame[64];
    const std::size_t n = stream::EncodeEnd(i + 1, std::string(i * 3, 'x').c_str(), frame, 64);
    wire.insert(wire.end(), frame, frame + n);
  }
  for (std::size_t piece : {1u, 3u, 7u, 64u}) {
    std::uint8_t buffer[64];
    FrameReader reader(buffer, sizeof buffer);
    reader.SetLimit(stream::kFrameEnd, 56);
    std::vector<std::uint32_t> reasons;
    for (std::size_t at = 0; at < wire.size();) {
      std::size_t n = std::min(piece, std::min(wire.size() - at, reader.SpaceBytes()));
      std::memcpy(reader.Space(), wire.data() + at, n);
      reader.Commit(n);
      at += n;
      std::uint32_t type = 0;
      const std::uint8_t* payload = nullptr;
      std::size_t bytes = 0;
      const char* error = nullptr;
      FrameReader::Step step;
      while ((step = reader.Next(&type, &payload, &bytes, &error)) == FrameReader::Step::kFrame) {
        std::uint32_t reason = 0;
        char text[32];
        ASSERT_EQ(stream::ParseEnd(payload, bytes, &reason, text, sizeof text), nullptr);
        reasons.push_back(reason);
      }
      ASSERT_NE(step, FrameReader::Step::kError);
    }
    EXPECT_EQ(reasons, (std::vector<std::uint32_t>{1, 2, 3, 4, 5})) << "pieces of " << piece;
  }
}

}  // namespace
