#include "libscanmon/record_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

RecordRing::RecordRing(std::size_t capacity) {
  if (capacity == 0) return;
  storage_.reset(new (std::nothrow) unsigned char[capacity]);
  if (storage_ != nullptr) capacity_ = capacity;
}

std::size_t RecordRing::Free() const {
  std::uint64_t used =
      head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire);
  return capacity_ - static_cast<std::size_t>(used);
}

bool RecordRing::Put(const void* data, std::size_t bytes) {
  if (bytes > Free()) return false;
  if (bytes == 0) return true;
  std::uint64_t head = head_.load(std::memory_order_relaxed);
  std::size_t at = static_cast<std::size_t>(head % capacity_);
  std::size_t first = std::min(bytes, capacity_ - at);
  const auto* in = static_cast<const unsigned char*>(data);
  std::memcpy(storage_.get() + at, in, first);
  std::memcpy(storage_.get(), in + first, bytes - first);
  head_.store(head + bytes, std::memory_order_release);
  return true;
}

std::size_t RecordRing::Pending() const {
  return static_cast<std::size_t>(head_.load(std::memory_order_acquire) -
                                  tail_.load(std::memory_order_relaxed));
}

std::size_t RecordRing::Peek(const unsigned char** data, std::size_t limit) const {
  std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  std::size_t pending = Pending();
  if (capacity_ == 0 || pending == 0) {
    *data = nullptr;
    return 0;
  }
  std::size_t at = static_cast<std::size_t>(tail % capacity_);
  *data = storage_.get() + at;
  return std::min({pending, capacity_ - at, limit});
}

void RecordRing::CopyOut(void* out, std::size_t bytes) const {
  if (capacity_ == 0 || bytes == 0) return;
  std::size_t at = static_cast<std::size_t>(tail_.load(std::memory_order_relaxed) % capacity_);
  std::size_t first = std::min(bytes, capacity_ - at);
  auto* to = static_cast<unsigned char*>(out);
  std::memcpy(to, storage_.get() + at, first);
  std::memcpy(to + first, storage_.get(), bytes - first);
}

void RecordRing::Drop(std::size_t bytes) {
  tail_.store(tail_.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
}
