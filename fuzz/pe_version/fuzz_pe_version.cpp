// Feeds any bytes to the version reader as a module file's content. A block it
// finds must lie inside the input; the block is then copied, whole and cut to
// a length taken from the input, into buffers of exactly that size and queried
// as GetFileVersionInfoA's callers query it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/common/pe_version.h"
#include "platform/version_info.h"

namespace {

void QueryCopy(version_resource::ByteView block, std::size_t length) {
  if (length < 6) return;  // GetFileVersionInfoA refuses smaller buffers
  if (length > block.size) length = block.size;
  std::vector<std::uint8_t> copy(block.data, block.data + length);
  copy[0] = static_cast<std::uint8_t>(length & 0xFF);
  copy[1] = static_cast<std::uint8_t>(length >> 8);
  void* value = nullptr;
  win::UINT value_length = 0;
  if (win::VerQueryValueA(copy.data(), "\\", &value, &value_length)) {
    auto* start = static_cast<std::uint8_t*>(value);
    if (start < copy.data() || start + value_length > copy.data() + copy.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  version_resource::ByteView block{nullptr, 0};
  win::DWORD error = 0;
  if (!version_resource::FindVersionBlock(version_resource::ByteView{data, size}, &block, &error))
    return 0;
  if (block.data < data || block.data + block.size > data + size) std::abort();
  std::size_t offset = 0;
  version_resource::FindFixedFileInfo(block, &offset);
  QueryCopy(block, block.size);
  QueryCopy(block, size > 0 ? data[size - 1] : 0);
  return 0;
}
