// The signatures of the driver's entry points.
//
// They are plain function types, without a calling convention: on 32-bit x86
// the program calls the driver through a routine that is right whether the
// driver removes its arguments from the stack (__stdcall) or leaves them to the
// caller (__cdecl), see hsif/driver_entry.h. The stand-in driver adds its own
// build-time convention (HSIF_CALLCONV) to these types when it checks its
// declarations against them.
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"

// Signatures of the twenty entry points the program calls. Integers are signed
// 32-bit unless they are counts the driver writes; every argument and the
// result are 32-bit on 32-bit builds.
using HsifDllInitFn = std::int32_t();
using HsifOpenPortFn = std::int32_t(SerialPort* port, std::int32_t baud_rate,
                                    std::int32_t com_port_number);
using HsifSendStrFn = std::int32_t(SerialPort* port, const char* text);
using HsifOpenFn = std::int32_t(std::int32_t card_number, SerialPort* port);
using HsifCardFn = std::int32_t(std::int32_t card);
using HsifLoadCalibrationDataFn = std::int32_t(std::int32_t card, const char* path);
using HsifSetSamplePeriodFn = std::int32_t(std::int32_t card, std::int32_t mode,
                                           std::int32_t max_range, std::int32_t sample_period);
using HsifQueryFn = std::int32_t(std::int32_t card, std::int32_t* value);
using HsifSetPollModeFn = std::int32_t(std::int32_t card, std::int32_t mode);
using HsifClearEncoderFn = std::int32_t(std::int32_t card, std::int32_t which, std::int32_t value);
using HsifCalibrateEncoderFn = std::int32_t(std::int32_t card, std::int32_t encoder,
                                            std::int32_t offset, std::int32_t counts);
using HsifSetMotorPowerFn = std::int32_t(std::int32_t card, std::int32_t motor, std::int32_t power);
using HsifGetBufferedSamplesFn = std::int32_t(std::int32_t card, RawSample* raw,
                                              std::int32_t capacity, std::uint32_t* count,
                                              std::int32_t wait);
using HsifProcessSamplesFn = std::int32_t(std::int32_t card, const RawSample* raw,
                                          ProcessedSample* processed, std::int32_t count);

// The twenty entry points the program calls, each with its signature. The
// driver table and its filling are made from this list, and the stand-in
// driver checks its own declarations against it, so a signature changed in one
// place and not the other does not build.
#define HSIF_CALLED_ENTRY_POINTS(X)                     \
  X(HsifDllInit, HsifDllInitFn)                         \
  X(HsifOpen, HsifOpenFn)                               \
  X(HsifClose, HsifCardFn)                              \
  X(HsifSamplingModeInit, HsifCardFn)                   \
  X(HsifResetBoard, HsifCardFn)                         \
  X(HsifProcessSamples, HsifProcessSamplesFn)           \
  X(HsifLoadCalibrationData, HsifLoadCalibrationDataFn) \
  X(HsifSetSamplePeriod, HsifSetSamplePeriodFn)         \
  X(HsifSamplingEnable, HsifCardFn)                     \
  X(HsifClearSampleBuffer, HsifCardFn)                  \
  X(HsifSetMotorPower, HsifSetMotorPowerFn)             \
  X(HsifClearEncoder, HsifClearEncoderFn)               \
  X(HsifCalibrateEncoder, HsifCalibrateEncoderFn)       \
  X(HsifCalibrate, HsifCardFn)                          \
  X(HsifGetBufferedSamples, HsifGetBufferedSamplesFn)   \
  X(HsifSetPollMode, HsifSetPollModeFn)                 \
  X(HsifOpenPort, HsifOpenPortFn)                       \
  X(HsifSendStr, HsifSendStrFn)                         \
  X(HsifGetCardModel, HsifQueryFn)                      \
  X(HsifGetMinSamplePeriod, HsifQueryFn)
