// The stand-in's layout of the raw and processed sample records, how a sample
// is synthesised from the mirror and the room around the scanner, and how raw
// records are processed.
//
// Raw record (16 bytes, four little-endian words):
//   word 0: status. bit 0 lost-data (meaningful in the last slot of a fetch),
//           bit 1 index mark (the angle encoder wrapped on this sample),
//           bit 2 range valid, bit 3 laser on, bits 8..11 record kind
//           (0 live sample, 1 scripted sample), bits 16..31 signal amplitude.
//   live:     word 1 range in raw counts (kRangeCountsPerInch per inch, plus the
//             card's calibration value), word 2 encoder 1 count (bits 0..15)
//             and encoder 2 count (bits 16..31), word 3 sample number (low 32
//             bits).
//   scripted: words 1 and 2 the angle (IEEE double, low word first), word 3
//             the processed flags (bits 0..15).
//
// Processed record (64 bytes): flags u16 at 0 (bit 0 lost-data, bit 1 range
// valid, bit 2 index mark, bit 3 laser on; a scripted sample's flags as the
// script gave them), amplitude u16 at 2, sample number u32 at 4, angle double
// at 8 (radians), range double at 16 (inches), x and y doubles at 24 and 32
// (inches, the scanner at the origin), encoder 1 and 2 counts u32 at 40 and 44,
// raw range u32 at 48, the true time i64 at 52 and the sample number's high half u32
// at 60 (see below).
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"
#include "standin/calibration_file.h"

namespace standin {

inline constexpr std::uint32_t kRawLost = 0x1;
inline constexpr std::uint32_t kRawIndex = 0x2;
inline constexpr std::uint32_t kRawRangeValid = 0x4;
inline constexpr std::uint32_t kRawLaserOn = 0x8;
inline constexpr std::uint32_t kRawKindShift = 8;
inline constexpr std::uint32_t kRawKindMask = 0xf00;
inline constexpr std::uint32_t kRawKindLive = 0;
inline constexpr std::uint32_t kRawKindScripted = 1;

inline constexpr std::uint16_t kProcessedLost = 0x1;
inline constexpr std::uint16_t kProcessedRangeValid = 0x2;
inline constexpr std::uint16_t kProcessedIndex = 0x4;
inline constexpr std::uint16_t kProcessedLaserOn = 0x8;

inline constexpr int kRangeCountsPerInch = 256;

// What the card knows when it takes or processes a sample.
// The mirror's rate wanders like a real motor's: a slow swing of
// wander_share either way, one cycle every kMirrorWanderPeriodNs.
inline constexpr std::int64_t kMirrorWanderPeriodNs = 7000000000;

struct ScanSetup {
  double mirror_hz = 20.0;
  double wander_share = 0.0;  // 0.003: the rate swings by 0.3 % either way
  // When `changed`, from changed_at_ns on the mirror turns at changed_hz (0: stopped).
  bool changed = false;
  std::int64_t changed_at_ns = 0;
  double changed_hz = 0.0;
  int encoder1_counts = 4096;  // counts per mirror revolution
  int encoder1_offset = 0;
  int encoder2_offset = 0;
  int max_range = 1200;  // inches; farther echoes carry no range
  bool laser_on = true;
  std::int32_t cal_value = 0;  // raw counts of the range channel's zero
  CalibrationData calibration;
};

// Where the mirror's angle encoder stands at time t (ns since the card opened):
// the rate integrated from time 0, wander and change included.
struct EncoderReading {
  std::uint32_t count;  // 0 .. counts-1
  std::int64_t turn;    // whole encoder revolutions so far
};
EncoderReading ReadMirrorEncoder(const ScanSetup& setup, std::int64_t t_ns);

// The raw record of live sample `seq` taken at t_ns, the sample before it
// taken at previous_t_ns (for the index mark).
RawSample MakeLiveSample(const ScanSetup& setup, std::uint64_t seq, std::int64_t t_ns,
                         std::int64_t previous_t_ns);

// The raw record of a scripted sample.
RawSample MakeScriptedSample(double angle, std::uint16_t flags);

// Distance in inches from the scanner to the room's walls along `angle`.
double RoomRange(double angle);

// Calibrated range in inches of a raw range word.
double RangeFromRaw(const ScanSetup& setup, std::uint32_t raw_range);

void ProcessRawSample(const ScanSetup& setup, const RawSample& raw, ProcessedSample* processed);

// Processed offset 52: when the live sample was taken, host monotonic ns (the
// clock of the fetch times), int64; 0 where it is not known (a scripted
// sample, a sample of an earlier run). Offset 60: the sample number's high 32
// bits. What a test measures the library's sample clock against.
inline constexpr int kProcessedTrueTimeOffset = 52;
inline constexpr int kProcessedSampleHighOffset = 60;

}  // namespace standin
