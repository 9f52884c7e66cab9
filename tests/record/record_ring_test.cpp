// The ring between the fetch loop and the writer thread: all-or-nothing puts,
// wrap-around, and one producer with one consumer on two threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "record/record_ring.h"

namespace {

// Takes everything waiting, in as many pieces as the storage needs.
std::string TakeAll(RecordRing& ring) {
  std::string out;
  const unsigned char* data = nullptr;
  while (std::size_t n = ring.Peek(&data, 1000)) {
    out.append(reinterpret_cast<const char*>(data), n);
    ring.Drop(n);
  }
  return out;
}

TEST(RecordRing, PutsWholeOrNothingAndWrapsAroundTheStorage) {
  RecordRing ring(10);
  ASSERT_EQ(ring.Capacity(), 10u);
  const struct {
    const char* put;
    bool fits;
    std::size_t take;  // bytes the consumer then takes
    const char* taken;
  } steps[] = {
      {"abcdef", true, 4, "abcd"},  // 2 waiting
      {"ghijklmn", true, 0, ""},    // 10 waiting: full, wrapped
      {"o", false, 0, ""},          // no room: nothing put
      {"", true, 10, "efghijklmn"},  {"0123456789", true, 10, "0123456789"},
      {"0123456789x", false, 0, ""},  // larger than the ring
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.put);
    EXPECT_EQ(ring.Put(step.put, std::strlen(step.put)), step.fits);
    std::string got;
    const unsigned char* data = nullptr;
    while (got.size() < step.take) {
      std::size_t n = ring.Peek(&data, step.take - got.size());
      ASSERT_GT(n, 0u);
      got.append(reinterpret_cast<const char*>(data), n);
      ring.Drop(n);
    }
    EXPECT_EQ(got, step.taken);
  }
  EXPECT_EQ(TakeAll(ring), "");
  EXPECT_EQ(ring.Produced(), ring.Consumed());

  RecordRing none(0);
  EXPECT_FALSE(none.Put("a", 1));
  EXPECT_EQ(TakeAll(none), "");
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
