// The block index file's form: a record survives the trip to bytes and back,
// and a reader tells this version's files from others.
#include <gtest/gtest.h>

#include <cstring>

#include "capture/block_index.h"

namespace {

TEST(BlockIndex, RecordRoundTripsLittleEndian) {
  BlockRecord record{};
  record.sequence = 0x0102030405060708ull;
  record.first_sample = 7;
  record.first_record = 5;
  record.count = 0xA0B0C0D0u;
  record.flags = SCANMON_BLOCK_CARD_LOST | SCANMON_BLOCK_DROPPED;
  record.dropped_before = 2;
  record.utc_ns = -3;
  record.mono_ns = 1700000000123456789ll;
  unsigned char bytes[kBlockRecordBytes];
  EncodeBlockRecord(record, bytes);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[24], 0xD0);
  EXPECT_EQ(bytes[28], 3);
  BlockRecord back = DecodeBlockRecord(bytes);
  EXPECT_EQ(std::memcmp(&back, &record, sizeof record), 0);
}

TEST(BlockIndex, HeaderCheckRefusesOthersAndAcceptsLargerSteps) {
  unsigned char good[kBlockIndexHeaderBytes];
  EncodeBlockIndexHeader(good);
  const struct {
    const char* name;
    int at;  // byte changed (-1: none)
    unsigned char value;
    std::size_t size;
    BlockIndexCheck check;
  } cases[] = {
      {"this version", -1, 0, 32, BlockIndexCheck::kOk},
      {"short", -1, 0, 31, BlockIndexCheck::kShort},
      {"magic", 7, 'Y', 32, BlockIndexCheck::kMagic},
      {"version 1 (no fingerprint)", 8, 1, 32, BlockIndexCheck::kOk},
      {"version 0", 8, 0, 32, BlockIndexCheck::kVersion},
      {"version 3", 8, 3, 32, BlockIndexCheck::kVersion},
      {"header below 32", 12, 16, 32, BlockIndexCheck::kSizes},
      {"record below 64", 16, 32, 32, BlockIndexCheck::kSizes},
      {"later, larger record", 16, 80, 32, BlockIndexCheck::kOk},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    unsigned char bytes[kBlockIndexHeaderBytes];
    std::memcpy(bytes, good, sizeof bytes);
    if (k.at >= 0) bytes[k.at] = k.value;
    std::uint32_t header = 0, record = 0;
    EXPECT_EQ(CheckBlockIndexHeader(bytes, k.size, &header, &record), k.check);
    if (k.check == BlockIndexCheck::kOk) {
      EXPECT_EQ(record, k.at == 16 ? 80u : 64u);
    }
  }
  // The fingerprint's place, and FNV-1a's published value for "a".
  unsigned char marked[kBlockIndexHeaderBytes];
  EncodeBlockIndexHeader(marked, 256, 0x1122334455667788ull);
  EXPECT_EQ(marked[8], 2);
  EXPECT_EQ(marked[20], 0);
  EXPECT_EQ(marked[21], 1);
  EXPECT_EQ(marked[24], 0x88);
  EXPECT_EQ(marked[31], 0x11);
  const unsigned char a = 'a';
  EXPECT_EQ(FingerprintAdd(kFingerprintBasis, &a, 1), 0xAF63DC4C8601EC8Cull);
  char path[32];
  ASSERT_TRUE(BlockIndexPathFor("d.x/scan01.prc", path, sizeof path));
  EXPECT_STREQ(path, "d.x/scan01.idx");
  ASSERT_TRUE(BlockIndexPathFor("d.x/scan01", path, sizeof path));
  EXPECT_STREQ(path, "d.x/scan01.idx");
  EXPECT_FALSE(BlockIndexPathFor("a-rather-long-name.prc", path, 8));
}

}  // namespace
