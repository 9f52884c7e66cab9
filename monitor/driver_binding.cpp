#include "monitor/driver_binding.h"

#include <cstring>

#include "platform/comm.h"
#include "platform/files.h"
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

template <typename Fn>
void TakeEntry(Fn& slot, const char* name) {
  std::size_t index = EntryIndex(name);
  slot = index < kDriverEntryCount ? reinterpret_cast<Fn>(g_driver.resolved[index]) : nullptr;
}

void FillTypedEntries() {
  TakeEntry(g_driver.HsifDllInit, "HsifDllInit");
  TakeEntry(g_driver.HsifOpen, "HsifOpen");
  TakeEntry(g_driver.HsifClose, "HsifClose");
  TakeEntry(g_driver.HsifSamplingModeInit, "HsifSamplingModeInit");
  TakeEntry(g_driver.HsifResetBoard, "HsifResetBoard");
  TakeEntry(g_driver.HsifProcessSamples, "HsifProcessSamples");
  TakeEntry(g_driver.HsifLoadCalibrationData, "HsifLoadCalibrationData");
  TakeEntry(g_driver.HsifSetSamplePeriod, "HsifSetSamplePeriod");
  TakeEntry(g_driver.HsifSamplingEnable, "HsifSamplingEnable");
  TakeEntry(g_driver.HsifClearSampleBuffer, "HsifClearSampleBuffer");
  TakeEntry(g_driver.HsifSetMotorPower, "HsifSetMotorPower");
  TakeEntry(g_driver.HsifClearEncoder, "HsifClearEncoder");
  TakeEntry(g_driver.HsifCalibrateEncoder, "HsifCalibrateEncoder");
  TakeEntry(g_driver.HsifCalibrate, "HsifCalibrate");
  TakeEntry(g_driver.HsifGetBufferedSamples, "HsifGetBufferedSamples");
  TakeEntry(g_driver.HsifSetPollMode, "HsifSetPollMode");
  TakeEntry(g_driver.HsifOpenPort, "HsifOpenPort");
  TakeEntry(g_driver.HsifSendStr, "HsifSendStr");
  TakeEntry(g_driver.HsifGetCardModel, "HsifGetCardModel");
  TakeEntry(g_driver.HsifGetMinSamplePeriod, "HsifGetMinSamplePeriod");
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

namespace {

void CloseTransferEvent(win::OVERLAPPED& block) {
  if (block.hEvent != 0) {
    win::CloseHandle(win::HandleFromSlot(block.hEvent));
    block.hEvent = 0;
  }
}

}  // namespace

int ClosePort(SerialPort* port) {
  port->is_open = 0;
  win::HANDLE handle = win::HandleFromSlot(port->handle);
  win::SetCommMask(handle, 0);
  win::EscapeCommFunction(handle, win::CLRDTR);
  win::PurgeComm(handle,
                 win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR);
  win::CloseHandle(handle);
  CloseTransferEvent(port->write_overlapped);
  CloseTransferEvent(port->read_overlapped);
  return 1;
}
