#include "standin/raw_records.h"

#include <cmath>
#include <cstring>

namespace standin {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// The simulated room: a rectangle 40 ft by 30 ft, the scanner standing off its
// centre, so every direction has a distinct range.
constexpr double kWallEast = 300.0;
constexpr double kWallWest = -180.0;
constexpr double kWallNorth = 150.0;
constexpr double kWallSouth = -210.0;

void StoreU16(ProcessedSample* p, int offset, std::uint16_t value) {
  std::memcpy(reinterpret_cast<unsigned char*>(p) + offset, &value, sizeof value);
}
void StoreU32(ProcessedSample* p, int offset, std::uint32_t value) {
  std::memcpy(reinterpret_cast<unsigned char*>(p) + offset, &value, sizeof value);
}
void StoreDouble(ProcessedSample* p, int offset, double value) {
  std::memcpy(reinterpret_cast<unsigned char*>(p) + offset, &value, sizeof value);
}

// A repeatable amplitude that varies from sample to sample like a real echo.
std::uint32_t Amplitude(std::uint64_t seq, double range) {
  std::uint64_t h = seq * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  double strength = 60000.0 * 100.0 / (100.0 + range);
  return static_cast<std::uint32_t>(strength) - static_cast<std::uint32_t>(h & 0x3ff);
}

// Encoder counts turned from time 0 to t at `hz` with the setup's wander: the
// integral of hz x (1 + share x sin(w t)).
double TurnedCounts(const ScanSetup& setup, double hz, double t_ns) {
  constexpr double kWanderRadPerNs = kTwoPi / static_cast<double>(kMirrorWanderPeriodNs);
  double counts_per_ns = hz * setup.encoder1_counts * 1e-9;
  double counts = counts_per_ns * t_ns;
  if (setup.wander_share != 0.0) {
    counts += counts_per_ns * setup.wander_share * (1.0 - std::cos(kWanderRadPerNs * t_ns)) /
              kWanderRadPerNs;
  }
  return counts;
}

}  // namespace

EncoderReading ReadMirrorEncoder(const ScanSetup& setup, std::int64_t t_ns) {
  double t = static_cast<double>(t_ns);
  double turned = TurnedCounts(setup, setup.mirror_hz, t);
  if (setup.changed && t_ns > setup.changed_at_ns) {
    // Where the mirror stood at the change, then onward at the new rate.
    double change = static_cast<double>(setup.changed_at_ns);
    turned = TurnedCounts(setup, setup.mirror_hz, change) +
             TurnedCounts(setup, setup.changed_hz, t) -
             TurnedCounts(setup, setup.changed_hz, change);
  }
  std::int64_t total = static_cast<std::int64_t>(std::floor(turned)) + setup.encoder1_offset;
  std::int64_t counts = setup.encoder1_counts;
  std::int64_t turn = total >= 0 ? total / counts : -((-total + counts - 1) / counts);
  return EncoderReading{static_cast<std::uint32_t>(total - turn * counts), turn};
}

double RoomRange(double angle) {
  double c = std::cos(angle);
  double s = std::sin(angle);
  double best = 1e9;
  if (c > 1e-12) best = std::fmin(best, kWallEast / c);
  if (c < -1e-12) best = std::fmin(best, kWallWest / c);
  if (s > 1e-12) best = std::fmin(best, kWallNorth / s);
  if (s < -1e-12) best = std::fmin(best, kWallSouth / s);
  return best;
}

double RangeFromRaw(const ScanSetup& setup, std::uint32_t raw_range) {
  double counts = static_cast<double>(raw_range) - setup.cal_value;
  return counts / kRangeCountsPerInch * setup.calibration.range_scale +
         setup.calibration.range_offset;
}

RawSample MakeLiveSample(const ScanSetup& setup, std::uint64_t seq, std::int64_t t_ns,
                         std::int64_t previous_t_ns) {
  EncoderReading now = ReadMirrorEncoder(setup, t_ns);
  EncoderReading before = ReadMirrorEncoder(setup, previous_t_ns);
  double angle = kTwoPi * now.count / setup.encoder1_counts;
  double range = RoomRange(angle);
  std::uint32_t status = kRawKindLive << kRawKindShift;
  std::uint32_t raw_range = 0;
  if (now.turn != before.turn) status |= kRawIndex;
  if (setup.laser_on) {
    status |= kRawLaserOn;
    // The sensor reports what the calibration will turn back into the range.
    double counts = (range - setup.calibration.range_offset) / setup.calibration.range_scale *
                        kRangeCountsPerInch +
                    setup.cal_value;
    if (range <= setup.max_range && counts >= 0.0 && counts < 4294967295.0) {
      status |= kRawRangeValid;
      raw_range = static_cast<std::uint32_t>(std::lround(counts));
    }
    status |= (Amplitude(seq, range) & 0xffffu) << 16;
  }
  std::uint32_t encoder2 = static_cast<std::uint32_t>(setup.encoder2_offset) & 0xffffu;
  return RawSample{{status, raw_range, (now.count & 0xffffu) | (encoder2 << 16),
                    static_cast<std::uint32_t>(seq)}};
}

RawSample MakeScriptedSample(double angle, std::uint16_t flags) {
  std::uint32_t halves[2];
  std::memcpy(halves, &angle, sizeof angle);
  return RawSample{{kRawKindScripted << kRawKindShift, halves[0], halves[1], flags}};
}

void ProcessRawSample(const ScanSetup& setup, const RawSample& raw, ProcessedSample* p) {
  std::memset(p, 0, sizeof *p);
  std::uint32_t status = raw.words[0];
  if (((status & kRawKindMask) >> kRawKindShift) == kRawKindScripted) {
    double angle;
    std::uint32_t halves[2] = {raw.words[1], raw.words[2]};
    std::memcpy(&angle, halves, sizeof angle);
    p->flags = static_cast<std::uint16_t>(raw.words[3]);
    p->angle = angle;
    return;
  }
  std::uint16_t flags = 0;
  if (status & kRawLost) flags |= kProcessedLost;
  if (status & kRawRangeValid) flags |= kProcessedRangeValid;
  if (status & kRawIndex) flags |= kProcessedIndex;
  if (status & kRawLaserOn) flags |= kProcessedLaserOn;
  std::uint32_t encoder1 = raw.words[2] & 0xffffu;
  std::uint32_t encoder2 = raw.words[2] >> 16;
  // A count beyond the encoder's range can only come from a record this card
  // did not write; fold it in rather than report an angle of 2 pi or more.
  double angle = kTwoPi * (encoder1 % static_cast<std::uint32_t>(setup.encoder1_counts)) /
                 setup.encoder1_counts;
  double range = (status & kRawRangeValid) ? RangeFromRaw(setup, raw.words[1]) : 0.0;
  p->flags = flags;
  p->angle = angle;
  StoreU16(p, 2, static_cast<std::uint16_t>(status >> 16));
  StoreU32(p, 4, raw.words[3]);
  StoreDouble(p, 16, range);
  StoreDouble(p, 24, range * std::cos(angle));
  StoreDouble(p, 32, range * std::sin(angle));
  StoreU32(p, 40, encoder1);
  StoreU32(p, 44, encoder2);
  StoreU32(p, 48, raw.words[1]);
}

}  // namespace standin
