// What the bring-up adds after a failed step's fixed message, on the same
// stream (and to the library's error text), so that the operator reads what failed and why: the
// file or port it concerned, the driver's own reason where the driver gives one (the stand-in does,
// through HsifStandinLastError; the card's driver does not), the system's reason, and what to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/win_types.h"

// Where the explanations go: printed on `stream` (when set) and handed to
// `on_text` (when set) line by line, so that the scanner library can put them
// into its error text when it prints nothing.
struct DetailOut {
  std::FILE* stream = nullptr;
  void (*on_text)(const char* text, void* context) = nullptr;
  void* context = nullptr;
};

// The driver's reason for its last failed port open or calibration load, into
// `text` (`size` bytes, terminated). false (text empty) when the driver gives
// none: it lacks HsifStandinLastError, or has no reason to tell.
bool GetDriverReason(win::HMODULE driver, char* text, std::size_t size);

// After "Unable to load hsif.dll": the loader's message (the file it missed,
// or why the file it found is no use), and on Linux, when the driver was not
// found, where the loader looked.
void ExplainDriverNotLoaded(const DetailOut& out);

// After "Error: Serial Comm port open failed.": the port COM<n> (and the device
// it stands for on Linux), the driver's reason, what the system says when this
// program opens the port itself (opened and released at once), and the hints.
void ExplainPortNotOpened(const DetailOut& out, win::HMODULE driver, std::int32_t com_port);

// After "ERROR: Could not read calibration file": the file's name, and the
// driver's reason or what to check.
void ExplainCalibrationNotRead(const DetailOut& out, win::HMODULE driver, const char* path);
