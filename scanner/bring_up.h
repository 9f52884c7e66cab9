// The bring-up of the sensor and the interface card: one sequence, shared by
// the monitor and the capture recorder, which differ only in the values below.
//
// It loads the driver, opens the sensor's serial line (always 9600 baud) and
// sends it "I", opens and resets the card, loads the calibration file, sets the
// sample period and range, calibrates, starts sampling mode, sets up both
// encoders, sets the period again, waits for the mirror (when asked) and enables
// sampling. Each step's failure prints its message and the sequence stops.
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"
#include "platform/win_types.h"

struct ScannerSetup {
  std::int32_t com_port = 1;               // the sensor's COM port number
  std::int32_t card_number = 0;            // the HSIF card
  const char* calibration_file = nullptr;  // loaded into the card
  std::int32_t sample_period_us = 20;
  std::int32_t max_range_in = 1200;
  std::int32_t mirror_encoder_counts = 4096;  // encoder 1, per revolution
  std::int32_t second_encoder_counts = 200;   // encoder 2, per revolution
  win::DWORD mirror_spin_up_ms = 5000;        // 0: no wait at the end
  // Each message of the sequence is printed on its stream (print_messages)
  // and handed to on_message (when set) with its text, so that the scanner
  // library can give an integrator the failed step's own words.
  bool print_messages = true;
  void (*on_message)(const char* text, void* context) = nullptr;
  void* message_context = nullptr;
};

// What the sequence had opened when it returned, so that a caller can release
// it after a failure (or at the end): the serial line and the card.
struct ScannerLink {
  win::HMODULE module = nullptr;
  bool port_open = false;
  CardHandle card = kNoCard;
};

// Runs the sequence. Returns the card handle, or kNoCard after printing the
// failed step's message; `link` tells what is open either way. `port` must
// start zero-filled; the driver fills it.
CardHandle BringUpScanner(const ScannerSetup& setup, SerialPort* port, ScannerLink* link);

// Releases what `link` names: the line (ClosePort) and the card (HsifClose).
// Safe to call twice.
void ReleaseScanner(SerialPort* port, ScannerLink* link);
