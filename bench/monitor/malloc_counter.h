// Counts heap allocations made through malloc (and so through operator new and
// the C library's own buffers) in this process.
#pragma once

#include <cstdint>

std::uint64_t HeapAllocationCount();
