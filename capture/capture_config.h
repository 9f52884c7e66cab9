// Reader of a capture configuration file: sixteen settings, one per line, in a
// fixed order, with no keys (position alone says which is which).
//
//   1 configuration version        9 motor 2 power (0..255)
//   2 COM port (1..254)           10 motor 1 encoder ppr
//   3 HSIF card number (0..15)    11 motor 2 encoder ppr
//   4 sampling period, us (>= 5)  12 calibration file name
//   5 max range, in (0..99999)    13 capture base name (gives .raw and .prc)
//   6 buffer size (1..30000)      14 motor stabilisation delay, ms
//   7 samples to capture (not 0)  15 single CPU (1) or not
//   8 motor 1 power (0..255)      16 write the .raw file (1) or not
//
// Numbers are read as scanf's "%d" reads them (leading white space, optional
// sign, digits; anything after the number is a comment); numbers beyond 32 bits
// saturate at INT32_MIN / INT32_MAX. Names end at white space, ';' or the end of
// the line. Files of version 0 or 1 end after line 14. Lines are at most 1023
// characters (a longer one is split and its rest is the next parameter); CR LF
// reads as LF; a NUL byte ends the line's text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/capture_header.h"

// Room the caller gives each file-name output: a 256-character base name, a
// four-character extension and the terminator.
inline constexpr std::size_t kCaptureFileNameBytes = 261;

// Reads `path` (text mode) and fills:
//   header: parameters 1 to 12 (not calibration_value, not sensor_model);
//   *stabilization_delay_ms: parameter 14;
//   capture_file, prc_file (kCaptureFileNameBytes each): base name + ".raw",
//     base name + ".prc";
//   *single_cpu, *write_raw: 1 when parameter 15 / 16 is 1, else 0.
// Each accepted value is echoed on stdout; each failed line prints
// "Error reading parameter %d: \"%s\"\n" and reading goes on. Values that are
// missing or fail keep what they held, except as the rules say (parameters 1,
// 4-7, 10, 11, 14 reach their target before their check; an empty base name
// empties capture_file). A calibration file name of 256 characters or more does
// not fit the header and fails its line, leaving cal_file as it was.
// Returns 1 when the file was opened and no line failed; a file that ends early
// is not a failure, a read error is. Returns 0 after
// "Could not open %s\n" (nothing touched) or after
// "\nERROR: Configuration file parse failed.\n". All pointers must be valid.
int ReadCaptureConfig(const char* path, CaptureHeader* header, std::int32_t* stabilization_delay_ms,
                      char* capture_file, char* prc_file, std::uint8_t* single_cpu,
                      std::uint8_t* write_raw);

// Called for each line that fails, after its message: the parameter number
// (1 to 16) and the line's text as read (with its line feed, if any).
using BadConfigLineHandler = void (*)(int number, const char* line, void* context);

// ReadCaptureConfig, and `on_bad_line` (when not null) for each failed line;
// what it prints on stdout is the same.
int ReadCaptureConfigReporting(const char* path, CaptureHeader* header,
                               std::int32_t* stabilization_delay_ms, char* capture_file,
                               char* prc_file, std::uint8_t* single_cpu, std::uint8_t* write_raw,
                               BadConfigLineHandler on_bad_line, void* context);

// Called for each numeric line read whose number is followed directly by text
// ("12OO", "2,000,000": see capture_config::HasTextAfterNumber), accepted or
// not: the parameter number, the line's text as read and the value read.
using NumberWithTextHandler = void (*)(int number, const char* line, std::int32_t value,
                                       void* context);

// What a caller wants to hear about the lines besides the reader's own output.
struct CaptureConfigReport {
  BadConfigLineHandler on_bad_line = nullptr;
  NumberWithTextHandler on_number_with_text = nullptr;
  void* context = nullptr;
};

// ReadCaptureConfig, calling the report's handlers (those not null); what it
// prints on stdout and what it fills are the same.
int ReadCaptureConfigReported(const char* path, CaptureHeader* header,
                              std::int32_t* stabilization_delay_ms, char* capture_file,
                              char* prc_file, std::uint8_t* single_cpu, std::uint8_t* write_raw,
                              const CaptureConfigReport& report);

// What a configuration file gives, as one record; a fresh one holds what
// ReadCaptureConfig keeps where a line is missing or fails.
struct CaptureConfig {
  CaptureHeader header{};
  std::int32_t stabilization_delay_ms = 0;
  char capture_file[kCaptureFileNameBytes] = {};  // <base>.raw
  char prc_file[kCaptureFileNameBytes] = {};      // <base>.prc
  std::uint8_t single_cpu = 0;
  std::uint8_t write_raw = 0;
};

// ReadCaptureConfigReported into one record.
int ReadCaptureConfigRecord(const char* path, CaptureConfig* config,
                            const CaptureConfigReport& report = CaptureConfigReport{});

// What parameter `number` (1 to 16) accepts, in words ("a whole number 1 to
// 254"), and the description its error message quotes; null for other numbers.
const char* CaptureConfigAccepted(int number);
const char* CaptureConfigDescription(int number);
