#include "standin/sim_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "standin/sim_settings.h"

namespace standin {

namespace {

char g_log_path[kMaxPathChars] = {};
bool g_open_failure_reported = false;

}  // namespace

void SetLogPath(const char* path) {
  g_log_path[0] = '\0';
  g_open_failure_reported = false;
  if (path == nullptr) return;
  std::size_t length = std::strlen(path);
  if (length >= sizeof g_log_path) return;
  std::memcpy(g_log_path, path, length + 1);
}

void LogLine(const char* format, ...) {
  if (g_log_path[0] == '\0') return;
  std::FILE* file = std::fopen(g_log_path, "a");
  if (file == nullptr) {
    if (!g_open_failure_reported) {
      std::fprintf(stderr, "hsif stand-in: cannot open the call log %s\n", g_log_path);
      g_open_failure_reported = true;
    }
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file, format, arguments);
  va_end(arguments);
  std::fputc('\n', file);
  std::fclose(file);
}

void QuoteForLog(const char* text, int length, char* out, int out_size) {
  static constexpr char kHex[] = "0123456789abcdef";
  int used = 0;
  for (int i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool plain = c > 0x20 && c < 0x7f && c != '\\';
    int need = plain ? 1 : 4;
    if (used + need + 4 > out_size) {  // room for "..." and the NUL
      std::memcpy(out + used, "...", 3);
      used += 3;
      break;
    }
    if (plain) {
      out[used++] = static_cast<char>(c);
    } else {
      out[used++] = '\\';
      out[used++] = 'x';
      out[used++] = kHex[c >> 4];
      out[used++] = kHex[c & 0xf];
    }
  }
  out[used] = '\0';
}

}  // namespace standin
