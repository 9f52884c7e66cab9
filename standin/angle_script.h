// The angle script (HSIF_SIM_ANGLE_SCRIPT): fetches replay a file instead of
// the spinning mirror, one fetch per line. A line is a whitespace-separated
// list of samples "angle[:flags]": the angle as strtod reads it (so "nan",
// "inf" and "-1e300" are allowed), the flags a decimal integer 0..65535
// (default 0) that becomes the processed record's flags word.
#pragma once

#include <cstdint>
#include <cstdio>

namespace standin {

struct ScriptSample {
  double angle;
  std::uint16_t flags;
};

enum class TokenResult { kSample, kMalformed, kEnd };

// Reads the next token of a line at *cursor (NUL-terminated) and moves the
// cursor past it. kSample with *sample filled, kMalformed for a token that is
// not a sample (it is skipped), kEnd when the line holds no more tokens.
TokenResult NextScriptSample(const char** cursor, ScriptSample* sample);

inline constexpr int kMaxScriptLineChars = 1 << 20;

// Reads the next line of an open script into line[kMaxScriptLineChars + 1],
// without its line end. false at the end of the file. A longer line is cut
// (the rest is skipped) and *cut is set.
bool ReadScriptLine(std::FILE* file, char* line, bool* cut);

}  // namespace standin
