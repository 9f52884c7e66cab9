// The server's figures as the HTTP side shows them: one snapshot that the
// server's two threads fill a few times a second under a small lock, and
// its forms for Prometheus (/metrics) and for scripts (/status.json). Every
// figure is documented in docs/stream.md, "Metrics".
#pragma once

#include <cstdint>
#include <string>

#include "scanmon/scanmon.h"

namespace serve {

constexpr int kStatusMostReaders = 64;

struct ReaderStatus {
  int number = 0;
  char peer[64] = {};
  bool streaming = false;  // past its greeting
  std::uint64_t blocks_sent = 0;
  std::uint64_t samples_lost = 0;
};

// Revolutions and the sample clock.
struct RevolutionFigures {
  std::uint64_t complete = 0;    // from one index mark to the next, nothing missing
  std::uint64_t incomplete = 0;  // lost data or dropped samples inside, cut, or no mark
  bool rate_known = false;
  double rate_hz = 0;  // the last complete revolution's
  // The source's sample clock (SCANMON_CLOCK_*), its figures after the
  // last block.
  int clock_state = 0;
  double clock_rate_hz = 0;  // samples per second of the host's clock
  double drift_ppm = 0;
  double residual_median_s = 0;
  double residual_p99_s = 0;
  double lock_after_s = -1;  // from the run's first fetch; -1 not yet
};

// The mirror rate per revolution over the last minutes: revolution n (from
// 0, in the order they ended) at points[n % kRateHistory] while
// n + kRateHistory > total.
constexpr int kRateHistory = 4096;
struct RatePoint {
  double t_s;           // the server's clock when the block that ended it came
  float rate_hz;        // revolutions per second at its duration
  std::uint32_t flags;  // SCANMON_REVOLUTION_*
};
struct RateHistory {
  std::uint64_t total = 0;
  RatePoint points[kRateHistory];
};

// The card's lost data and the server's dropped samples, on the same clock.
enum class EventKind : std::uint8_t { kLostData = 1, kDropped = 2 };
constexpr int kEventHistory = 256;
struct EventPoint {
  double t_s;
  std::uint64_t samples;  // lost (as the sample clock sizes them) or dropped
  EventKind kind;
};
struct EventHistory {
  std::uint64_t total = 0;
  EventPoint points[kEventHistory];
};

// The latest revolution drawn, decimated: its angle against time and, with a
// field map that names a "range", the range at each of those samples.
constexpr int kProfilePoints = 400;
struct LatestRevolution {
  bool known = false;
  std::uint64_t number = 0;
  std::uint32_t flags = 0;
  std::uint32_t count = 0;  // its samples, before decimation
  double rate_hz = 0;
  double t_s = 0;  // as RatePoint's
  bool has_range = false;
  char range_unit[20] = {};
  int points = 0;
  float time_s[kProfilePoints];  // from its first sample
  float angle[kProfilePoints];   // radians
  float range[kProfilePoints];   // in range_unit
};

// The source and its settings, as the server's readers get them in their
// greeting: set once at the start.
struct SourceFigures {
  bool known = false;
  int kind = 0;  // SCANMON_SOURCE_*
  std::uint32_t max_block_samples = 0;
  bool has_raw = false;
  bool has_fields = false;  // a field map names the driver's bytes
  scanmon_capture_header header = {};
};

struct StatusSnapshot {
  double taken_s = 0;  // the server's monotonic clock when last filled
  SourceFigures source;
  // The source, from the library's health figures.
  bool sampling = false;
  bool ended = false;  // the source ended or failed: no more blocks
  std::uint64_t fetches = 0;
  std::uint64_t samples = 0;
  std::uint64_t samples_dropped = 0;  // the server behind its own source
  std::uint64_t drop_events = 0;
  std::uint64_t lost_data_events = 0;  // the card's own buffer overflowed
  std::uint64_t index_marks = 0;
  bool rate_known = false;
  double mirror_rate_hz = 0;    // the last second's revolutions, mean
  bool mirror_stopped = false;  // no index mark for over a second
  bool fetch_interval_known = false;
  double fetch_interval_s = 0;
  // The server.
  std::uint64_t blocks_published = 0;
  std::uint64_t readers_refused = 0;
  std::uint64_t readers_samples_lost = 0;  // over every reader, also those that left
  double cpu_s = 0;
  int reader_count = 0;
  ReaderStatus readers[kStatusMostReaders];
  // The HTTP side.
  std::uint64_t http_requests = 0;
  std::uint64_t http_refused = 0;  // connections over the client limit
  // Revolutions, the clock and the events (serve/revolutions.h).
  RevolutionFigures revolutions;
  RateHistory rates;
  EventHistory events;
  LatestRevolution latest;
};

// What /status.json's query asks of the histories: the points numbered from
// these on (those still kept); kNone: none of them.
constexpr std::uint64_t kNone = ~std::uint64_t{0};
struct StatusQuery {
  std::uint64_t rates_from = kNone;
  std::uint64_t events_from = kNone;
};

// The Prometheus text exposition format (version 0.0.4): HELP and TYPE per
// metric, figures not known left out. Replaces *out.
void FormatMetrics(const StatusSnapshot& s, std::string* out);

// The same figures as one JSON object (figures not known as null).
void FormatStatusJson(const StatusSnapshot& s, std::string* out);
// With the histories' points the query asks for, and their next numbers.
void FormatStatusJson(const StatusSnapshot& s, const StatusQuery& query, std::string* out);

// The latest revolution (/revolution.json).
void FormatRevolutionJson(const StatusSnapshot& s, std::string* out);

}  // namespace serve
