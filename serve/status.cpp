// The snapshot's forms (serve/status.h).
#include "serve/status.h"

#include <cstdarg>
#include <cstdio>

namespace serve {
namespace {

void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Append(std::string* out, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out->append(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

void Metric(std::string* out, const char* name, const char* type, const char* help) {
  Append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Counter(std::string* out, const char* name, const char* help, std::uint64_t value) {
  Metric(out, name, "counter", help);
  Append(out, "%s %llu\n", name, static_cast<unsigned long long>(value));
}

void Gauge(std::string* out, const char* name, const char* help, double value) {
  Metric(out, name, "gauge", help);
  Append(out, "%s %.9g\n", name, value);
}

// A peer's text as a JSON string's contents: the address as formatted by
// the server, but never trusted to be plain.
void AppendJsonText(std::string* out, const char* text) {
  for (const char* at = text; *at != '\0'; ++at) {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7f) {
      Append(out, "\\u%04x", c);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

}  // namespace

void FormatMetrics(const StatusSnapshot& s, std::string* out) {
  out->clear();
  Gauge(out, "scanmon_sampling", "1 once the source delivers samples", s.sampling ? 1 : 0);
  Gauge(out, "scanmon_source_ended", "1 once the source ended or failed", s.ended ? 1 : 0);
  Counter(out, "scanmon_fetches_total", "fetches taken from the card", s.fetches);
  Counter(out, "scanmon_samples_total", "samples taken from the card", s.samples);
  Counter(out, "scanmon_samples_dropped_total",
          "samples the card delivered that the server was too far behind to keep",
          s.samples_dropped);
  Counter(out, "scanmon_drop_events_total", "times the dropping of samples began", s.drop_events);
  Counter(out, "scanmon_lost_data_events_total",
          "fetches on which the card reported lost data (its own buffer overflowed)",
          s.lost_data_events);
  Counter(out, "scanmon_index_marks_total", "mirror index marks seen (one per revolution)",
          s.index_marks);
  if (s.rate_known) {
    Gauge(out, "scanmon_mirror_rate_hertz", "mirror revolutions per second over the last second",
          s.mirror_rate_hz);
  }
  Gauge(out, "scanmon_mirror_stopped",
        "1 when no index mark came for over a second of samples (the mirror stands)",
        s.mirror_stopped ? 1 : 0);
  if (s.fetch_interval_known) {
    Gauge(out, "scanmon_fetch_interval_seconds", "mean time between fetches over the last second",
          s.fetch_interval_s);
  }
  Counter(out, "scanmon_blocks_published_total", "blocks the server published to its readers",
          s.blocks_published);
  Gauge(out, "scanmon_readers", "readers connected", s.reader_count);
  Counter(out, "scanmon_readers_refused_total",
          "connections refused (server full, wrong key or version, no greeting)",
          s.readers_refused);
  Counter(out, "scanmon_readers_samples_lost_total",
          "samples lost by readers that fell behind, every reader since the start",
          s.readers_samples_lost);
  Metric(out, "scanmon_reader_blocks_sent_total", "counter", "blocks sent to a connected reader");
  for (int i = 0; i < s.reader_count && i < kStatusMostReaders; ++i) {
    Append(out, "scanmon_reader_blocks_sent_total{reader=\"%d\"} %llu\n", s.readers[i].number,
           static_cast<unsigned long long>(s.readers[i].blocks_sent));
  }
  Metric(out, "scanmon_reader_samples_lost_total", "counter",
         "samples a connected reader lost because it fell behind");
  for (int i = 0; i < s.reader_count && i < kStatusMostReaders; ++i) {
    Append(out, "scanmon_reader_samples_lost_total{reader=\"%d\"} %llu\n", s.readers[i].number,
           static_cast<unsigned long long>(s.readers[i].samples_lost));
  }
  Metric(out, "scanmon_server_cpu_seconds_total", "counter",
         "processor time the server used, every thread");
  Append(out, "scanmon_server_cpu_seconds_total %.6f\n", s.cpu_s);
  Counter(out, "scanmon_http_requests_total", "HTTP requests answered", s.http_requests);
  Counter(out, "scanmon_http_refused_total",
          "HTTP connections closed at once: more clients than the limit", s.http_refused);
}

void FormatStatusJson(const StatusSnapshot& s, std::string* out) {
  out->clear();
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  Append(out, "{\"sampling\":%s,\"source_ended\":%s,", s.sampling ? "true" : "false",
         s.ended ? "true" : "false");
  Append(out, "\"fetches\":%llu,\"samples\":%llu,\"samples_dropped\":%llu,\"drop_events\":%llu,",
         u(s.fetches), u(s.samples), u(s.samples_dropped), u(s.drop_events));
  Append(out, "\"lost_data_events\":%llu,\"index_marks\":%llu,", u(s.lost_data_events),
         u(s.index_marks));
  if (s.rate_known) {
    Append(out, "\"mirror_rate_hz\":%.9g,", s.mirror_rate_hz);
  } else {
    out->append("\"mirror_rate_hz\":null,");
  }
  Append(out, "\"mirror_stopped\":%s,", s.mirror_stopped ? "true" : "false");
  if (s.fetch_interval_known) {
    Append(out, "\"fetch_interval_s\":%.9g,", s.fetch_interval_s);
  } else {
    out->append("\"fetch_interval_s\":null,");
  }
  Append(out, "\"blocks_published\":%llu,\"readers_refused\":%llu,\"readers_samples_lost\":%llu,",
         u(s.blocks_published), u(s.readers_refused), u(s.readers_samples_lost));
  Append(out, "\"server_cpu_s\":%.6f,\"http_requests\":%llu,\"http_refused\":%llu,", s.cpu_s,
         u(s.http_requests), u(s.http_refused));
  out->append("\"readers\":[");
  for (int i = 0; i < s.reader_count && i < kStatusMostReaders; ++i) {
    const ReaderStatus& r = s.readers[i];
    Append(out, "%s{\"reader\":%d,\"peer\":\"", i == 0 ? "" : ",", r.number);
    AppendJsonText(out, r.peer);
    Append(out, "\",\"streaming\":%s,\"blocks_sent\":%llu,\"samples_lost\":%llu}",
           r.streaming ? "true" : "false", u(r.blocks_sent), u(r.samples_lost));
  }
  out->append("]}\n");
}

}  // namespace serve
