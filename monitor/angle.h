// Conversion of the driver's mirror angle to what the monitor prints.
#pragma once

#include <cstdint>

// The angle in tenths of a degree, in (-3600, 3600): radians x 180.0 / 3.14159
// x 10.0 (the divisor is the literal 3.14159 the operators' readings have always
// used, not full-precision pi), truncated toward zero, remainder of 3600 with
// the sign of the angle. Defined for every double: values beyond the 32-bit
// range give their true remainder, and NaN and the infinities give 0.
std::int32_t AngleTenthsOfDegree(double radians);

// 1 when the processed sample's flags word carries the mirror's index mark.
int IndexFlag(std::uint16_t flags);
