#include "monitor/angle.h"

#include <cmath>

#include "hsif/driver_records.h"

std::int32_t AngleTenthsOfDegree(double radians) {
  double tenths = radians * 180.0 / 3.14159 * 10.0;
  if (!std::isfinite(tenths)) return 0;
  // The remainder is taken on the double first: for every value that fits in 32
  // bits this equals truncating and then taking the integer remainder, and
  // larger values (a driver fault) stay defined instead of overflowing.
  return static_cast<std::int32_t>(std::trunc(std::fmod(tenths, 3600.0)));
}

int IndexFlag(std::uint16_t flags) {
  return (flags & kProcessedIndexFlag) != 0 ? 1 : 0;
}
