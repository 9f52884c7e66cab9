#include "monitor/status_display.h"

#include <cstdarg>
#include <cstdlib>

#include "monitor/angle.h"

namespace {

// Appends to `line` at *length, never past `size` (the text is cut).
void Append(char* line, std::size_t size, std::size_t* length, const char* format, ...) {
  if (*length + 1 >= size) return;
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(line + *length, size - *length, format, args);
  va_end(args);
  if (written < 0) return;
  std::size_t added = static_cast<std::size_t>(written);
  *length = *length + added < size ? *length + added : size - 1;
}

}  // namespace

std::size_t FormatStatusLine(const HealthFigures& f, char* line, std::size_t size) {
  if (size == 0) return 0;
  line[0] = '\0';
  std::size_t length = 0;
  if (f.rate_known) {
    Append(line, size, &length, "mirror %.2f rev/s (%.2f-%.2f)", f.rate_mean, f.rate_min,
           f.rate_max);
  } else {
    Append(line, size, &length, "mirror -- rev/s");
  }
  if (f.rates_known) {
    Append(line, size, &length, "  %.0f samples/s  %.1f fetches/s", f.samples_per_s,
           f.fetches_per_s);
  } else {
    Append(line, size, &length, "  -- samples/s  -- fetches/s");
  }
  Append(line, size, &length, "  data lost %llu", static_cast<unsigned long long>(f.lost_events));
  if (f.angle_known) {
    // The angle as the angle lines give it, in degrees.
    std::int32_t tenths = AngleTenthsOfDegree(f.last_angle);
    Append(line, size, &length, "  angle %s%d.%d", tenths < 0 ? "-" : "", std::abs(tenths) / 10,
           std::abs(tenths) % 10);
  } else {
    Append(line, size, &length, "  angle --");
  }
  if (f.no_index_warning) Append(line, size, &length, "  ! mirror not turning?");
  if (f.rate_warning) Append(line, size, &length, "  ! mirror rate changed");
  return length;
}

void StartStatusDisplay(StatusDisplay& display, bool on_terminal, double now_s) {
  display.on_terminal = on_terminal;
  display.next_update_s = now_s;
  display.shown_length = 0;
}

bool StatusDisplayDue(const StatusDisplay& display, double now_s) {
  return now_s >= display.next_update_s;
}

void UpdateStatusDisplay(StatusDisplay& display, std::FILE* stream, const HealthFigures& figures,
                         double now_s) {
  if (!StatusDisplayDue(display, now_s)) return;
  display.next_update_s =
      now_s + (display.on_terminal ? kStatusTerminalInterval : kStatusLogInterval);
  char line[kStatusLineBytes];
  std::size_t length = FormatStatusLine(figures, line, sizeof line);
  if (!display.on_terminal) {
    std::fprintf(stream, "%s\n", line);
    std::fflush(stream);
    return;
  }
  // Blanks over what a longer earlier line left, then back to the start.
  int blanks = display.shown_length > length ? static_cast<int>(display.shown_length - length) : 0;
  std::fprintf(stream, "\r%s%*s", line, blanks, "");
  if (blanks > 0) std::fprintf(stream, "\r%s", line);
  std::fflush(stream);
  display.shown_length = length;
}

void ClearStatusDisplay(StatusDisplay& display, std::FILE* stream) {
  if (!display.on_terminal || display.shown_length == 0) return;
  std::fprintf(stream, "\r%*s\r", static_cast<int>(display.shown_length), "");
  display.shown_length = 0;
  display.next_update_s = 0;  // redraw at the next update
}

void FinishStatusDisplay(StatusDisplay& display, std::FILE* stream, const HealthTotals& totals,
                         double run_s) {
  if (display.on_terminal && display.shown_length > 0) std::fprintf(stream, "\n");
  display.shown_length = 0;
  std::fprintf(stream, "Summary: run time %.1f s, %llu samples in %llu fetches, data lost %llu %s",
               run_s, static_cast<unsigned long long>(totals.samples),
               static_cast<unsigned long long>(totals.fetches),
               static_cast<unsigned long long>(totals.lost_events),
               totals.lost_events == 1 ? "time" : "times");
  if (totals.rate_known) {
    std::fprintf(stream, ", mirror %.2f rev/s (%.2f-%.2f)", totals.rate_mean, totals.rate_min,
                 totals.rate_max);
  } else {
    std::fprintf(stream, ", mirror rate unknown (no whole revolution seen)");
  }
  // The mean hides a mirror that stopped or changed rate on the way: say it.
  char events[256];
  DescribeMirrorEvents(totals, events, sizeof events);
  std::fprintf(stream, "%s%s\n", events[0] != '\0' ? "; " : "", events);
  std::fflush(stream);
}
