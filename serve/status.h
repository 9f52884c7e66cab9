// The server's figures as the HTTP side shows them: one snapshot that the
// server's two threads fill a few times a second under a small lock, and
// its forms for Prometheus (/metrics) and for scripts (/status.json). Every
// figure is documented in docs/stream.md, "Metrics".
#pragma once

#include <cstdint>
#include <string>

namespace serve {

constexpr int kStatusMostReaders = 64;

struct ReaderStatus {
  int number = 0;
  char peer[64] = {};
  bool streaming = false;  // past its greeting
  std::uint64_t blocks_sent = 0;
  std::uint64_t samples_lost = 0;
};

struct StatusSnapshot {
  double taken_s = 0;  // the server's monotonic clock when last filled
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
};

// The Prometheus text exposition format (version 0.0.4): HELP and TYPE per
// metric, figures not known left out. Replaces *out.
void FormatMetrics(const StatusSnapshot& s, std::string* out);

// The same figures as one JSON object (figures not known as null).
void FormatStatusJson(const StatusSnapshot& s, std::string* out);

}  // namespace serve
