// Bounded text formatting with the platform's results.
#include <cstdarg>
#include <cstdio>

#include "serial/serial_port.h"

std::uint32_t FormatBounded(char* dest, std::uint32_t capacity, const char* format, ...) {
  if (capacity == 0 || capacity > 0x7FFFFFFFu) return kFormatInvalidArgument;
  va_list arguments;
  va_start(arguments, format);
  int needed = std::vsnprintf(dest, capacity, format, arguments);
  va_end(arguments);
  if (needed < 0) {
    dest[0] = '\0';  // what a failed formatting left is not text
    dest[capacity - 1] = '\0';
    return kFormatBufferTooSmall;
  }
  if (static_cast<std::uint32_t>(needed) > capacity - 1) {
    dest[capacity - 1] = '\0';
    return kFormatBufferTooSmall;
  }
  return kFormatOk;
}
