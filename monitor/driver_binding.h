// Binding to the interface card's driver library, hsif.
//
// LoadDriver loads the library by its base name and resolves all fifty entry
// points, in a fixed order, into the driver table; a library that lacks any of
// them is refused and unloaded. The table is written once, before any entry
// point is called, and only read afterwards.
#pragma once

#include <cstddef>

#include "monitor/driver_abi.h"
#include "monitor/driver_records.h"
#include "platform/win_types.h"

inline constexpr std::size_t kDriverEntryCount = 50;

// The fifty entry-point names, in the order they are resolved.
extern const char* const kDriverEntryNames[kDriverEntryCount];

// The driver table. The twenty entry points the program calls are typed; the
// other thirty are required to be present but are never called, so they are
// kept as plain addresses.
struct DriverTable {
  HsifDllInitFn HsifDllInit;
  HsifOpenFn HsifOpen;
  HsifCardFn HsifClose;
  HsifCardFn HsifSamplingModeInit;
  HsifCardFn HsifResetBoard;
  HsifProcessSamplesFn HsifProcessSamples;
  HsifLoadCalibrationDataFn HsifLoadCalibrationData;
  HsifSetSamplePeriodFn HsifSetSamplePeriod;
  HsifCardFn HsifSamplingEnable;
  HsifCardFn HsifClearSampleBuffer;
  HsifSetMotorPowerFn HsifSetMotorPower;
  HsifClearEncoderFn HsifClearEncoder;
  HsifCalibrateEncoderFn HsifCalibrateEncoder;
  HsifCardFn HsifCalibrate;
  HsifGetBufferedSamplesFn HsifGetBufferedSamples;
  HsifSetPollModeFn HsifSetPollMode;
  HsifOpenPortFn HsifOpenPort;
  HsifSendStrFn HsifSendStr;
  HsifQueryFn HsifGetCardModel;
  HsifQueryFn HsifGetMinSamplePeriod;
  // Every entry point's address, by its position in kDriverEntryNames.
  win::FARPROC resolved[kDriverEntryCount];
};

// The program's one driver table; all slots null until LoadDriver succeeds.
extern DriverTable g_driver;

// Loads "hsif" and fills g_driver. Returns the module, or null when the library
// does not load or lacks any of the fifty names (it is then unloaded again and
// g_driver stays empty).
win::HMODULE LoadDriver();

// "hsif", the library's base name, for messages.
const char* DriverName();

// The platform's result of unloading the library.
win::BOOL ReleaseDriver(win::HMODULE module);

// Releases a serial port record, whoever filled it: is_open = 0, event mask
// cleared, DTR dropped, both directions aborted and purged, handle closed (the
// slot keeps the closed value). The two transfer events are closed too, when
// their slots hold one, and the slots zeroed, so that a release never leaks them
// and never closes one twice; a record therefore starts zero-filled. The results
// of the platform calls are not looked at; always returns 1.
int ClosePort(SerialPort* port);

// The program-lifetime sample buffers handed to the driver: the raw buffer of
// one fetch, and the processed-sample store (the monitor uses its first
// kRawBufferSlots records). Fixed storage: nothing is allocated per fetch.
extern RawSample g_raw_samples[kRawBufferSlots];
extern ProcessedSample g_processed_samples[kProcessedStoreRecords];
