#include "hsif/driver_binding.h"

#include <cstring>

#include "platform/library.h"

const char* const kDriverEntryNames[kDriverEntryCount] = {
    "HsifDllInit",
    "HsifOpen",
    "HsifClose",
    "HsifSamplingModeInit",
    "HsifResetBoard",
    "HsifProcessSamples",
    "HsifLoadCalibrationData",
    "HsifSetSamplePeriod",
    "HsifLaserOn",
    "HsifLaserOff",
    "HsifSamplingEnable",
    "HsifSamplingDisable",
    "HsifClearOverflow",
    "HsifClearSampleBuffer",
    "HsifDataAvailable",
    "HsifGetOverflowStatus",
    "HsifSetMotorPower",
    "HsifClearEncoder",
    "HsifCalibrateEncoder",
    "HsifCalibrate",
    "HsifGetBufferedSamples",
    "HsifSetPollMode",
    "HsifAddFunc",
    "HsifOpenPort",
    "HsifReadPort",
    "HsifWritePort",
    "HsifClosePort",
    "HsifPurgePort",
    "HsifSendStr",
    "HsifSendBinary",
    "HsifAsciiRead",
    "HsifAsciiReadLine",
    "HsifBinaryReadBytes",
    "HsifGetCardModel",
    "HsifGetMinSamplePeriod",
    "HsifGetFPGAVersion",
    "HsifSetSampleDiv",
    "HsifSetRangeDiv",
    "HsifGetCalValue",
    "HsifSetCalValue",
    "HsifGetResolution",
    "HsifRaw2Range",
    "HsifClearL1OverflowFlag",
    "HsifReadWord",
    "HsifWriteWord",
    "HsifDisableInterrupts",
    "HsifEnableInterrupts",
    "HsifSetSampleEnBit",
    "HsifBenchPciRead",
    "HsifGetDpcReadTime",
};

DriverTable g_driver{};

namespace {

constexpr const char* kDriverBaseName = "hsif";

// Position of a name in kDriverEntryNames; the names are compile-time facts, so
// a miss is a programming error caught by the tests of the binding.
std::size_t EntryIndex(const char* name) {
  for (std::size_t i = 0; i < kDriverEntryCount; ++i) {
    if (std::strcmp(kDriverEntryNames[i], name) == 0) return i;
  }
  return kDriverEntryCount;
}

template <typename Entry>
void TakeEntry(Entry& slot, CalledEntry which, const char* name) {
  std::size_t index = EntryIndex(name);
  slot.Bind(index < kDriverEntryCount ? g_driver.resolved[index] : nullptr, which);
}

void FillTypedEntries() {
#define HSIF_TAKE_ENTRY(name, type) TakeEntry(g_driver.name, CalledEntry::name, #name);
  HSIF_CALLED_ENTRY_POINTS(HSIF_TAKE_ENTRY)
#undef HSIF_TAKE_ENTRY
}

}  // namespace

win::HMODULE LoadDriver() {
  win::HMODULE module = win::LoadLibraryExA(kDriverBaseName, nullptr, 0);
  if (module == nullptr) return nullptr;

  win::FARPROC resolved[kDriverEntryCount] = {};
  for (std::size_t i = 0; i < kDriverEntryCount; ++i) {
    resolved[i] = win::GetProcAddress(module, kDriverEntryNames[i]);
    if (resolved[i] == nullptr) {
      // A driver of another version: refuse it whole rather than call into a
      // table with holes.
      win::FreeLibrary(module);
      return nullptr;
    }
  }
  std::memcpy(g_driver.resolved, resolved, sizeof resolved);
  FillTypedEntries();
  return module;
}

const char* DriverName() {
  return kDriverBaseName;
}

win::BOOL ReleaseDriver(win::HMODULE module) {
  return win::FreeLibrary(module);
}
