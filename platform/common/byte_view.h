// A bounded view of bytes that came from outside (a file, a fuzzer): every read
// names its offset and checks it against the view, so no field of a damaged file
// can make a reader leave the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace version_resource {

struct ByteView {
  const std::uint8_t* data;
  std::size_t size;
};

// True when `length` bytes from `offset` lie inside `view` (no overflow).
inline bool HoldsRange(ByteView view, std::uint64_t offset, std::uint64_t length) {
  return offset <= view.size && length <= view.size - offset;
}

// The `length` bytes at `offset`, or an empty view with a null address when they
// do not lie inside `view`.
inline ByteView SubView(ByteView view, std::uint64_t offset, std::uint64_t length) {
  if (!HoldsRange(view, offset, length)) return ByteView{nullptr, 0};
  return ByteView{view.data + offset, static_cast<std::size_t>(length)};
}

// Unsigned little- or big-endian fields; false when the field does not lie inside
// `view` (the output is then left alone).
inline bool ReadUnsigned(ByteView view, std::uint64_t offset, unsigned width, bool big_endian,
                         std::uint64_t* value) {
  if (!HoldsRange(view, offset, width)) return false;
  std::uint64_t result = 0;
  for (unsigned i = 0; i < width; ++i) {
    unsigned shift = big_endian ? 8 * (width - 1 - i) : 8 * i;
    result |= static_cast<std::uint64_t>(view.data[offset + i]) << shift;
  }
  *value = result;
  return true;
}

inline bool ReadLe16(ByteView view, std::uint64_t offset, std::uint32_t* value) {
  std::uint64_t wide = 0;
  if (!ReadUnsigned(view, offset, 2, false, &wide)) return false;
  *value = static_cast<std::uint32_t>(wide);
  return true;
}

inline bool ReadLe32(ByteView view, std::uint64_t offset, std::uint32_t* value) {
  std::uint64_t wide = 0;
  if (!ReadUnsigned(view, offset, 4, false, &wide)) return false;
  *value = static_cast<std::uint32_t>(wide);
  return true;
}

}  // namespace version_resource
