// Arithmetic on the nanosecond times a block index carries. A file's times are
// outside input: a hostile or damaged index may hold any 64-bit values, and a
// difference or a sum of two of them may not fit. These say so (false) instead
// of overflowing; the caller refuses the file or notes the time as unknown.
#pragma once

#include <cstdint>
#include <limits>

namespace checked_time {

inline constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

inline bool Add(std::int64_t a, std::int64_t b, std::int64_t* out) {
  if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return false;
  *out = a + b;
  return true;
}

inline bool Subtract(std::int64_t a, std::int64_t b, std::int64_t* out) {
  if ((b < 0 && a > kMax + b) || (b > 0 && a < kMin + b)) return false;
  *out = a - b;
  return true;
}

// `a` (0 or more) times `times`.
inline bool Multiply(std::int64_t a, std::uint64_t times, std::int64_t* out) {
  if (a < 0) return false;
  if (times != 0 && static_cast<std::uint64_t>(a) > static_cast<std::uint64_t>(kMax) / times) {
    return false;
  }
  *out = static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * times);
  return true;
}

// a + b, or the nearest end of the range when it does not fit.
inline std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  return Add(a, b, &sum) ? sum : b > 0 ? kMax : kMin;
}

inline std::int64_t SaturatingSubtract(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  return Subtract(a, b, &difference) ? difference : b < 0 ? kMax : kMin;
}

}  // namespace checked_time
