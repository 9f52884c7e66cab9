// Version information of module files, read from the file itself with the
// portable reader (PE version resources, the version note of our ELF builds).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/common/pe_version.h"
#include "platform/errors.h"
#include "platform/linux/errno_map.h"
#include "platform/version_info.h"

namespace win {
namespace {

// A read-only mapping of a whole file, released by UnmapFile.
struct MappedFile {
  void* address;
  std::size_t size;
};

bool MapFile(const char* path, MappedFile* mapped) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    platform_linux::SetLastErrorFromErrno();
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int error = errno;
    ::close(fd);
    platform_linux::SetLastErrorFromErrno(error);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
    ::close(fd);
    SetLastError(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BAD_EXE_FORMAT);
    return false;
  }
  std::size_t size = static_cast<std::size_t>(info.st_size);
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  int error = errno;
  ::close(fd);
  if (address == MAP_FAILED) {
    platform_linux::SetLastErrorFromErrno(error);
    return false;
  }
  *mapped = MappedFile{address, size};
  return true;
}

void UnmapFile(const MappedFile& mapped) {
  ::munmap(mapped.address, mapped.size);
}

// Runs `use` on the version block of `path`; false with the last error set when
// the file has none.
template <typename Use>
bool WithVersionBlock(const char* path, Use use) {
  MappedFile mapped{};
  if (!MapFile(path, &mapped)) return false;
  version_resource::ByteView image{static_cast<const std::uint8_t*>(mapped.address), mapped.size};
  version_resource::ByteView block{nullptr, 0};
  DWORD error = ERROR_SUCCESS;
  bool found = version_resource::FindVersionBlock(image, &block, &error);
  bool used = found && use(block);
  UnmapFile(mapped);
  if (!found) SetLastError(error);
  return used;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) {
  if (handle != nullptr) *handle = 0;
  DWORD size = 0;
  WithVersionBlock(path, [&](version_resource::ByteView block) {
    size = static_cast<DWORD>(block.size);
    return true;
  });
  return size;
}

BOOL GetFileVersionInfoA(const char* path, DWORD /*handle*/, DWORD size, void* data) {
  // Anything shorter than the block's header could not tell its own length.
  if (data == nullptr || size < 6) {
    SetLastError(data == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  bool copied = WithVersionBlock(path, [&](version_resource::ByteView block) {
    std::size_t length = block.size < size ? block.size : size;
    std::memcpy(data, block.data, length);
    // A cut copy says so in its length field: VerQueryValueA reads no further.
    auto* bytes = static_cast<std::uint8_t*>(data);
    bytes[0] = static_cast<std::uint8_t>(length & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(length >> 8);
    return true;
  });
  return copied ? TRUE : FALSE;
}

BOOL VerQueryValueA(const void* block, const char* sub_block, void** buffer, UINT* length) {
  if (block == nullptr || sub_block == nullptr || buffer == nullptr || length == nullptr ||
      std::strcmp(sub_block, "\\") != 0) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  std::size_t claimed = 0;
  std::size_t offset = 0;
  // The block tells its own length in its first word (GetFileVersionInfoA
  // makes a cut copy say its cut length).
  if (!version_resource::ReadBlockLength(version_resource::ByteView{bytes, 2}, &claimed) ||
      !version_resource::FindFixedFileInfo(version_resource::ByteView{bytes, claimed}, &offset)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *buffer = const_cast<std::uint8_t*>(bytes + offset);
  *length = static_cast<UINT>(sizeof(VS_FIXEDFILEINFO));
  return TRUE;
}

}  // namespace win
