#include "standin/sim_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "standin/sim_settings.h"

namespace standin {

namespace {

// The longest line kept; longer ones are cut and end with "...".
constexpr std::size_t kMaxLineChars = 1024;

char g_log_path[kMaxPathChars] = {};
bool g_open_failure_reported = false;
bool g_write_failure_reported = false;
// The last write may have left part of a line (a full disk, a size limit): the
// next line starts on a line of its own.
bool g_line_torn = false;

void ReportOnce(bool* reported, const char* what) {
  if (*reported) return;
  std::fprintf(stderr, "hsif stand-in: %s the call log %s\n", what, g_log_path);
  *reported = true;
}

}  // namespace

void SetLogPath(const char* path) {
  g_log_path[0] = '\0';
  g_open_failure_reported = false;
  g_write_failure_reported = false;
  g_line_torn = false;
  if (path == nullptr) return;
  std::size_t length = std::strlen(path);
  if (length >= sizeof g_log_path) return;
  std::memcpy(g_log_path, path, length + 1);
}

void LogLine(const char* format, ...) {
  if (g_log_path[0] == '\0') return;
  // The whole line is formatted first and handed to the file in one write, so
  // a reader never sees part of it, and a failed write is known.
  char line[kMaxLineChars + 2];
  std::size_t used = 0;
  if (g_line_torn) line[used++] = '\n';
  std::va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(line + used, kMaxLineChars + 1 - used, format, arguments);
  va_end(arguments);
  if (length < 0) length = 0;
  if (static_cast<std::size_t>(length) > kMaxLineChars - used) {
    std::memcpy(line + kMaxLineChars - 3, "...", 3);
    length = static_cast<int>(kMaxLineChars - used);
  }
  used += static_cast<std::size_t>(length);
  line[used++] = '\n';

  std::FILE* file = std::fopen(g_log_path, "ab");
  if (file == nullptr) {
    ReportOnce(&g_open_failure_reported, "cannot open");
    return;
  }
  std::setvbuf(file, nullptr, _IOFBF, sizeof line);  // one write of the whole line
  bool written = std::fwrite(line, 1, used, file) == used;
  written = std::fclose(file) == 0 && written;
  g_line_torn = !written;
  if (!written) ReportOnce(&g_write_failure_reported, "cannot write to");
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
