#include "platform/error_text.h"

#include <cstdio>
#include <cstring>

#include "platform/format_message.h"

namespace platform {

namespace {

constexpr win::DWORD kMessageFlags =
    win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr win::DWORD kLanguageNeutralDefault = 0x0400;  // LANG_NEUTRAL, SUBLANG_DEFAULT

}  // namespace

bool GetSystemErrorText(win::DWORD code, char* text, std::size_t size) {
  if (size == 0) return false;
  text[0] = '\0';
  // FormatMessageA takes a 32-bit size; no text comes near that.
  constexpr std::size_t kMaxSize = 0xFFFFFFFFu;
  const win::DWORD bounded = static_cast<win::DWORD>(size > kMaxSize ? kMaxSize : size);
  if (win::FormatMessageA(kMessageFlags, nullptr, code, kLanguageNeutralDefault, text, bounded,
                          nullptr) != 0) {
    return true;
  }
  std::snprintf(text, size, "%s", kNoSystemErrorText);
  return false;
}

void TrimLineEnd(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
    text[--length] = '\0';
  }
}

void DescribeErrorCode(win::DWORD code, char* text, std::size_t size) {
  if (size == 0) return;
  char system_text[kErrorTextSize];
  GetSystemErrorText(code, system_text, sizeof system_text);
  TrimLineEnd(system_text);
  std::snprintf(text, size, "%s (error %lu)", system_text, static_cast<unsigned long>(code));
}

}  // namespace platform
