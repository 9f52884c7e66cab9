// Bit rates of a serial line, any rate the driver accepts (termios2 with
// BOTHER); kept apart because the kernel's termios2 header cannot share a file
// with the C library's <termios.h>.
#pragma once

namespace platform_linux {

// Sets input and output rate to `rate` bit/s. false with errno set on failure.
bool SetBitRate(int fd, unsigned rate);

// The line's output rate in bit/s. false with errno set on failure.
bool GetBitRate(int fd, unsigned* rate);

// The whole setting of a line, any bit rate included (tcsetattr cannot carry a
// rate that has no B-constant): what a refused change puts back.
struct LineSnapshot {
  alignas(8) unsigned char bytes[64];
};
// false with errno set on failure.
bool SaveLine(int fd, LineSnapshot* line);
bool RestoreLine(int fd, const LineSnapshot& line);

}  // namespace platform_linux
