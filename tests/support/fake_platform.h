// A scriptable stand-in for the platform calls of platform/files.h, comm.h,
// errors.h and sleep.h, linked into a test executable instead of the real
// layer. The device also serves as a file: what is written is its content
// (Device::output), what is queued is read back. It shows what a
// pseudo-terminal cannot: DTR and RTS levels, refused
// line settings, failing time-out and status calls, failed event creation,
// pending requests, and a clock that Sleep and blocking reads advance without
// real waiting.
//
// One fake serial device stands behind every handle that CreateFileA gives
// out; events are handles of their own. Call Reset() at the start of each test.
//
// Link: target_link_libraries(<test> PRIVATE scan_fake_platform <code under
// test>). The fake is an object library, so its definitions always take the
// place of the real layer's (the real objects for these calls are then never
// pulled from scan_platform; the rest of the layer still comes from there).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace fake_platform {

// One platform call as the code under test made it. `args` holds the call's
// key arguments in this order (handles as their 32-bit slot values):
//   CreateFileA         access, share mode, creation disposition, flags   (text: the name)
//   CloseHandle         handle
//   ReadFile            handle, count asked, 1 if overlapped              (text: bytes given)
//   WriteFile           handle, count, 1 if overlapped                    (text: bytes sent)
//   GetOverlappedResult handle, wait
//   CreateEventA        manual reset, initial state                       (text: name or "")
//   GetCommState        handle
//   SetCommState        handle, BaudRate, ByteSize, Parity, StopBits
//   GetCommTimeouts     handle
//   SetCommTimeouts     handle, then the five time-outs in record order
//   SetupComm           handle, input queue, output queue
//   SetCommMask         handle, mask
//   EscapeCommFunction  handle, function
//   PurgeComm           handle, flags
//   ClearCommError      handle
//   Sleep               milliseconds
// GetLastError and SetLastError are not recorded.
struct Call {
  std::string name;
  std::vector<std::uint64_t> args;
  std::string text;
};

// The fake device. Tests may read and change it between calls.
struct Device {
  win::DCB dcb;                // what GetCommState reports; SetCommState replaces it
  win::COMMTIMEOUTS timeouts;  // what GetCommTimeouts reports; SetCommTimeouts replaces it
  bool dcb_set = false;        // a SetCommState succeeded since Reset
  bool timeouts_set = false;   // a SetCommTimeouts succeeded since Reset
  bool dtr = false;            // line levels: EscapeCommFunction, and SetCommState with
  bool rts = false;            //   DTR/RTS_CONTROL_ENABLE (raise) or _DISABLE (drop)
  bool break_set = false;
  win::DWORD event_mask = 0;
  win::DWORD input_queue_size = 0;  // from SetupComm
  win::DWORD output_queue_size = 0;
  win::DWORD line_errors = 0;  // reported and cleared by ClearCommError
  std::string output;          // every byte written, in order
  // The most bytes one write takes; the rest is cut off and the write still
  // succeeds with the short count, as a Windows write ended by its time-out does.
  win::DWORD write_limit = win::MAXDWORD;
};

// Forgets all calls, scripts and handles; a fresh device (9600 baud, 8 data
// bits, no parity, one stop bit, binary, XON 0x11 / XOFF 0x13, DTR and RTS
// low, all time-outs 0); clock at 0; last error ERROR_SUCCESS.
void Reset();

// --- What happened ---------------------------------------------------------
const std::vector<Call>& Calls();
std::vector<std::string> CallNames();  // names only, in order
int CountCalls(const std::string& name);
const Call* FindCall(const std::string& name, int nth = 1);  // null if fewer
Device& TheDevice();
int OpenHandleCount();  // devices and events not yet closed
std::uint32_t NowMs();  // the fake clock

// --- What will happen -------------------------------------------------------
// The nth call (1-based; 0 = every call) named `name` fails: it returns FALSE
// (INVALID_HANDLE_VALUE for CreateFileA, null for CreateEventA) with `error`
// as the last error, and changes nothing. For ReadFile and WriteFile with
// ERROR_IO_PENDING the request is accepted instead: its bytes move now and
// GetOverlappedResult reports them later (after any failures scripted for it,
// e.g. ERROR_IO_INCOMPLETE).
void FailCall(const std::string& name, int nth, win::DWORD error);
// The nth WriteFile (1-based) writes one byte less than asked and reports
// success, as a full disk does.
void ShortenWrite(int nth);

// Bytes the device has received: available to ReadFile and counted in
// cbInQue at once, or from a time on the fake clock.
void QueueInput(const std::string& bytes);
void QueueInputAt(std::uint32_t time_ms, const std::string& bytes);
std::size_t PendingInputSize();  // bytes arrived and not yet read

// Moves the clock forward, as Sleep does (but not recorded as a call).
void AdvanceMs(std::uint32_t ms);

}  // namespace fake_platform
