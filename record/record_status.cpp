#include "record/record_status.h"

#include <cstdarg>
#include <cstring>

#include "platform/error_text.h"

namespace {

constexpr double kTerminalIntervalS = 0.25;
constexpr double kPlainIntervalS = 5.0;

void FormatDuration(double seconds, char* out, std::size_t size) {
  if (seconds < 0) seconds = 0;
  unsigned long total = static_cast<unsigned long>(seconds + 0.5);
  std::snprintf(out, size, "%lu:%02lu:%02lu", total / 3600, total / 60 % 60, total % 60);
}

}  // namespace

void StatusLine::Update(std::uint64_t done, std::uint64_t total, std::uint64_t lost_events,
                        std::uint64_t bytes_written, const HealthFigures& health,
                        double elapsed_s) {
  next_s_ = elapsed_s + (terminal_ ? kTerminalIntervalS : kPlainIntervalS);
  double rate = elapsed_s > 0 ? static_cast<double>(done) / elapsed_s : 0;
  char left[32] = "-";
  if (rate > 0) FormatDuration(static_cast<double>(total - done) / rate, left, sizeof left);
  char mirror[32] = "-";
  if (health.rate_known) std::snprintf(mirror, sizeof mirror, "%.2f", health.rate_mean);
  char line[200];
  int n =
      std::snprintf(line, sizeof line,
                    "%llu/%llu samples (%.1f%%) %.0f/s %.1f MB, %s left, lost %llu, "
                    "mirror %s rev/s",
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                    total > 0 ? 100.0 * static_cast<double>(done) / total : 0.0, rate,
                    static_cast<double>(bytes_written) / 1e6, left,
                    static_cast<unsigned long long>(lost_events), mirror);
  std::size_t width = n > 0 ? static_cast<std::size_t>(n) : 0;
  if (terminal_) {
    // Carriage return and blanks over what the longer previous line left.
    std::fprintf(stderr, "\r%s%*s", line,
                 static_cast<int>(last_width_ > width ? last_width_ - width : 0), "");
    std::fflush(stderr);
    last_width_ = width;
    line_open_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
}

void StatusLine::Note(const char* format, ...) {
  if (line_open_) std::fputc('\n', stderr);
  line_open_ = false;
  last_width_ = 0;
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void StatusLine::Finish() {
  if (line_open_) std::fputc('\n', stderr);
  line_open_ = false;
}

void TakeWriterFigures(const CaptureWriter& writer, SummaryFigures* summary) {
  summary->ring_peak = writer.PeakFill();
  summary->ring_bytes = writer.RingBytes();
  for (int i = 0; i < CaptureWriter::kFiles; ++i) {
    summary->paths[i] = writer.FilePath(i);
    summary->bytes[i] = writer.FileBytes(i);
  }
  summary->index_bytes = writer.IndexBytes();
  summary->syncs = writer.Syncs();
  summary->sync_s = writer.SyncSeconds();
  summary->sync_longest_s = writer.LongestSyncSeconds();
}

void PrintSummary(const SummaryFigures& s) {
  std::printf("Samples recorded: %llu of %llu\n", static_cast<unsigned long long>(s.recorded),
              static_cast<unsigned long long>(s.configured));
  char duration[32];
  FormatDuration(s.seconds, duration, sizeof duration);
  std::printf("Duration: %.3f s (%s)\n", s.seconds, duration);
  std::printf("Mean rate: %.0f samples/s\n",
              s.seconds > 0 ? static_cast<double>(s.recorded) / s.seconds : 0.0);
  std::printf("Lost-data events: %llu\n", static_cast<unsigned long long>(s.lost_events));
  if (s.ring_events > 0) {
    std::printf("Ring full: %llu times, %llu samples not kept\n",
                static_cast<unsigned long long>(s.ring_events),
                static_cast<unsigned long long>(s.ring_dropped));
  }
  if (s.health.rate_known) {
    std::printf("Mirror: %.3f rev/s mean (%.3f min, %.3f max), %llu index marks\n",
                s.health.rate_mean, s.health.rate_min, s.health.rate_max,
                static_cast<unsigned long long>(s.health.index_marks));
  } else {
    std::printf("Mirror: no whole revolution seen (%llu index marks)\n",
                static_cast<unsigned long long>(s.health.index_marks));
  }
  char events[256];
  DescribeMirrorEvents(s.health, events, sizeof events);
  if (events[0] != '\0') std::printf("Mirror events: %s\n", events);
  std::printf("Ring: at most %.1f of %.1f MB held\n", static_cast<double>(s.ring_peak) / 1e6,
              static_cast<double>(s.ring_bytes) / 1e6);
  for (int i = 0; i < 2; ++i) {
    if (s.paths[i] == nullptr) continue;
    std::printf("File: %s, %llu bytes\n", s.paths[i], static_cast<unsigned long long>(s.bytes[i]));
  }
  if (s.syncs > 0) {
    std::printf("Syncs to the device: %u, %.3f s in all, the longest %.3f s\n", s.syncs, s.sync_s,
                s.sync_longest_s);
  }
  if (s.index_path != nullptr && s.index_bytes > 0) {
    std::printf("Index: %s, %llu bytes\n", s.index_path,
                static_cast<unsigned long long>(s.index_bytes));
  }
}

void DescribeError(win::DWORD code, char* out, std::size_t size) {
  char text[platform::kErrorTextSize];
  platform::GetSystemErrorText(code, text, sizeof text);
  platform::TrimLineEnd(text);
  std::snprintf(out, size, "%s (error %lu)", text, static_cast<unsigned long>(code));
}
