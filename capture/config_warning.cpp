#include "capture/config_warning.h"

#include <cstdio>
#include <cstring>

#include "capture/capture_config.h"
#include "capture/config_line.h"

void ShowConfigLine(const char* line, char* shown, std::size_t size) {
  if (size < 4) return;
  const std::size_t room = size - 4;
  std::size_t length = 0;
  for (; line[length] != '\0' && line[length] != '\n' && length < room; ++length) {
    const unsigned char c = static_cast<unsigned char>(line[length]);
    shown[length] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  const bool cut = line[length] != '\0' && line[length] != '\n';
  std::memcpy(shown + length, cut ? "..." : "", cut ? 4 : 1);
}

void FormatNumberWithText(char* out, std::size_t size, const char* program, const char* path,
                          int number, const char* line, std::int32_t value) {
  constexpr std::size_t kShownChars = 80;
  char shown[kShownChars + 4];
  ShowConfigLine(line, shown, sizeof shown);
  char intent[96];
  capture_config::DescribeLikelyIntent(line, intent, sizeof intent);
  std::snprintf(out, size, "%s: warning: %s line %d (%s): \"%s\" is read as %ld; likely meant %s\n",
                program, path, number, CaptureConfigDescription(number), shown,
                static_cast<long>(value), intent);
}

void WarnNumberWithText(std::FILE* stream, const char* program, const char* path, int number,
                        const char* line, std::int32_t value) {
  char text[8192];  // room for any path the system takes
  FormatNumberWithText(text, sizeof text, program, path, number, line, value);
  std::fputs(text, stream);
}
