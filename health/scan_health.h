// Health of a running scanner, worked out from the samples themselves: how fast
// the scan mirror turns, how many samples and fetches arrive, how often the card
// lost data. The monitor's status line and the capture recorder both feed it.
//
// The mirror's rate comes from the spacing of its index marks (bit 2 of a
// processed sample's flags, once per revolution) counted in samples, times the
// sample period: the card samples at a fixed period, so the sample count is a
// clock that runs even when the program is slow to fetch. Samples and fetches
// per second are counted against the caller's wall clock instead, because they
// say how well the program keeps up.
//
// Use: StartHealth once, FeedHealth once per fetch, ReadHealth whenever a figure
// is shown, SummarizeHealth at the end. A HealthState is a plain record of fixed
// size (keep it in static storage: it holds the revolution ring); nothing here
// allocates, and FeedHealth costs one pass over the fetched flags words.
#pragma once

#include <cstddef>
#include <cstdint>

// The driver's processed sample record (defined with the driver's records).
struct ProcessedSample;

// Revolutions remembered for the one-second window: enough for a mirror at
// 4000 revolutions per second. Beyond that the window covers the latest 4096.
inline constexpr int kHealthRevolutionCapacity = 4096;

struct HealthSettings {
  // The rate warning: the last second's mean mirror rate differs from the
  // running mean by more than this share of the running mean (0.05 = 5 %).
  double rate_warning_share = 0.05;
  // How slowly the running mean follows the rate: each revolution pulls it
  // by (revolution time / this), so a lasting change fades from the warning
  // after a few times this many seconds of samples.
  double running_mean_seconds = 10.0;
};

// One completed revolution: when it ended and how long it took, in seconds of
// samples since StartHealth.
struct HealthRevolution {
  double end_s;
  double duration_s;
};

// Everything the module keeps. Read it only through the functions below.
struct HealthState {
  HealthSettings settings;
  double sample_s;      // seconds of samples fed so far (sample count x period)
  bool have_mark;       // a mark seen since the last break (start, lost data)
  double last_mark_s;   // when that mark came
  double since_mark_s;  // seconds of samples since the latest mark (or start)
  HealthRevolution ring[kHealthRevolutionCapacity];
  int ring_next;   // slot the next revolution goes to
  int ring_count;  // revolutions held, at most the capacity
  bool running_known;
  double running_rate;  // running mean of the mirror rate, revolutions/s
  bool clock_started;
  double window_start_now;  // wall clock where the current counting second began
  std::uint64_t window_samples;
  std::uint64_t window_fetches;
  bool rates_known;
  double samples_per_s;
  double fetches_per_s;
  double first_now;
  double last_now;
  std::uint64_t fetches;
  std::uint64_t samples;
  std::uint64_t lost_events;
  std::uint64_t index_marks;
  std::uint64_t revolutions;
  double revolution_s;  // total duration of all revolutions
  double min_rate;
  double max_rate;
  bool angle_known;
  double last_angle;  // radians, as the driver gives it
  // Episodes for the summary (seconds of samples since StartHealth): the
  // mirror stopped (no mark for more than a second), and its rate away from
  // the running mean by more than the warning share.
  bool in_stop;
  double stop_start_s;
  std::uint64_t stops;
  double stop_total_s;
  double stop_longest_s;
  double stop_longest_at_s;
  bool in_change;
  double change_start_s;
  std::uint64_t changes;
  double change_first_at_s;
  double change_first_from;
  double change_first_to;  // the rate furthest from it the first time away
  double change_longest_s;
};

// What the status line shows.
struct HealthFigures {
  // Mirror revolutions per second over the revolutions that ended in the last
  // second of samples: mean (revolutions / their total time), slowest, fastest.
  // rate_known is false, and the rates 0, when no revolution ended in it.
  bool rate_known;
  double rate_mean;
  double rate_min;
  double rate_max;
  // Samples and fetches per second of wall clock, over the latest whole second
  // counted; rates_known is false until one second has passed.
  bool rates_known;
  double samples_per_s;
  double fetches_per_s;
  std::uint64_t lost_events;  // fetches that reported lost data, so far
  bool angle_known;           // false until a fetch brought a sample
  double last_angle;          // the latest sample's angle, radians
  // No index mark for more than one second of samples: the mirror is not
  // turning, or its index sensor is not seen.
  bool no_index_warning;
  // The last second's mean rate is more than the set share away from the
  // running mean: the mirror speeds up or slows down.
  bool rate_warning;
};

// The closing summary.
struct HealthTotals {
  double run_s;  // wall clock from the first fetch to the last
  std::uint64_t fetches;
  std::uint64_t samples;
  std::uint64_t lost_events;
  std::uint64_t index_marks;
  // Over every revolution of the run (revolutions / their total time), and the
  // slowest and fastest single revolution; rate_known false, rates 0, without one.
  bool rate_known;
  double rate_mean;
  double rate_min;
  double rate_max;
  // When the mirror stopped (no index mark for more than a second of samples):
  // how often, for how long in all, the longest time and where it began (in
  // seconds of samples from the start). A stop still going at the end counts.
  std::uint64_t stops;
  double stop_total_s;
  double stop_longest_s;
  double stop_longest_at_s;
  // When its rate moved away from the running mean by more than the warning
  // share: how often, the first time (when, from which rate to the furthest
  // one then), and the longest time away.
  std::uint64_t rate_changes;
  double change_first_at_s;
  double change_first_from;
  double change_first_to;
  double change_longest_s;
};

// Clears `state` and keeps `settings`. A share or time constant that is not a
// positive finite number is replaced by the default.
void StartHealth(HealthState& state, const HealthSettings& settings);

// Takes one fetch: the first `count` records of `samples` (not read when count
// is 0), whether the card reported lost data on this fetch, the sample period
// in microseconds, and the wall clock in seconds (monotonic, any origin).
// Lost data counts one event and breaks the mark spacing: the revolution across
// the gap is not measured. A period that is not a positive finite number stops
// the sample clock for this fetch and breaks the spacing the same way.
void FeedHealth(HealthState& state, const ProcessedSample* samples, std::uint32_t count,
                bool lost_data, double sample_period_us, double now_s);

// A gap in the samples at this point of the stream (between the fetches fed
// before and after): samples are missing here, for whatever reason (the card's
// buffer started afresh, samples not kept, a break in a file's records), so no
// revolution is measured across it. Counts no lost-data event.
void NoteHealthGap(HealthState& state);

// The current figures and warnings.
HealthFigures ReadHealth(const HealthState& state);

// Totals since StartHealth.
HealthTotals SummarizeHealth(const HealthState& state);

// The stops and rate changes of the totals in words for a summary, e.g.
// "mirror stopped 1 time, 8.0 s in all (longest 8.0 s, from 2.1 s); rate changed
// 1 time (first at 5.0 s: 20.00 to 10.00 rev/s; longest 12.3 s)", times in
// seconds of samples from the start; an empty text when there were none.
void DescribeMirrorEvents(const HealthTotals& totals, char* out, std::size_t size);
