// The snapshot's forms (serve/status.h).
#include "serve/status.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

const char* SourceKindName(int kind) {
  switch (kind) {
    case SCANMON_SOURCE_SCANNER:
      return "scanner";
    case SCANMON_SOURCE_CAPTURE:
      return "capture";
    case SCANMON_SOURCE_REMOTE:
      return "remote";
    default:
      return "unknown";
  }
}

const char* SensorModelName(std::uint32_t model) {
  switch (model) {
    case SCANMON_MODEL_50KHZ:
      return "50kHz";
    case SCANMON_MODEL_200KHZ:
      return "200kHz";
    default:
      return "unknown";
  }
}

// The source and its capture header: "source":{...},
void AppendSource(std::string* out, const SourceFigures& f) {
  if (!f.known) {
    out->append("\"source\":null,");
    return;
  }
  const scanmon_capture_header& h = f.header;
  Append(out,
         "\"source\":{\"kind\":\"%s\",\"max_block_samples\":%u,\"raw\":%s,\"fields\":%s,"
         "\"header\":{\"version\":%u,\"sample_period_us\":%u,\"max_range_in\":%u,"
         "\"buf_size\":%u,\"num_samples\":%u,\"calibration_value\":%d,",
         SourceKindName(f.kind), static_cast<unsigned>(f.max_block_samples),
         f.has_raw ? "true" : "false", f.has_fields ? "true" : "false",
         static_cast<unsigned>(h.version), static_cast<unsigned>(h.sample_period_us),
         static_cast<unsigned>(h.max_range_in), static_cast<unsigned>(h.buf_size),
         static_cast<unsigned>(h.num_samples), static_cast<int>(h.calibration_value));
  Append(out,
         "\"motor1_encoder_ppr\":%d,\"motor2_encoder_ppr\":%d,\"motor1_power\":%u,"
         "\"motor2_power\":%u,\"com_port\":%u,\"card_number\":%u,\"sensor_model\":\"%s\","
         "\"cal_file\":\"",
         static_cast<int>(h.motor1_encoder_ppr), static_cast<int>(h.motor2_encoder_ppr),
         static_cast<unsigned>(h.motor1_power), static_cast<unsigned>(h.motor2_power),
         static_cast<unsigned>(h.com_port), static_cast<unsigned>(h.card_number),
         SensorModelName(h.sensor_model));
  // The header's name field is NUL-terminated by the library; held to its
  // size all the same.
  char cal_file[sizeof h.cal_file + 1] = {};
  std::memcpy(cal_file, h.cal_file, sizeof h.cal_file);
  AppendJsonText(out, cal_file);
  out->append("\"}},");
}

constexpr int kClockSettling = 1, kClockLocked = 2, kClockNominal = 3;  // SCANMON_CLOCK_*

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
  const RevolutionFigures& v = s.revolutions;
  Counter(out, "scanmon_revolutions_complete_total",
          "mirror revolutions from one index mark to the next with nothing missing", v.complete);
  Counter(out, "scanmon_revolutions_incomplete_total",
          "revolutions with lost data or dropped samples inside, cut by the run, or without a mark",
          v.incomplete);
  if (v.rate_known) {
    Gauge(out, "scanmon_revolution_rate_hertz",
          "mirror revolutions per second at the last complete revolution's duration", v.rate_hz);
  }
  if (v.clock_state == kClockSettling || v.clock_state == kClockLocked) {
    Gauge(out, "scanmon_clock_locked", "1 when the sample clock is locked, 0 while it settles",
          v.clock_state == kClockLocked ? 1 : 0);
    Gauge(out, "scanmon_clock_rate_hertz", "samples per second of the host's clock, as fitted",
          v.clock_rate_hz);
    Gauge(out, "scanmon_clock_drift_ppm",
          "the card's sample clock against its nominal period, parts per million (+: fast)",
          v.drift_ppm);
    Metric(out, "scanmon_clock_residual_seconds", "gauge",
           "how late fetch returns came after the clock's envelope, over its window");
    Append(out, "scanmon_clock_residual_seconds{quantile=\"0.5\"} %.9g\n", v.residual_median_s);
    Append(out, "scanmon_clock_residual_seconds{quantile=\"0.99\"} %.9g\n", v.residual_p99_s);
  }
  Counter(out, "scanmon_http_requests_total", "HTTP requests answered", s.http_requests);
  Counter(out, "scanmon_http_refused_total",
          "HTTP connections closed at once: more clients than the limit", s.http_refused);
}

namespace {

const char* ClockStateName(int state) {
  switch (state) {
    case kClockSettling:
      return "settling";
    case kClockLocked:
      return "locked";
    case kClockNominal:
      return "nominal";
    default:
      return "none";
  }
}

const char* EventKindName(EventKind kind) {
  return kind == EventKind::kLostData ? "lost" : "dropped";
}

// The first point of a history of `kept` that the query asks for.
std::uint64_t FirstAsked(std::uint64_t from, std::uint64_t total, std::uint64_t kept) {
  const std::uint64_t oldest = total > kept ? total - kept : 0;
  return from < oldest ? oldest : from;
}

}  // namespace

void FormatStatusJson(const StatusSnapshot& s, std::string* out) {
  FormatStatusJson(s, StatusQuery{}, out);
}

void FormatStatusJson(const StatusSnapshot& s, const StatusQuery& query, std::string* out) {
  out->clear();
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  Append(out, "{\"sampling\":%s,\"source_ended\":%s,", s.sampling ? "true" : "false",
         s.ended ? "true" : "false");
  AppendSource(out, s.source);
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
  const RevolutionFigures& v = s.revolutions;
  Append(out, "\"now_s\":%.3f,\"revolutions_complete\":%llu,\"revolutions_incomplete\":%llu,",
         s.taken_s, u(v.complete), u(v.incomplete));
  if (v.rate_known) {
    Append(out, "\"revolution_rate_hz\":%.9g,", v.rate_hz);
  } else {
    out->append("\"revolution_rate_hz\":null,");
  }
  Append(out, "\"clock\":{\"state\":\"%s\"", ClockStateName(v.clock_state));
  if (v.clock_state == kClockSettling || v.clock_state == kClockLocked) {
    Append(out,
           ",\"rate_hz\":%.9g,\"drift_ppm\":%.6g,\"residual_median_s\":%.6g,"
           "\"residual_p99_s\":%.6g,\"lock_after_s\":",
           v.clock_rate_hz, v.drift_ppm, v.residual_median_s, v.residual_p99_s);
    if (v.lock_after_s >= 0) {
      Append(out, "%.3f", v.lock_after_s);
    } else {
      out->append("null");
    }
  }
  out->append("},");
  // The histories: the points asked for, and the number the next will have.
  Append(out, "\"rates_next\":%llu,\"rates\":[", u(s.rates.total));
  if (query.rates_from != kNone) {
    const char* comma = "";
    for (std::uint64_t n = FirstAsked(query.rates_from, s.rates.total, kRateHistory);
         n < s.rates.total; ++n) {
      const RatePoint& p = s.rates.points[n % kRateHistory];
      Append(out, "%s[%.3f,%.5g,%u]", comma, p.t_s, static_cast<double>(p.rate_hz),
             static_cast<unsigned>(p.flags));
      comma = ",";
    }
  }
  Append(out, "],\"events_next\":%llu,\"events\":[", u(s.events.total));
  if (query.events_from != kNone) {
    const char* comma = "";
    for (std::uint64_t n = FirstAsked(query.events_from, s.events.total, kEventHistory);
         n < s.events.total; ++n) {
      const EventPoint& e = s.events.points[n % kEventHistory];
      Append(out, "%s[%.3f,\"%s\",%llu]", comma, e.t_s, EventKindName(e.kind), u(e.samples));
      comma = ",";
    }
  }
  out->append("],");
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

void FormatRevolutionJson(const StatusSnapshot& s, std::string* out) {
  out->clear();
  const LatestRevolution& l = s.latest;
  if (!l.known) {
    out->append("{\"known\":false}\n");
    return;
  }
  Append(out,
         "{\"known\":true,\"number\":%llu,\"flags\":%u,\"count\":%u,\"rate_hz\":%.9g,"
         "\"t_s\":%.3f,",
         static_cast<unsigned long long>(l.number), static_cast<unsigned>(l.flags),
         static_cast<unsigned>(l.count), l.rate_hz, l.t_s);
  if (l.has_range) {
    out->append("\"range_unit\":\"");
    char unit[sizeof l.range_unit + 1] = {};
    std::memcpy(unit, l.range_unit, sizeof l.range_unit);
    AppendJsonText(out, unit);
    out->append("\",");
  } else {
    out->append("\"range_unit\":null,");
  }
  // [ms from its first sample, angle rad(, range)] per point: 4 digits are
  // the screen's, and keep it to a few kB.
  out->append("\"points\":[");
  const int n = l.points < kProfilePoints ? l.points : kProfilePoints;
  for (int i = 0; i < n; ++i) {
    if (l.has_range) {
      // A range the driver's bytes make no number of is no point of the
      // profile.
      const double range = static_cast<double>(l.range[i]);
      if (std::isfinite(range)) {
        Append(out, "%s[%.4g,%.4g,%.4g]", i == 0 ? "" : ",", 1e3 * static_cast<double>(l.time_s[i]),
               static_cast<double>(l.angle[i]), range);
      } else {
        Append(out, "%s[%.4g,%.4g,null]", i == 0 ? "" : ",", 1e3 * static_cast<double>(l.time_s[i]),
               static_cast<double>(l.angle[i]));
      }
    } else {
      Append(out, "%s[%.4g,%.4g]", i == 0 ? "" : ",", 1e3 * static_cast<double>(l.time_s[i]),
             static_cast<double>(l.angle[i]));
    }
  }
  out->append("]}\n");
}

}  // namespace serve
