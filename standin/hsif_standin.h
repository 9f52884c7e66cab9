// The fifty entry points of the stand-in hsif driver: a simulated HSIF card with
// an AR4000 sensor behind it, for training operators and testing the monitor
// without the hardware.
//
// The twenty entry points the monitor calls keep the signatures of
// hsif/driver_abi.h (checked at the end of this file). The other thirty are this stand-in's own
// choices (the closed driver's are unknown); all of them take 32-bit integers and pointers.
//
// Error model, once for all: an entry point that fails returns 0 (HsifOpen: -1;
// the counting reads: -1) and writes nothing through its pointers. Null
// pointers, negative counts and unknown or unopened card handles fail that way;
// nothing ever reads or writes past a count or capacity it was given. A card
// handle is the card number that HsifOpen opened.
//
// Settings come from HSIF_SIM_* environment variables, read by HsifDllInit (and
// at the first call of any entry point when HsifDllInit was never called); see
// docs/standin.md.
#pragma once

#include <cstdint>
#include <type_traits>

#include "hsif/driver_abi.h"
#include "hsif/driver_records.h"

#ifndef HSIF_CALLCONV
#define HSIF_CALLCONV
#endif

#if defined(_WIN32)
#define HSIF_EXPORT __declspec(dllexport)
#else
#define HSIF_EXPORT __attribute__((visibility("default")))
#endif

#define HSIF_API extern "C" HSIF_EXPORT

using hsif_i32 = std::int32_t;

// --- Driver and card -------------------------------------------------------

// Resets the stand-in: closes every card, re-reads the settings. Returns 1.
HSIF_API hsif_i32 HSIF_CALLCONV HsifDllInit();
// Opens card `card_number` (0 .. cards-1); `port` may be null. Returns the card
// handle (the card number), -1 when there is no such card.
HSIF_API hsif_i32 HSIF_CALLCONV HsifOpen(hsif_i32 card_number, SerialPort* port);
// Stops sampling and closes the card. 1, or 0 for a card that is not open.
HSIF_API hsif_i32 HSIF_CALLCONV HsifClose(hsif_i32 card);
// Puts the card in its power-on state (sampling off, buffer empty, encoders
// at their defaults, no calibration value). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifResetBoard(hsif_i32 card);
// Reads a calibration data file (format in docs/standin.md). 1, or 0 for a
// null path or a missing or malformed file (the card keeps its old data).
HSIF_API hsif_i32 HSIF_CALLCONV HsifLoadCalibrationData(hsif_i32 card, const char* path);
// mode must be 0, max_range 1..kMaxRangeLimit inches, sample_period (µs) at
// least the model's minimum and at most 1 s. 1, or 0 when refused.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSamplePeriod(hsif_i32 card, hsif_i32 mode,
                                                    hsif_i32 max_range, hsif_i32 sample_period);
// *model = 0 for the 50 kHz sensor, 1 for the 200 kHz one. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetCardModel(hsif_i32 card, hsif_i32* model);
// *period = the model's minimum sample period in µs (20 or 5). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetMinSamplePeriod(hsif_i32 card, hsif_i32* period);
// mode 0 (interrupt) or 1 (poll). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetPollMode(hsif_i32 card, hsif_i32 mode);
// Measures the range channel's zero and stores it as the calibration value.
// 1 on success, 0 for a card that is not open.
HSIF_API hsif_i32 HSIF_CALLCONV HsifCalibrate(hsif_i32 card);
// Prepares the sampling logic. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingModeInit(hsif_i32 card);
// which: encoder mask (1, 2 or 3 for both); value 0 or 1 (1 = zero the count).
// 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifClearEncoder(hsif_i32 card, hsif_i32 which, hsif_i32 value);
// encoder 1 (mirror angle) or 2 (motor axis); counts per revolution 1..65536;
// 0 <= offset < counts. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifCalibrateEncoder(hsif_i32 card, hsif_i32 encoder,
                                                     hsif_i32 offset, hsif_i32 counts);
// motor 1..4, power 0..255 (kept; the mirror spins at its own rate). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetMotorPower(hsif_i32 card, hsif_i32 motor, hsif_i32 power);
// Switches the laser; with the laser off samples carry no range. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifLaserOn(hsif_i32 card);
HSIF_API hsif_i32 HSIF_CALLCONV HsifLaserOff(hsif_i32 card);

// --- Sampling -------------------------------------------------------------

// Starts sampling at the set period (a fresh run when it was off). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingEnable(hsif_i32 card);
// Stops sampling; samples already buffered stay. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSamplingDisable(hsif_i32 card);
// on != 0: as HsifSamplingEnable, else as HsifSamplingDisable.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSampleEnBit(hsif_i32 card, hsif_i32 on);
// Empties the card's sample buffer and clears its overflow status. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifClearSampleBuffer(hsif_i32 card);
// Clears the overflow status. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifClearOverflow(hsif_i32 card);
HSIF_API hsif_i32 HSIF_CALLCONV HsifClearL1OverflowFlag(hsif_i32 card);
// Samples waiting in the buffer, -1 for a card that is not open.
HSIF_API hsif_i32 HSIF_CALLCONV HsifDataAvailable(hsif_i32 card);
// 1 when the buffer overflowed since the status was last cleared or reported,
// 0 when not, -1 for a card that is not open.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetOverflowStatus(hsif_i32 card);
// Writes up to `capacity` raw samples into raw[0 .. capacity-1], their number
// into *count, and the lost-data status into bit 0 of word 0 of raw[capacity-1]
// (set when samples were lost since the last fetch, cleared otherwise). With
// wait != 0 it sleeps until min(capacity, half the buffer) samples are there
// (at most 1 s). 1, or 0 (nothing written) on failure.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetBufferedSamples(hsif_i32 card, RawSample* raw,
                                                       hsif_i32 capacity, std::uint32_t* count,
                                                       hsif_i32 wait);
// Converts raw[0 .. count-1] into processed[0 .. count-1]. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifProcessSamples(hsif_i32 card, const RawSample* raw,
                                                   ProcessedSample* processed, hsif_i32 count);
// *inches = the calibrated range of a raw range word. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifRaw2Range(hsif_i32 card, hsif_i32 raw_range, double* inches);
// *counts_per_inch = raw range counts per inch. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetResolution(hsif_i32 card, hsif_i32* counts_per_inch);
// Sample and range dividers, 1..65535, kept in the register file. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetSampleDiv(hsif_i32 card, hsif_i32 divider);
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetRangeDiv(hsif_i32 card, hsif_i32 divider);
// The calibration value (raw counts) that HsifCalibrate measured. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetCalValue(hsif_i32 card, hsif_i32* value);
HSIF_API hsif_i32 HSIF_CALLCONV HsifSetCalValue(hsif_i32 card, hsif_i32 value);
// Adds a processing function, by code 0..255, to the card's chain (at most
// eight; codes are recorded only). 1, or 0 when the chain is full.
HSIF_API hsif_i32 HSIF_CALLCONV HsifAddFunc(hsif_i32 card, hsif_i32 function_code);

// --- Card registers and diagnostics -----------------------------------------

// *version = the FPGA version (major << 8 | minor). 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetFPGAVersion(hsif_i32 card, hsif_i32* version);
// A register file of kRegisterCount 32-bit words; address 0 holds the FPGA
// version and is read-only. 1, or 0 for an address out of range.
HSIF_API hsif_i32 HSIF_CALLCONV HsifReadWord(hsif_i32 card, hsif_i32 address, hsif_i32* value);
HSIF_API hsif_i32 HSIF_CALLCONV HsifWriteWord(hsif_i32 card, hsif_i32 address, hsif_i32 value);
HSIF_API hsif_i32 HSIF_CALLCONV HsifDisableInterrupts(hsif_i32 card);
HSIF_API hsif_i32 HSIF_CALLCONV HsifEnableInterrupts(hsif_i32 card);
// Reads `words` (1..65536) words across the simulated bus; *microseconds = the
// time it took. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifBenchPciRead(hsif_i32 card, hsif_i32 words,
                                                 hsif_i32* microseconds);
// *microseconds = the time the last fetch spent copying samples. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifGetDpcReadTime(hsif_i32 card, hsif_i32* microseconds);

// --- The sensor's serial line -----------------------------------------------

// Opens a simulated serial line to the sensor and fills *port: handle (never
// 0, 1 or 2), dcb at `baud`, is_open = 1, settings defaults, event slots 0.
// baud: a standard rate 110..115200; com_number 1..255. 1, or 0 with handle -1,
// is_open 0 and event slots 0 when it fails.
HSIF_API hsif_i32 HSIF_CALLCONV HsifOpenPort(SerialPort* port, hsif_i32 baud, hsif_i32 com_number);
// Closes a line this driver opened (both ends): is_open 0, handle -1. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifClosePort(SerialPort* port);
// Discards what the sensor has sent and not yet been read. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifPurgePort(SerialPort* port);
// Writes the text (without its NUL, at most 4096 bytes) to the sensor. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSendStr(SerialPort* port, const char* text);
// Writes count bytes (0..4096) to the sensor. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifSendBinary(SerialPort* port, const void* data, hsif_i32 count);
// Writes count bytes; *written = bytes written. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifWritePort(SerialPort* port, const void* data, hsif_i32 count,
                                              hsif_i32* written);
// Reads what is waiting, up to size bytes, without waiting; *count_read. 1 or 0.
HSIF_API hsif_i32 HSIF_CALLCONV HsifReadPort(SerialPort* port, void* buffer, hsif_i32 size,
                                             hsif_i32* count_read);
// Reads up to size-1 characters, waiting at most timeout_ms (0..10000) for the
// first, and terminates the text. Returns the characters read, -1 on failure.
HSIF_API hsif_i32 HSIF_CALLCONV HsifAsciiRead(SerialPort* port, char* buffer, hsif_i32 size,
                                              hsif_i32 timeout_ms);
// Reads one line (ended by LF; CR and LF dropped) of at most size-1 characters
// within timeout_ms. Returns its length, -1 on time-out or failure.
HSIF_API hsif_i32 HSIF_CALLCONV HsifAsciiReadLine(SerialPort* port, char* buffer, hsif_i32 size,
                                                  hsif_i32 timeout_ms);
// Reads exactly count bytes within timeout_ms. Returns the bytes read (fewer
// on time-out), -1 on failure.
HSIF_API hsif_i32 HSIF_CALLCONV HsifBinaryReadBytes(SerialPort* port, void* buffer, hsif_i32 count,
                                                    hsif_i32 timeout_ms);

// --- The stand-in's own addition ---------------------------------------------

// Not one of the fifty: the reason, in words, why the last HsifOpenPort or
// HsifLoadCalibrationData call failed ("line 5: unknown key range_scal"), so
// that a program can name it; "" after a success of either. Writes at most
// size-1 characters and a terminator into `text`. Returns the reason's full
// length, or -1 for a null text or a size below 1. A program looks it up by
// name and does without it when a driver lacks it (the card's own driver).
HSIF_API hsif_i32 HSIF_CALLCONV HsifStandinLastError(char* text, hsif_i32 size);

// --- The program's side -----------------------------------------------------

// Each entry point the program calls has exactly the signature the program
// calls it with, in this build's convention: a declaration that drifts from
// hsif/driver_abi.h does not build.
template <typename Signature>
struct StandinEntryPointer;
template <typename Result, typename... Args>
struct StandinEntryPointer<Result(Args...)> {
  using type = Result(HSIF_CALLCONV*)(Args...);
};
#define HSIF_CHECK_CALLED_ENTRY(name, signature)                                       \
  static_assert(std::is_same_v<decltype(&name), StandinEntryPointer<signature>::type>, \
                #name " differs from its signature in hsif/driver_abi.h");
HSIF_CALLED_ENTRY_POINTS(HSIF_CHECK_CALLED_ENTRY)
#undef HSIF_CHECK_CALLED_ENTRY
