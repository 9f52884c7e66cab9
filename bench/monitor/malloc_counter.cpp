// glibc lets a program interpose malloc and reach the real allocator through
// __libc_malloc; the benchmark uses that to prove a round allocates nothing.
#include "bench/monitor/malloc_counter.h"

#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);

namespace {
std::atomic<std::uint64_t> g_allocations{0};
}

extern "C" void* malloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}

std::uint64_t HeapAllocationCount() {
  return g_allocations.load(std::memory_order_relaxed);
}
