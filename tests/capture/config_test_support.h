// Runs the configuration reader on a file written from a string, with every
// output filled with junk first, and keeps what it printed and left behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture_config.h"

struct ConfigRun {
  int result = -1;
  std::string out;  // everything printed on stdout
  CaptureHeader header;
  std::int32_t delay_ms;
  char capture_file[kCaptureFileNameBytes];
  char prc_file[kCaptureFileNameBytes];
  std::uint8_t single_cpu;
  std::uint8_t write_raw;
};

// Junk the outputs start with.
inline constexpr unsigned char kJunkByte = 0xA5;
inline constexpr std::uint32_t kJunkWord = 0xA5A5A5A5u;
inline constexpr char kJunkName[] = "junk-name";

// Writes `content` byte for byte to a fresh file and reads it. `version`, when
// not negative, is what header.version holds before the call.
ConfigRun RunConfig(const std::string& content, std::int64_t version = -1);

// The sixteen lines of a good version-3 file, and the echoes they give.
std::vector<std::string> GoodLines();
std::vector<std::string> GoodEchoes();
std::string JoinLines(const std::vector<std::string>& lines, const char* end = "\n");
