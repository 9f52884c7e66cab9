// The calling convention and signatures of the driver's entry points.
//
// The convention is one build setting (HSIF_CALLCONV, defined by CMake from the
// cache variable of the same name); the stand-in driver is built with the same
// setting, so the two always agree.
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"

#ifndef HSIF_CALLCONV
#define HSIF_CALLCONV
#endif

// Signatures of the twenty entry points the program calls. Integers are signed
// 32-bit unless they are counts the driver writes.
using HsifDllInitFn = std::int32_t(HSIF_CALLCONV*)();
using HsifOpenPortFn = std::int32_t(HSIF_CALLCONV*)(SerialPort* port, std::int32_t baud_rate,
                                                    std::int32_t com_port_number);
using HsifSendStrFn = std::int32_t(HSIF_CALLCONV*)(SerialPort* port, const char* text);
using HsifOpenFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card_number, SerialPort* port);
using HsifCardFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card);
using HsifLoadCalibrationDataFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, const char* path);
using HsifSetSamplePeriodFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t mode,
                                                           std::int32_t max_range,
                                                           std::int32_t sample_period);
using HsifQueryFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t* value);
using HsifSetPollModeFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t mode);
using HsifClearEncoderFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t which,
                                                        std::int32_t value);
using HsifCalibrateEncoderFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t encoder,
                                                            std::int32_t offset,
                                                            std::int32_t counts);
using HsifSetMotorPowerFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, std::int32_t motor,
                                                         std::int32_t power);
using HsifGetBufferedSamplesFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, RawSample* raw,
                                                              std::int32_t capacity,
                                                              std::uint32_t* count,
                                                              std::int32_t wait);
using HsifProcessSamplesFn = std::int32_t(HSIF_CALLCONV*)(std::int32_t card, const RawSample* raw,
                                                          ProcessedSample* processed,
                                                          std::int32_t count);

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
