// The wire format's parsers against docs/stream.md: every length checked
// before it is trusted, round trips of what the server and readers send.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/capture_header.h"
#include "platform/files.h"
#include "stream/stream_protocol.h"
#include "tests/support/scratch_dir.h"

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

TEST(StreamAddress, ListenAddressesTakeIpv6AndNames) {
  struct Case {
    const char* text;
    const char* host;  // null: refused
    std::uint16_t port;
  } cases[] = {
      {"[::1]:7000", "::1", 7000},
      {"[::1]", "::1", 7464},
      {"::1", "::1", 7464},
      {"[fe80::1%eth0]:0", "fe80::1%eth0", 0},
      {"localhost:0", "localhost", 0},
      {"scanner-pc.lab", "scanner-pc.lab", 7464},
      {"127.0.0.1:80", "127.0.0.1", 80},
      {"[::1]7000", nullptr, 0},
      {"[::1", nullptr, 0},
      {"[127.0.0.1]:80", nullptr, 0},
      {"[]:80", nullptr, 0},
      {"host:", nullptr, 0},
      {"host:65536", nullptr, 0},
      {"ho st:80", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const Case& c : cases) {
    char host[64] = {};
    std::uint16_t port = 1;
    const bool ok = stream::SplitListenAddress(c.text, 7464, true, host, sizeof host, &port);
    EXPECT_EQ(ok, c.host != nullptr) << c.text;
    if (ok && c.host != nullptr) {
      EXPECT_STREQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
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
  g.header.motor1_encoder_ppr = 4096;
  g.header.com_port = 3;
  g.header.sensor_model = SCANMON_MODEL_200KHZ;
  std::snprintf(g.header.cal_file, sizeof g.header.cal_file, "ar4000_demo.cal");
  return g;
}

TEST(StreamGreeting, RoundTripsAndRefusesWhatDoesNotFit) {
  std::uint8_t frame[stream::kFrameHeaderBytes + stream::kGreetingMaxPayload];
  const std::size_t n = stream::EncodeGreeting(SmallGreeting(), frame, sizeof frame);
  ASSERT_EQ(n, stream::kFrameHeaderBytes + 44 + 293 + 4);
  // The header's bytes as the .prc file holds them: the encoder fields at 20
  // and 24, calibration_value at 28.
  EXPECT_EQ(stream::GetU32(frame + 8 + 44 + 20), 4096u);
  EXPECT_EQ(static_cast<std::int32_t>(stream::GetU32(frame + 8 + 44 + 28)), -7);
  stream::Greeting back;
  ASSERT_EQ(stream::ParseGreeting(frame + 8, n - 8, &back), nullptr);
  EXPECT_EQ(back.max_version, stream::kHighestVersion);
  EXPECT_EQ(back.header.motor1_encoder_ppr, 4096);
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
      {"version", 8, 2},
      {"block record smaller", 16, 63},
      {"sample smaller", 20, 63},
      {"raw smaller", 24, 15},
      {"no samples", 28, 0},
      {"too many samples", 28, stream::kMaxBlockSamplesLimit + 1},
      {"header short", 40, 292},
      {"header past the payload", 40, 298},
      {"highest version below 2", 44 + 293, 1},
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
  // A server from before version 2 says nothing after the header, and sent
  // calibration_value first.
  ASSERT_EQ(stream::ParseGreeting(frame + 8, n - 8 - 4, &back), nullptr);
  EXPECT_EQ(back.max_version, 1u);
  EXPECT_EQ(back.header.calibration_value, 4096);
  // A name from the peer comes printable.
  std::vector<std::uint8_t> named(frame + 8, frame + n);
  named[44 + 36] = 0x1b;
  ASSERT_EQ(stream::ParseGreeting(named.data(), named.size(), &back), nullptr);
  EXPECT_STREQ(back.header.cal_file, "?r4000_demo.cal");
}

TEST(StreamGreeting, TheHeaderIsWhatTheRecorderWrites) {
  // The greeting's header bytes are the .prc file's as capture-record writes
  // them (a live scanner's) and the capture source hands them on (a replay).
  // clang-format off
  const CaptureHeader file = {3, 5, 1200, 5000, 600000, -7, 4096, 200, 100, 50, 3, 1,
                              "ar4000_demo.cal", kSensorModel200kHz};
  const scanmon_capture_header wire = {sizeof wire, 3, 5, 1200, 5000, 600000, -7, 4096, 200,
                                       100, 50, 3, 1, kSensorModel200kHz, "ar4000_demo.cal"};
  // clang-format on
  test_support::ScratchDir dir;
  const std::string path = dir.File("x.prc");
  win::HANDLE handle = win::CreateFileA(path.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                        win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, win::INVALID_HANDLE_VALUE);
  ASSERT_EQ(WriteCaptureHeader(handle, file), 1);
  win::CloseHandle(handle);
  std::uint8_t bytes[stream::kCaptureHeaderWireBytes];
  stream::PutCaptureHeader(bytes, wire);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes), dir.Read("x.prc"));
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
      {"version 3", 8, 3, stream::kEndVersion},
      {"version 0", 8, 0, stream::kEndVersion},
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
  std::vector<std::uint8_t> long_key(20 + 257, 'k');
  std::memcpy(long_key.data(), frame + 8, 20);
  stream::PutU32(long_key.data() + 16, 257);
  EXPECT_STREQ(stream::ParseReaderGreeting(long_key.data(), long_key.size(), &back, &reason),
               "the reader greeting's key is too long (256 bytes at most)");
}

// Feeds `wire` to the decoder in pieces of `piece` bytes; the frames' types
// until the first error (0 then ends the list) or the end of the bytes.
std::vector<std::uint32_t> Decode(stream::StreamDecoder& decoder,
                                  const std::vector<std::uint8_t>& wire, std::size_t piece) {
  std::vector<std::uint32_t> types;
  for (std::size_t at = 0; at < wire.size();) {
    const std::size_t n = std::min(piece, wire.size() - at);
    std::size_t used = 0;
    const char* error = nullptr;
    const auto step = decoder.Feed(wire.data() + at, n, &used, &error);
    at += used;
    if (step == stream::StreamDecoder::Step::kError) {
      types.push_back(0);
      break;
    }
    if (step == stream::StreamDecoder::Step::kFrame) types.push_back(decoder.type());
  }
  return types;
}

// A block frame of `count` samples for greeting `g`: sample i's record bytes
// all i + 1, raw ones i + 101, and the record's tail bytes 0xee.
std::vector<std::uint8_t> BlockFrame(const stream::Greeting& g, bool raw, std::uint32_t count,
                                     std::int64_t extra = 0) {
  const std::uint64_t payload = stream::BlockPayloadBytes(g, raw, count);
  std::vector<std::uint8_t> frame(8 + payload, 0xee);
  stream::PutFrameHeader(frame.data(), stream::kFrameBlock,
                         static_cast<std::uint32_t>(payload + extra));
  stream::PutU64(frame.data() + 8, 1234);
  stream::PutU64(frame.data() + 16, 2);
  scanmon_block block{};
  block.count = count;
  block.sequence = 9;
  stream::PutBlockRecord(frame.data() + 24, block);
  std::uint8_t* at = frame.data() + 24 + g.block_bytes;
  for (std::uint32_t i = 0; i < count; ++i, at += g.sample_bytes) {
    std::memset(at, static_cast<int>(i + 1), 64);
  }
  for (std::uint32_t i = 0; raw && i < count; ++i, at += g.raw_bytes) {
    std::memset(at, static_cast<int>(i + 101), 16);
  }
  if (extra > 0) frame.resize(frame.size() + static_cast<std::size_t>(extra), 0);
  if (extra < 0) frame.resize(frame.size() - static_cast<std::size_t>(-extra));
  return frame;
}

TEST(StreamDecoder, BlockFramesMustMatchTheCountAndTheRawChoice) {
  // Record sizes as announced today and as a later version might grow them:
  // the decoder keeps the first 64 (16) bytes of each and skips the rest.
  for (std::uint32_t grown : {0u, 36u}) {
    stream::Greeting g = SmallGreeting();
    g.block_bytes += grown;
    g.sample_bytes += grown;
    g.raw_bytes += grown;
    for (bool raw : {false, true}) {
      struct Case {
        std::uint32_t count;
        std::int64_t extra;  // bytes more (fewer) than the count takes
        bool ok;
      } cases[] = {{0, 0, true},  {1, 0, true},   {4, 0, true},   {5, 0, false},
                   {4, 1, false}, {4, -1, false}, {1, -63, false}};
      for (const Case& c : cases) {
        for (std::size_t piece : {1u, 7u, 100000u}) {
          std::vector<std::uint8_t> samples(4 * 64, 0), raw_records(4 * 16, 0);
          stream::StreamDecoder decoder;
          decoder.StartBlocks(g, raw, samples.data(), raw_records.data(), false);
          std::vector<std::uint8_t> wire = BlockFrame(g, raw, c.count, c.extra);
          // A frame of the other raw choice would be as wrong.
          const auto types = Decode(decoder, wire, piece);
          SCOPED_TRACE(testing::Message() << "count " << c.count << " extra " << c.extra << " raw "
                                          << raw << " grown " << grown << " piece " << piece);
          if (!c.ok) {
            ASSERT_FALSE(types.empty());
            EXPECT_EQ(types.back(), 0u);
            continue;
          }
          ASSERT_EQ(types, std::vector<std::uint32_t>{stream::kFrameBlock});
          EXPECT_EQ(decoder.lost(), 1234u);
          EXPECT_EQ(decoder.block().sequence, 9u);
          for (std::uint32_t i = 0; i < c.count; ++i) {
            EXPECT_EQ(samples[i * 64 + 63], i + 1);
            if (raw) {
              EXPECT_EQ(raw_records[i * 16 + 15], i + 101);
            }
          }
          if (c.count > 0) {
            stream::StreamDecoder other;
            other.StartBlocks(g, !raw, samples.data(), raw_records.data(), false);
            EXPECT_EQ(Decode(other, wire, piece).back(), 0u);
          }
        }
      }
    }
  }
}

TEST(StreamDecoder, SizesHoldIn64BitsAsOn32BitBuilds) {
  // The largest records and a large block: the largest frame passes 4 GiB
  // (a 32-bit size_t made it 88 bytes, and a frame claiming 524288 samples
  // in 80 bytes then passed and was copied from).
  stream::Greeting g = SmallGreeting();
  g.sample_bytes = stream::kMaxRecordBytes;
  g.raw_bytes = stream::kMaxRecordBytes;
  g.max_block_samples = 524288;
  EXPECT_EQ(stream::MaxBlockPayloadBytes(g, true), 16u + 64u + 524288ull * 8192u);
  std::vector<std::uint8_t> wire(8 + 80, 0);
  stream::PutFrameHeader(wire.data(), stream::kFrameBlock, 80);
  scanmon_block block{};
  block.count = 524288;
  stream::PutBlockRecord(wire.data() + 24, block);
  std::uint8_t one_sample[64], one_raw[16];  // never written: the frame is refused
  stream::StreamDecoder decoder;
  decoder.StartBlocks(g, true, one_sample, one_raw, false);
  EXPECT_EQ(Decode(decoder, wire, wire.size()), std::vector<std::uint32_t>{0});
}

TEST(StreamDecoder, FramesInOrderWhateverThePieces) {
  // The greeting and an end frame in one piece (the end is not lost with
  // the greeting); version 2's accept before blocks; a long end text with
  // blocks of very few samples; frames refused where they are not expected.
  std::uint8_t greeting[8 + stream::kGreetingMaxPayload];
  const std::size_t greeting_bytes =
      stream::EncodeGreeting(SmallGreeting(), greeting, sizeof greeting);
  std::uint8_t end[8 + stream::kEndMaxPayload];
  const std::size_t end_bytes =
      stream::EncodeEnd(stream::kEndStopped, std::string(700, 'e').c_str(), end, sizeof end);
  std::uint8_t accept[16];
  const std::size_t accept_bytes = stream::EncodeAccept(3, accept, sizeof accept);
  stream::Greeting one = SmallGreeting();
  one.max_block_samples = 1;
  const std::vector<std::uint8_t> block = BlockFrame(one, false, 1);
  auto join = [](std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const std::vector<std::uint8_t> g(greeting, greeting + greeting_bytes), e(end, end + end_bytes),
      a(accept, accept + accept_bytes);
  struct Case {
    const char* what;
    bool started, accept_first;
    std::vector<std::uint8_t> wire;
    std::vector<std::uint32_t> types;
  } cases[] = {
      {"greeting and end together", false, false, join({g, e}), {1, 4}},
      {"a block before the greeting", false, false, block, {0}},
      {"accept, blocks, a long end", true, true, join({a, block, block, e}), {5, 3, 3, 4}},
      {"a block before the accept", true, true, join({block, a}), {0}},
      {"an accept a version-1 reader never asked for", true, false, join({a, block}), {0}},
      {"a second greeting", true, false, join({g}), {0}},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {1u, 5u, 100000u}) {
      std::uint8_t samples[64];
      stream::StreamDecoder decoder;
      if (c.started) decoder.StartBlocks(one, false, samples, nullptr, c.accept_first);
      EXPECT_EQ(Decode(decoder, c.wire, piece), c.types) << c.what << ", pieces of " << piece;
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
