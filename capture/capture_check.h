// What a capture file is before its records are read or mended: its kind by
// its name, and a header that is whole, valid and plausible.
#pragma once

#include <cstddef>

#include "capture/capture_header.h"
#include "platform/win_types.h"

// True for a name ending in ".prc" (any case): 64-byte processed records; any
// other name holds 16-byte raw records.
bool IsProcessedCaptureName(const char* path);

// The header's size in the file, by its version.
std::size_t CaptureHeaderBytesOf(const CaptureHeader& header);

// Opens and checks a capture file's header: whole, valid and plausible. On
// failure says why (stderr, after "<program>: "; an implausible header's
// fields on stdout) and returns an invalid handle.
win::HANDLE OpenCheckedCapture(const char* program, const char* path, CaptureHeader* header);
