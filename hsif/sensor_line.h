// The serial line between the card's driver and the AR4000 sensor.
#pragma once

#include <cstdint>

// The sensor's serial line always runs at 9600 baud, whatever the properties
// file says about laser_baud_rate: the monitor has the driver open it at this
// rate, and the pre-flight check opens it the same way.
inline constexpr std::int32_t kSensorBaudRate = 9600;
