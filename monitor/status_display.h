// The monitor's status display (scanmon --status): in place of the angle lines,
// one line of health figures on standard error, rewritten in place on a
// terminal a few times a second, or printed as a plain line every few seconds
// into a file or pipe; and a closing summary when the run ends.
//
// Time is an input (seconds on a monotonic clock) so pacing can be tested.
#pragma once

#include <cstddef>
#include <cstdio>

#include "health/scan_health.h"

// How often the line is refreshed: in place on a terminal, as a new line in a
// log.
inline constexpr double kStatusTerminalInterval = 0.25;
inline constexpr double kStatusLogInterval = 5.0;
// Room for a status line, terminator included.
inline constexpr std::size_t kStatusLineBytes = 200;

struct StatusDisplay {
  bool on_terminal;
  double next_update_s;
  std::size_t shown_length;  // characters of the line now in place (terminal)
};

// Writes the status line for `figures` (no line end) into `line`: mirror rate
// mean and range, samples and fetches per second, data-lost events, last
// angle in degrees, and the warnings. Returns its length.
std::size_t FormatStatusLine(const HealthFigures& figures, char* line, std::size_t size);

void StartStatusDisplay(StatusDisplay& display, bool on_terminal, double now_s);

// True when the line is due again (always before the first update): the
// caller reads the health figures only then, not on every fetch.
bool StatusDisplayDue(const StatusDisplay& display, double now_s);

// Shows the line when it is due.
void UpdateStatusDisplay(StatusDisplay& display, std::FILE* stream, const HealthFigures& figures,
                         double now_s);

// Before another message goes to `stream`: on a terminal, the line in place is
// wiped so the message starts on a clean line; the next update redraws it.
void ClearStatusDisplay(StatusDisplay& display, std::FILE* stream);

// Ends the line in place and prints the closing summary: run time, samples
// and fetches, lost-data events, mirror rate over the run.
void FinishStatusDisplay(StatusDisplay& display, std::FILE* stream, const HealthTotals& totals,
                         double run_s);
