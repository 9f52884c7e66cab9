// The ring between the fetch loop and the writer thread: all-or-nothing puts,
// and one producer with one consumer on two threads, wrapping many times.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "record/record_ring.h"

namespace {

TEST(RecordRing, TakesAPutWholeOrNotAtAll) {
  RecordRing ring(10);
  EXPECT_TRUE(ring.Put("abcdef", 6));
  EXPECT_FALSE(ring.Put("ghijk", 5)) << "4 bytes free";
  EXPECT_EQ(ring.Pending(), 6u);
  EXPECT_FALSE(RecordRing(0).Put("a", 1));
}

TEST(RecordRing, OneProducerAndOneConsumerThreadSeeEveryRecordInOrder) {
  // Records of 16 bytes (a counter and its complement) through a ring that
  // holds 64 of them; a record that does not fit is offered again.
  constexpr std::uint64_t kRecords = 400000;
  RecordRing ring(64 * 16);
  std::thread consumer([&] {
    std::uint64_t expected = 0;
    unsigned char partial[16];
    std::size_t have = 0;
    while (expected < kRecords) {
      const unsigned char* data = nullptr;
      std::size_t n = ring.Peek(&data, 16 - have);
      if (n == 0) {
        std::this_thread::yield();
        continue;
      }
      std::memcpy(partial + have, data, n);
      ring.Drop(n);
      have += n;
      if (have < 16) continue;
      have = 0;
      std::uint64_t value = 0, inverse = 0;
      std::memcpy(&value, partial, 8);
      std::memcpy(&inverse, partial + 8, 8);
      ASSERT_EQ(value, expected);
      ASSERT_EQ(inverse, ~expected);
      ++expected;
    }
  });
  for (std::uint64_t i = 0; i < kRecords;) {
    std::uint64_t record[2] = {i, ~i};
    if (ring.Put(record, sizeof record)) {
      ++i;
    } else {
      std::this_thread::yield();
    }
  }
  consumer.join();
  EXPECT_EQ(ring.Consumed(), kRecords * 16);
}

}  // namespace
