// Entry points of sampling: the card's sample buffer, fetching and processing.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "standin/angle_script.h"
#include "standin/driver_state.h"
#include "standin/hsif_standin.h"
#include "standin/raw_records.h"
#include "standin/sim_clock.h"
#include "standin/sim_log.h"

using namespace standin;

namespace {

constexpr int kFetchesAlwaysLogged = 3;
constexpr int kSpecialFetchesLogged = 10;
constexpr std::int64_t kFetchLogIntervalNs = 1000000000;
constexpr int kMaxScriptWarnings = 10;

hsif_i32 LogCardCall(const char* name, hsif_i32 card, hsif_i32 result) {
  LogLine("%s card=%d -> %d", name, card, result);
  return result;
}

void WriteLiveSamples(const Card& card, std::uint64_t first_seq, std::int64_t count,
                      RawSample* raw) {
  for (std::int64_t i = 0; i < count; ++i) {
    std::uint64_t seq = first_seq + static_cast<std::uint64_t>(i);
    std::int64_t t = SampleTime(card.stream, seq) - card.mirror_epoch_ns;
    std::int64_t previous = SampleTime(card.stream, seq - 1) - card.mirror_epoch_ns;
    raw[i] = MakeLiveSample(card.setup, seq, t, previous);
  }
}

// In [0, 1), from the card's own sequence (splitmix64), so a seed repeats a
// run's fetch delays and stalls.
double NextShare(Card* card) {
  std::uint64_t z = (card->delay_state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}

// The fetch's late return: uniform in [0, fetch_delay_ms], and on one fetch in
// fetch_stall_every (drawn) a stall uniform in [fetch_stall_ms / 2,
// fetch_stall_ms] on top, as a host that stops the reader for a while; a stall
// longer than the buffer holds makes the card lose samples.
std::int64_t NextFetchDelayNs(Card* card, const SimSettings& settings) {
  double ms = settings.fetch_delay_ms > 0.0 ? NextShare(card) * settings.fetch_delay_ms : 0.0;
  if (settings.fetch_stall_every > 0 &&
      NextShare(card) * static_cast<double>(settings.fetch_stall_every) < 1.0) {
    ms += settings.fetch_stall_ms * (0.5 + 0.5 * NextShare(card));
  }
  return static_cast<std::int64_t>(ms * 1e6);
}

// Writes the true time and the full sample number of a live sample into its
// processed record. The number's high bits are those of the last sample
// delivered, nearest below; samples of an earlier run are not known (0).
void WriteTrueTime(const SampleStream& stream, const RawSample& raw, ProcessedSample* p) {
  if (((raw.words[0] & kRawKindMask) >> kRawKindShift) != kRawKindLive || stream.consumed == 0) {
    return;
  }
  std::uint64_t last = stream.consumed - 1;
  std::uint64_t behind =
      static_cast<std::uint32_t>(static_cast<std::uint32_t>(last) - raw.words[3]);
  if (behind > last) return;
  std::uint64_t seq = last - behind;
  if (seq < stream.run_start_seq) return;
  std::int64_t t = SampleTime(stream, seq);
  std::uint32_t high = static_cast<std::uint32_t>(seq >> 32);
  auto* bytes = reinterpret_cast<unsigned char*>(p);
  std::memcpy(bytes + kProcessedTrueTimeOffset, &t, sizeof t);
  std::memcpy(bytes + kProcessedSampleHighOffset, &high, sizeof high);
}

// A fetch from the live card. Returns the samples written; *lost is set when
// the buffer overflowed since the last fetch.
std::int64_t FetchLive(Card* card, const SimSettings& settings, RawSample* raw,
                       std::int64_t capacity, bool wait, bool* lost) {
  std::uint64_t first = 0;
  std::int64_t count = 0;
  // The samples written before the wait, when the load is known then: a card
  // copies by DMA as its samples arrive, so a fetch returns at its deadline,
  // not after a copy as slow as this simulation's (hundreds of microseconds
  // for 5000 samples), which would make every return late by that much.
  bool written = false;
  std::uint64_t written_first = 0;
  std::int64_t copy_ns = 0;
  if (settings.unpaced) {
    count = capacity;
    TakeSamplesUnpaced(&card->stream, count, &first);
  } else {
    std::int64_t now = MonotonicNs();
    RefreshStream(&card->stream, now);
    if (wait) {
      // Hardware pace: the call returns when a full load is waiting, or the
      // card's half-full mark for a load larger than that (waiting for a full
      // ring would lose samples to the slightest delay), or after at most a
      // second.
      std::int64_t half_buffer = std::max<std::int64_t>(1, card->stream.buffer_samples / 2);
      std::int64_t want = std::min<std::int64_t>(capacity, half_buffer);
      std::int64_t ready = TimeWhenWaiting(card->stream, want);
      // HSIF_SIM_FETCH_DELAY_MS: the host hands the return on late by a
      // varying delay, as a busy machine does; the card's samples stay on
      // their own clock.
      std::int64_t deadline =
          ready < 0 ? now + kIdleFetchWaitNs
                    : std::min(ready + NextFetchDelayNs(card, settings), now + kMaxFetchWaitNs);
      if (ready >= 0) {
        std::int64_t waiting =
            static_cast<std::int64_t>(SamplesTaken(card->stream, deadline) - card->stream.consumed);
        if (waiting >= capacity && waiting <= card->stream.buffer_samples) {
          written_first = card->stream.consumed;
          std::int64_t copy_start = MonotonicNs();
          WriteLiveSamples(*card, written_first, capacity, raw);
          copy_ns = MonotonicNs() - copy_start;
          written = true;
        }
      }
      SleepUntilNs(deadline);
      now = MonotonicNs();
    }
    count = TakeSamples(&card->stream, now, capacity, &first);
  }
  *lost = card->stream.overflowed;
  card->stream.overflowed = false;
  if (!written || first != written_first || count != capacity) {
    // The load turned out otherwise (the caller was late and the ring
    // overflowed): the samples delivered, written now.
    std::int64_t copy_start = MonotonicNs();
    WriteLiveSamples(*card, first, count, raw);
    copy_ns = MonotonicNs() - copy_start;
  }
  card->last_copy_ns = copy_ns;
  return count;
}

// A fetch from the angle script: the next line's samples. Samples beyond the
// capacity are dropped and reported as lost.
std::int64_t FetchScripted(Card* card, RawSample* raw, std::int64_t capacity, bool wait,
                           bool* lost) {
  // One line per fetch at the pace of a live card's fetches.
  if (wait) SleepUntilNs(MonotonicNs() + kIdleFetchWaitNs);
  static char line[kMaxScriptLineChars + 1];
  bool cut = false;
  *lost = false;
  if (!ReadScriptLine(card->script, line, &cut)) return 0;
  ++card->script_line;
  DriverState& driver = Driver();
  std::int64_t count = 0;
  int malformed = 0;
  const char* cursor = line;
  ScriptSample sample{};
  for (;;) {
    TokenResult token = NextScriptSample(&cursor, &sample);
    if (token == TokenResult::kEnd) break;
    if (token == TokenResult::kMalformed) {
      ++malformed;
    } else if (count < capacity) {
      raw[count++] = MakeScriptedSample(sample.angle, sample.flags);
    } else {
      *lost = true;
    }
  }
  if ((malformed > 0 || cut) && driver.script_warnings < kMaxScriptWarnings) {
    ++driver.script_warnings;
    std::fprintf(stderr, "hsif stand-in: angle script line %lld: %d malformed sample(s)%s\n",
                 static_cast<long long>(card->script_line), malformed,
                 cut ? ", line too long (rest ignored)" : "");
  }
  return count;
}

void LogFetch(Card* card, hsif_i32 handle, hsif_i32 capacity, hsif_i32 wait, hsif_i32 result,
              std::int64_t count, bool lost) {
  std::int64_t now = MonotonicNs();
  bool special = result == 0 || lost;
  bool log = card == nullptr || card->fetches <= kFetchesAlwaysLogged ||
             now - card->last_fetch_log_ns >= kFetchLogIntervalNs ||
             (special && card->special_fetches_logged < kSpecialFetchesLogged);
  if (!log) return;
  if (card != nullptr) {
    card->last_fetch_log_ns = now;
    if (special) ++card->special_fetches_logged;
  }
  LogLine("HsifGetBufferedSamples capacity=%d wait=%d card=%d -> %d count=%lld lost=%d fetch=%lld",
          capacity, wait, handle, result, static_cast<long long>(count), lost ? 1 : 0,
          static_cast<long long>(card != nullptr ? card->fetches : 0));
}

}  // namespace

HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingEnable(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) StartStream(&c->stream, MonotonicNs());
  return LogCardCall("HsifSamplingEnable", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingDisable(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) StopStream(&c->stream, MonotonicNs());
  return LogCardCall("HsifSamplingDisable", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSampleEnBit(hsif_i32 card, hsif_i32 on) {
  Card* c = FindOpenCard(card);
  if (c != nullptr && on != 0) StartStream(&c->stream, MonotonicNs());
  if (c != nullptr && on == 0) StopStream(&c->stream, MonotonicNs());
  LogLine("HsifSetSampleEnBit on=%d card=%d -> %d", on, card, c != nullptr ? 1 : 0);
  return c != nullptr ? 1 : 0;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClearSampleBuffer(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) ClearStream(&c->stream, MonotonicNs());
  return LogCardCall("HsifClearSampleBuffer", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClearOverflow(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) {
    RefreshStream(&c->stream, MonotonicNs());
    c->stream.overflowed = false;
  }
  return LogCardCall("HsifClearOverflow", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifClearL1OverflowFlag(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) {
    RefreshStream(&c->stream, MonotonicNs());
    c->stream.overflowed = false;
  }
  return LogCardCall("HsifClearL1OverflowFlag", card, c != nullptr ? 1 : 0);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifDataAvailable(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = -1;
  if (c != nullptr) {
    result = Driver().settings.unpaced
                 ? c->stream.buffer_samples
                 : static_cast<hsif_i32>(RefreshStream(&c->stream, MonotonicNs()));
  }
  return LogCardCall("HsifDataAvailable", card, result);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetOverflowStatus(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = -1;
  if (c != nullptr) {
    if (!Driver().settings.unpaced) RefreshStream(&c->stream, MonotonicNs());
    result = c->stream.overflowed ? 1 : 0;
  }
  return LogCardCall("HsifGetOverflowStatus", card, result);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetBufferedSamples(hsif_i32 card, RawSample* raw,
                                                       hsif_i32 capacity, std::uint32_t* count,
                                                       hsif_i32 wait) {
  Card* c = FindOpenCard(card);
  if (c == nullptr || raw == nullptr || count == nullptr || capacity <= 0) {
    LogFetch(c, card, capacity, wait, 0, 0, false);
    return 0;
  }
  const SimSettings& settings = Driver().settings;
  ++c->fetches;
  if (settings.fail == FailStep::kFetch ||
      (settings.fail_fetch_after >= 0 && c->fetches > settings.fail_fetch_after)) {
    LogFetch(c, card, capacity, wait, 0, 0, false);
    return 0;
  }
  bool lost = false;
  std::int64_t fetched = c->script != nullptr
                             ? FetchScripted(c, raw, capacity, wait != 0, &lost)
                             : FetchLive(c, settings, raw, capacity, wait != 0, &lost);
  if (settings.lose_data_at == c->fetches) lost = true;
  if (settings.mirror_slow_after == c->fetches && !c->setup.changed) {
    // The motor slows (or stops) from the next sample on.
    c->setup.changed_at_ns = SampleTime(c->stream, c->stream.consumed) - c->mirror_epoch_ns;
    c->setup.changed_hz = settings.mirror_slow_hz;
    c->setup.changed = true;
  }
  // The card reports lost data in the status word of the last slot, whether
  // or not a sample landed there.
  if (lost) {
    raw[capacity - 1].words[0] |= kRawLost;
  } else {
    raw[capacity - 1].words[0] &= ~kRawLost;
  }
  *count = static_cast<std::uint32_t>(fetched);
  LogFetch(c, card, capacity, wait, 1, fetched, lost);
  return 1;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifProcessSamples(hsif_i32 card, const RawSample* raw,
                                                   ProcessedSample* processed, hsif_i32 count) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && raw != nullptr && processed != nullptr && count >= 0) {
    for (hsif_i32 i = 0; i < count; ++i) {
      ProcessRawSample(c->setup, raw[i], &processed[i]);
      if (!Driver().settings.unpaced) WriteTrueTime(c->stream, raw[i], &processed[i]);
    }
    result = 1;
  }
  // Called once per fetch: logged as sparingly as the fetches.
  std::int64_t now = MonotonicNs();
  if (c == nullptr || result == 0 || ++c->processes <= kFetchesAlwaysLogged ||
      now - c->last_process_log_ns >= kFetchLogIntervalNs) {
    if (c != nullptr) c->last_process_log_ns = now;
    LogLine("HsifProcessSamples count=%d card=%d -> %d", count, card, result);
  }
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifRaw2Range(hsif_i32 card, hsif_i32 raw_range, double* inches) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && inches != nullptr) {
    *inches = RangeFromRaw(c->setup, static_cast<std::uint32_t>(raw_range));
    result = 1;
  }
  LogLine("HsifRaw2Range raw=%d card=%d -> %d", raw_range, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetResolution(hsif_i32 card, hsif_i32* counts_per_inch) {
  Card* c = FindOpenCard(card);
  if (c != nullptr && counts_per_inch != nullptr) *counts_per_inch = kRangeCountsPerInch;
  return LogCardCall("HsifGetResolution", card, c != nullptr && counts_per_inch != nullptr);
}

namespace {

// Register addresses where the dividers are kept.
constexpr int kSampleDivRegister = 8;
constexpr int kRangeDivRegister = 9;

hsif_i32 SetDivider(const char* name, hsif_i32 card, int address, hsif_i32 divider) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && divider >= 1 && divider <= 65535) {
    c->registers[address] = divider;
    result = 1;
  }
  LogLine("%s divider=%d card=%d -> %d", name, divider, card, result);
  return result;
}

}  // namespace

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSampleDiv(hsif_i32 card, hsif_i32 divider) {
  return SetDivider("HsifSetSampleDiv", card, kSampleDivRegister, divider);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetRangeDiv(hsif_i32 card, hsif_i32 divider) {
  return SetDivider("HsifSetRangeDiv", card, kRangeDivRegister, divider);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetCalValue(hsif_i32 card, hsif_i32* value) {
  Card* c = FindOpenCard(card);
  if (c != nullptr && value != nullptr) *value = c->setup.cal_value;
  return LogCardCall("HsifGetCalValue", card, c != nullptr && value != nullptr);
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifSetCalValue(hsif_i32 card, hsif_i32 value) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && value >= 0 && value <= 65535) {
    c->setup.cal_value = value;
    result = 1;
  }
  LogLine("HsifSetCalValue value=%d card=%d -> %d", value, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifAddFunc(hsif_i32 card, hsif_i32 function_code) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && function_code >= 0 && function_code <= 255 &&
      c->added_function_count < kMaxAddedFunctions) {
    c->added_functions[c->added_function_count++] = function_code;
    result = 1;
  }
  LogLine("HsifAddFunc function=%d card=%d -> %d", function_code, card, result);
  return result;
}
