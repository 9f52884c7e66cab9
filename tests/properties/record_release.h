// The program never frees a properties record (it lives for the whole run);
// the tests do, so the leak checker sees only real leaks.
#pragma once

#include <cstdlib>
#include <memory>

#include "properties/properties.h"

struct RecordRelease {
  void operator()(RunProperties* record) const {
    if (record == nullptr) return;
    for (char* text : {record->gyro_serial_port, record->gyro_mode, record->gps_serial_port,
                       record->calibration_file}) {
      std::free(text);
    }
    std::free(record);
  }
};

using OwnedRecord = std::unique_ptr<RunProperties, RecordRelease>;
