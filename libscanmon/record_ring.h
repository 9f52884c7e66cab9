// A byte ring between one producer that must never wait and one consumer: the
// scanner source's fetch thread and its reader, and in the capture recorder
// the reading loop and the writer thread.
//
// The card's buffer holds only a fraction of a second at 200 kHz, and a
// stalled fetch loop loses samples on the card. So the fetch thread copies each
// fetch's records into a ring and goes on; the reader (or the writer) takes
// them out at its own pace. The storage is allocated once, when
// the ring is made; Put and the consumer calls never allocate, lock or wait.
//
// Positions are byte counts since the start (64-bit, never wrap in practice);
// the producer owns `head`, the consumer owns `tail`, each published with
// release ordering and read with acquire ordering by the other side.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class RecordRing {
 public:
  // Storage of `capacity` bytes; 0 capacity makes an empty ring that accepts
  // nothing. Allocation failure leaves the ring with capacity 0 (see Capacity).
  explicit RecordRing(std::size_t capacity);
  RecordRing(const RecordRing&) = delete;
  RecordRing& operator=(const RecordRing&) = delete;

  std::size_t Capacity() const { return capacity_; }

  // Producer: free room now (the consumer may only make it larger).
  std::size_t Free() const;
  // Producer: copies `bytes` in whole, or nothing when they do not fit
  // (returns false). Call only after checking Free() when several rings must
  // take a fetch together.
  bool Put(const void* data, std::size_t bytes);

  // Consumer: bytes waiting.
  std::size_t Pending() const;
  // Consumer: the longest run of waiting bytes that is contiguous in storage,
  // at most `limit`; *data points at it.
  std::size_t Peek(const unsigned char** data, std::size_t limit) const;
  // Consumer: copies the first `bytes` waiting (at most Pending()) into
  // `out`, leaving them in the ring.
  void CopyOut(void* out, std::size_t bytes) const;
  // Consumer: releases `bytes` from the front (after writing them).
  void Drop(std::size_t bytes);

  // Producer side's total bytes put; consumer side's total bytes dropped.
  std::uint64_t Produced() const { return head_.load(std::memory_order_acquire); }
  std::uint64_t Consumed() const { return tail_.load(std::memory_order_acquire); }

 private:
  std::unique_ptr<unsigned char[]> storage_;
  std::size_t capacity_ = 0;
  // Each on its own cache line: the two threads write them at high rates.
  alignas(64) std::atomic<std::uint64_t> head_{0};
  alignas(64) std::atomic<std::uint64_t> tail_{0};
};
