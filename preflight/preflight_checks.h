// The checks of scanmon-preflight, each one step of what the monitor does
// before it brings the card up, in the monitor's order: the settings
// (folder_checks.cpp), the driver library and its calls (driver_checks.cpp),
// the sensor's serial port and the calibration file (folder_checks.cpp).
// Each prints its result to stdout, or a "FAILED: ..." line and its hints to
// stderr. Nothing here brings the card up: the only driver calls are those of
// CheckDriverCalls, on 32-bit x86.
#pragma once

#include "properties/properties.h"
#include "properties/property_check.h"

namespace preflight {

// What a check returns: the monitor could go on, or it would stop there.
constexpr int kReady = 0;
constexpr int kNotReady = 1;

// Prints "FAILED: <what>" to stderr; kNotReady.
int Fail(const char* what);

// Reads ./properties.txt into *properties and prints the settings as read;
// kNotReady (with a hint) when there is no such file.
int CheckProperties(RunProperties** properties);

// Every problem with the keys and values, into *findings; the number of errors.
int CheckPropertyContent(const RunProperties& properties, PropertyFindings* findings);

// Binds the driver library as the monitor does and prints its path and file
// version; kNotReady, with what keeps it from binding, when it does not.
int CheckDriver();

// On 32-bit x86, the calling convention the bound driver's entry points use,
// seen in calls that touch no card; 1 when it fits neither convention, else 0.
// Elsewhere nothing is called or printed.
int CheckDriverCalls();

// The driver library the monitor would load is the stand-in (standin/).
bool DriverIsStandin();

// Opens the sensor's port COM<laser_serial_port> at the sensor's baud rate and
// releases it again.
int CheckPort(const RunProperties& properties);

// The calibration file named in the properties can be read, is not empty,
// and, with the stand-in as the driver, passes the stand-in's own reader.
int CheckCalibrationFile(const RunProperties& properties);

}  // namespace preflight
