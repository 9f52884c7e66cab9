// The simulated serial line between the caller and the sensor: a pair of
// connected ends. The caller's end is an ordinary OS handle that goes into the
// SerialPort record (Linux: the slave side of a pseudo-terminal, a real
// terminal at the asked bit rate; Windows: the client end of a duplex named
// pipe). The sensor's end stays inside the stand-in.
#pragma once

#include <cstdint>

namespace standin {

using SensorEnd = std::intptr_t;  // descriptor or HANDLE of the sensor's end
inline constexpr SensorEnd kNoSensorEnd = -1;

// Makes a line at `baud`. true with *caller_slot (the 32-bit handle for the
// record; never 0, 1 or 2) and *sensor_end; false when the OS refuses or the
// rate is not one the line supports.
bool OpenLinePair(int baud, std::int32_t* caller_slot, SensorEnd* sensor_end);

void CloseCallerEnd(std::int32_t caller_slot);
void CloseSensorEnd(SensorEnd sensor_end);

// true when the caller's end has been closed (the line hung up).
bool CallerEndClosed(SensorEnd sensor_end);

// Sensor side: reads what has arrived, up to `size` bytes, waiting at most
// wait_ms for the first. Returns the bytes read, 0 when none, -1 on error.
int ReadSensorEnd(SensorEnd sensor_end, char* buffer, int size, int wait_ms);
// Sensor side: writes bytes towards the caller. Returns bytes written, -1.
int WriteSensorEnd(SensorEnd sensor_end, const char* data, int count);

// Caller side, on the record's handle.
int WriteCallerEnd(std::int32_t caller_slot, const void* data, int count);
int ReadCallerEnd(std::int32_t caller_slot, void* buffer, int size, int wait_ms);
// Discards what the sensor sent that the caller has not read.
void PurgeCallerInput(std::int32_t caller_slot);

}  // namespace standin
