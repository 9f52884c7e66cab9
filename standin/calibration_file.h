// The calibration data file of a sensor: a small text file (format in
// docs/standin.md) that gives the range channel's offset and scale.
#pragma once

#include <cstddef>

namespace standin {

inline constexpr std::size_t kMaxCalibrationFileBytes = 64 * 1024;
inline constexpr int kMaxCalibrationLineChars = 200;

struct CalibrationData {
  double range_offset = 0.0;  // inches added after scaling
  double range_scale = 1.0;   // multiplies the raw range
  char sensor[32] = {};       // the sensor's serial name, may be empty
};

// Parses the text of a calibration file (`length` bytes, no NUL needed).
// true and *data filled; false with a one-line reason in reason[reason_size]
// (data untouched) when the text is malformed.
bool ParseCalibrationText(const char* text, std::size_t length, CalibrationData* data, char* reason,
                          int reason_size);

// Called for each problem of a calibration text: its line (0 for the file as a
// whole: empty, a required key missing), the key it concerns ("" when none)
// and the problem in words ("unknown key range_scal").
using CalibrationProblemHandler = void (*)(int line, const char* key, const char* what,
                                           void* context);

// Every problem ParseCalibrationText would refuse the text for, not only the
// first, each to `handler`. Returns their number (0: the text is good).
int ListCalibrationProblems(const char* text, std::size_t length, CalibrationProblemHandler handler,
                            void* context);

// Reads and parses the file at `path`. false with a reason when the path is
// null, the file is missing, unreadable, too large or malformed.
bool ReadCalibrationFile(const char* path, CalibrationData* data, char* reason, int reason_size);

}  // namespace standin
