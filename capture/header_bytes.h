// Little-endian byte forms of the header's integer fields, independent of the
// host's byte order and of struct layout.
#pragma once

#include <cstdint>

namespace capture_bytes {

inline void EncodeLe32(std::uint32_t value, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value >> 16);
  out[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint32_t DecodeLe32(const unsigned char in[4]) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace capture_bytes
