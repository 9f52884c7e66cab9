// The stand-in's serial lines to the sensor: the table of open lines, and the
// sensor's side of each (it reads what was sent, answers, and logs each
// command as "sensor received <command>").
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"
#include "standin/driver_state.h"

namespace standin {

// The line this driver opened for the record, or null (closed, foreign or
// null record). Lines whose caller end was closed elsewhere are dropped first.
Line* FindLine(const SerialPort* port);

// A free entry of the table, or null when all are in use.
Line* FreeLine();

// Lets the sensor read what has arrived: waits up to wait_ms until at least
// `expected` bytes came, answers every command, and takes a command without
// terminator as complete once the line is quiet.
void ServiceSensor(Line* line, int expected, int wait_ms);

// ServiceSensor(line, 0, 0) on every open line.
void ServiceAllSensors();

// Closes both ends of a line and frees its entry.
void DropLine(Line* line);

}  // namespace standin
