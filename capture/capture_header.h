// The capture header: the settings under which a capture was taken, and its
// binary form at offset 0 of a capture file.
//
// File form (packed, little-endian; note that calibration_value follows the
// two encoder fields, unlike the record):
//   0 version, 4 sample_period, 8 max_range, 12 buf_size, 16 num_samples,
//   20 motor1_encoder_ppr, 24 motor2_encoder_ppr, 28 calibration_value   (4 bytes each)
//   32 motor1_power, 33 motor2_power, 34 comport, 35 card_number          (1 byte each)
//   36 cal_file (256 bytes: the name, its NUL, then filler)
//   292 sensor_model (1 byte, version 3 only: 0 or 1)
// A version-3 header is 293 bytes; a header of any other version ends after
// cal_file and is 292 bytes. The data after the header belongs to the caller.
//
// Files are reached through the platform layer's handles (win::CreateFileA,
// win::ReadFile, win::WriteFile), synchronously. Every message goes to stdout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

inline constexpr std::size_t kCalFileBytes = 256;
inline constexpr std::size_t kCaptureHeaderBytes = 293;       // version 3
inline constexpr std::size_t kCaptureHeaderBytesOther = 292;  // any other version
inline constexpr std::uint32_t kCaptureHeaderVersion = 3;
// The records after the header: a .prc file's processed ones, a .raw file's
// the card's raw ones.
inline constexpr std::size_t kRawRecordBytes = 16;
inline constexpr std::size_t kProcessedRecordBytes = 64;

// AR4000 models as the header records them.
inline constexpr std::uint8_t kSensorModel50kHz = 0;
inline constexpr std::uint8_t kSensorModel200kHz = 1;
inline constexpr std::uint8_t kSensorModelUnknown = 255;  // header of a version other than 3

// A plain value: copied whole, owns nothing.
struct CaptureHeader {
  std::uint32_t version;        // written headers always carry 3
  std::uint32_t sample_period;  // microseconds
  std::uint32_t max_range;      // inches
  std::uint32_t buf_size;       // samples held between transfers
  std::uint32_t num_samples;    // samples to capture
  std::int32_t calibration_value;
  std::int32_t motor1_encoder_ppr;
  std::int32_t motor2_encoder_ppr;
  std::uint8_t motor1_power;
  std::uint8_t motor2_power;
  std::uint8_t comport;          // COM port number
  std::uint8_t card_number;      // HSIF card number
  char cal_file[kCalFileBytes];  // NUL-terminated when written by this program;
                                 // a header read from a file may lack the NUL
  std::uint8_t sensor_model;     // kSensorModel50kHz, kSensorModel200kHz or kSensorModelUnknown
};

// One synchronous write of `count` bytes from `buffer` at the handle's position.
// Returns 1 when the platform reports success and all `count` bytes were
// written; 0 when the write fails or is short. No message, no retry.
int WriteExact(win::HANDLE handle, const void* buffer, win::DWORD count);

// One synchronous read of `count` bytes into `buffer`. Returns 1 when the
// platform reports success and exactly `count` bytes arrived; 0 otherwise (end
// of file included). No message, no retry.
int ReadExact(win::HANDLE handle, void* buffer, win::DWORD count);

// Writes `header` as a version-3 header at the handle's current position, one
// WriteExact per field in file order (fourteen transfers, 293 bytes). The
// version written is 3 whatever the record says; the caller's record is not
// changed. Returns 1 when all 293 bytes are written; 0 at the first failed or
// short transfer, leaving the bytes written so far in the file. Prints nothing;
// never opens, seeks, flushes or closes the handle.
int WriteCaptureHeader(win::HANDLE handle, CaptureHeader header);

// Opens the existing file `path` read-only and exclusively (no other opener may
// read or write it meanwhile), reads its header into `*header` and prints the
// fifteen-line report on stdout.
//   *handle_out: INVALID_HANDLE_VALUE when the open fails; otherwise the open
//   handle, on success and failure alike, and the caller must close it. On
//   success it is positioned just after the header (293 for version 3, 292
//   otherwise).
// Returns 1 when the whole header was read and is valid. Returns 0 after
// "Could not open %s\n" when the file cannot be opened (record untouched);
// returns 0 silently when the file ends inside the header, a read fails, or a
// version-3 model byte is neither 0 nor 1. Fields read before a failure stay in
// the record (a bad model byte included); a failed field keeps its old value.
// A version other than 3 sets sensor_model to kSensorModelUnknown.
int ReadCaptureHeader(const char* path, win::HANDLE* handle_out, CaptureHeader* header);

// ReadCaptureHeader without a word on stdout (the open's failure included).
int ReadCaptureHeaderQuietly(const char* path, win::HANDLE* handle_out, CaptureHeader* header);

// The header read from an open file at its position, as ReadCaptureHeader
// reads it (the one reader of capture headers: the tools and the library's
// capture source alike). 1 when whole and valid, the handle then just after
// the header.
int ReadCaptureHeaderFrom(win::HANDLE handle, CaptureHeader* header);

// The fifteen-line report ReadCaptureHeader prints. With `escape_name` the name
// field is printed up to its NUL with every byte that is not printable ASCII
// (and the backslash) as \xHH, so a hostile file cannot reach the terminal.
void PrintCaptureHeaderReport(const CaptureHeader& header, bool escape_name);
