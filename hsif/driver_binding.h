// Binding to the interface card's driver library, hsif.
//
// LoadDriver loads the library by its base name and resolves all fifty entry
// points, in a fixed order, into the driver table; a library that lacks any of
// them is refused and unloaded. The table is written once, before any entry
// point is called, and only read afterwards.
#pragma once

#include <cstddef>

#include "hsif/driver_abi.h"
#include "hsif/driver_entry.h"
#include "hsif/driver_records.h"
#include "platform/win_types.h"

inline constexpr std::size_t kDriverEntryCount = 50;

// The fifty entry-point names, in the order they are resolved.
extern const char* const kDriverEntryNames[kDriverEntryCount];

// The driver table. The twenty entry points the program calls are typed, one
// slot each named after its entry point (the list is in driver_abi.h) and
// called like it (hsif/driver_entry.h); the other thirty are required to be
// present but are never called, so they are kept as plain addresses.
struct DriverTable {
#define HSIF_TABLE_SLOT(name, type) DriverEntry<type> name;
  HSIF_CALLED_ENTRY_POINTS(HSIF_TABLE_SLOT)
#undef HSIF_TABLE_SLOT
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

// The program-lifetime sample buffers handed to the driver: the raw buffer of
// one fetch, and the processed-sample store (the monitor uses its first
// kRawBufferSlots records). Fixed storage: nothing is allocated per fetch.
extern RawSample g_raw_samples[kRawBufferSlots];
extern ProcessedSample g_processed_samples[kProcessedStoreRecords];
