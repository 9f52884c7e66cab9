// What both kinds of source share: the per-thread text of the last failure and
// the health figures in the interface's form.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libscanmon/source.h"

namespace scanmon_lib {

namespace {

constexpr std::size_t kErrorBytes = 2048;
thread_local char t_error[kErrorBytes];
// The new text is written here first: its arguments may be the last text
// itself (a reader that adds what it was reading to the text of the failure
// below it), which vsnprintf must not write over while it reads it.
thread_local char t_scratch[kErrorBytes];

}  // namespace

int SetError(int status, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(t_scratch, sizeof t_scratch, format, args);
  va_end(args);
  if (length < 0) {
    t_scratch[0] = '\0';
  }
  std::memcpy(t_error, t_scratch, sizeof t_error);
  return status;
}

void ClearError() {
  t_error[0] = '\0';
}

const char* LastError() {
  return t_error;
}

void FillHealth(const HealthFigures& figures, const HealthTotals& totals, scanmon_health* out) {
  out->rate_known = figures.rate_known ? 1 : 0;
  out->rate_mean = figures.rate_mean;
  out->rate_min = figures.rate_min;
  out->rate_max = figures.rate_max;
  out->rates_known = figures.rates_known ? 1 : 0;
  out->samples_per_s = figures.samples_per_s;
  out->fetches_per_s = figures.fetches_per_s;
  out->angle_known = figures.angle_known ? 1 : 0;
  out->last_angle = figures.last_angle;
  out->no_index_warning = figures.no_index_warning ? 1 : 0;
  out->rate_warning = figures.rate_warning ? 1 : 0;
  out->total_rate_known = totals.rate_known ? 1 : 0;
  out->total_rate_mean = totals.rate_mean;
  out->total_rate_min = totals.rate_min;
  out->total_rate_max = totals.rate_max;
  out->run_s = totals.run_s;
  out->run_s_known = totals.fetches > 0 ? 1 : 0;
  out->fetches = totals.fetches;
  out->samples = totals.samples;
  out->lost_events = totals.lost_events;
  out->index_marks = totals.index_marks;
}

}  // namespace scanmon_lib
