#include "field_copy.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/files.h"

bool PrepareFieldCopy(const char* source, const char* prc_path, FieldCopy* copy) {
  copy->destination = scan_fields::FieldMapPathFor(prc_path);
  if (source == nullptr) return true;
  copy->source = source;
  std::string error;
  if (!scan_fields::ReadFieldMapFile(source, &copy->map, &error, &copy->text)) {
    std::fprintf(stderr, "capture-record: %s; nothing recorded\n", error.c_str());
    return false;
  }
  std::error_code ignored;
  copy->same_file = std::filesystem::equivalent(source, copy->destination, ignored);
  return true;
}

namespace {

bool Fail(const char* action, const std::string& path, win::DWORD code) {
  char reason[platform::kErrorTextSize];
  platform::DescribeErrorCode(code, reason, sizeof reason);
  std::fprintf(stderr, "capture-record: %s %s failed: %s (error %lu)\n", action, path.c_str(),
               reason, static_cast<unsigned long>(code));
  return false;
}

}  // namespace

bool WriteFieldCopy(const FieldCopy& copy) {
  std::error_code error;
  if (copy.source.empty()) {
    std::filesystem::remove(copy.destination, error);  // an earlier capture's meaning
    return true;
  }
  if (copy.same_file) return true;
  const std::string part = copy.destination + ".part";
  win::HANDLE file = win::CreateFileA(part.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                      win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!win::IsValidHandle(file)) return Fail("creating", part, win::GetLastError());
  win::DWORD written = 0;
  const auto size = static_cast<win::DWORD>(copy.text.size());  // at most 64 KiB
  bool ok = win::WriteFile(file, copy.text.data(), size, &written, nullptr) && written == size;
  win::DWORD code = ok ? 0 : win::GetLastError();
  if (ok && !win::FlushFileBuffers(file)) {
    ok = false;
    code = win::GetLastError();
  }
  win::CloseHandle(file);
  if (!ok) {
    std::filesystem::remove(part, error);
    return Fail("writing", part, code);
  }
  std::filesystem::rename(part, copy.destination, error);
  if (!error) return true;
  std::fprintf(stderr, "capture-record: renaming %s to %s failed: %s\n", part.c_str(),
               copy.destination.c_str(), error.message().c_str());
  std::filesystem::remove(part, error);
  return false;
}

void RemoveFieldCopy(const FieldCopy& copy) {
  if (copy.source.empty() || copy.same_file) return;
  std::error_code ignored;
  std::filesystem::remove(copy.destination, ignored);
}
