// Bit rates of a serial line, any rate the driver accepts (termios2 with
// BOTHER); kept apart because the kernel's termios2 header cannot share a file
// with the C library's <termios.h>.
#pragma once

namespace platform_linux {

// Sets input and output rate to `rate` bit/s. false with errno set on failure.
bool SetBitRate(int fd, unsigned rate);

// The line's output rate in bit/s. false with errno set on failure.
bool GetBitRate(int fd, unsigned* rate);

}  // namespace platform_linux
