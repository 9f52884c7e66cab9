#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sleep.h"

namespace fake_platform {
namespace {

struct Arrival {
  std::uint32_t time_ms;
  std::string bytes;
};

struct Script {
  std::string name;
  int nth;  // 0: every call
  win::DWORD error;
};

struct State {
  std::vector<Call> calls;
  std::vector<Script> scripts;
  std::set<int> short_writes;  // WriteFile calls (1-based) that write one byte less
  std::map<std::string, int> counts;
  Device device;
  std::set<win::HandleSlot> devices;
  std::set<win::HandleSlot> events;
  win::HandleSlot next_slot = 0x100;
  std::deque<unsigned char> input;
  std::vector<Arrival> arrivals;                         // sorted by time, stable
  std::map<const win::OVERLAPPED*, win::DWORD> pending;  // bytes moved by a pending request
  std::uint32_t now_ms = 0;
  win::DWORD last_error = win::ERROR_SUCCESS;
};

State& S() {
  static State state;
  return state;
}

win::DCB FreshDcb() {
  win::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = win::NOPARITY;
  dcb.StopBits = win::ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

std::uint64_t Slot(win::HANDLE handle) {
  return static_cast<std::uint32_t>(win::SlotFromHandle(handle));
}

// Records the call and counts it; returns the scripted error for this call, or
// ERROR_SUCCESS when it should behave normally.
win::DWORD Enter(const char* name, std::vector<std::uint64_t> args, std::string text = {}) {
  State& s = S();
  s.calls.push_back(Call{name, std::move(args), std::move(text)});
  const int n = ++s.counts[name];
  for (const Script& script : s.scripts) {
    if (script.name == name && (script.nth == 0 || script.nth == n)) return script.error;
  }
  return win::ERROR_SUCCESS;
}

win::BOOL Fail(win::DWORD error) {
  S().last_error = error;
  return win::FALSE;
}

bool IsDevice(win::HANDLE handle) {
  return S().devices.count(win::SlotFromHandle(handle)) != 0;
}

void DeliverDue() {
  State& s = S();
  while (!s.arrivals.empty() && s.arrivals.front().time_ms <= s.now_ms) {
    for (char c : s.arrivals.front().bytes) s.input.push_back(static_cast<unsigned char>(c));
    s.arrivals.erase(s.arrivals.begin());
  }
}

win::DWORD Take(unsigned char* buffer, win::DWORD have, win::DWORD count) {
  State& s = S();
  while (have < count && !s.input.empty()) {
    buffer[have++] = s.input.front();
    s.input.pop_front();
  }
  return have;
}

// A read as a serial device performs it under the device's read time-outs,
// with the fake clock standing in for real waiting. Where Windows would wait
// for bytes that no arrival will ever bring, the fake returns what it has.
win::DWORD ReadUnderTimeouts(unsigned char* buffer, win::DWORD count) {
  State& s = S();
  DeliverDue();
  win::DWORD got = Take(buffer, 0, count);
  if (got == count) return got;
  const win::COMMTIMEOUTS t = s.device.timeouts;
  const std::uint64_t kNever = ~std::uint64_t{0};
  if (t.ReadIntervalTimeout == win::MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    return got;  // return at once with what is there
  }
  const std::uint64_t start = s.now_ms;
  std::uint64_t deadline = kNever;
  bool first_byte_ends = false;
  if (t.ReadIntervalTimeout == win::MAXDWORD && t.ReadTotalTimeoutMultiplier == win::MAXDWORD) {
    if (got > 0) return got;
    deadline = start + t.ReadTotalTimeoutConstant;
    first_byte_ends = true;
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    deadline =
        start + std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
  }
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != win::MAXDWORD;
  std::uint64_t last_byte = s.now_ms;
  for (;;) {
    std::uint64_t limit = deadline;
    if (interval && got > 0) limit = std::min(limit, last_byte + t.ReadIntervalTimeout);
    if (s.arrivals.empty() || s.arrivals.front().time_ms > limit) {
      if (limit != kNever) s.now_ms = static_cast<std::uint32_t>(limit);
      return got;
    }
    s.now_ms = std::max(s.now_ms, s.arrivals.front().time_ms);
    DeliverDue();
    got = Take(buffer, got, count);
    last_byte = s.now_ms;
    if (got == count || (first_byte_ends && got > 0)) return got;
  }
}

}  // namespace

void Reset() {
  S() = State{};
  S().device.dcb = FreshDcb();
  std::memset(&S().device.timeouts, 0, sizeof S().device.timeouts);
}

const std::vector<Call>& Calls() {
  return S().calls;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& call : S().calls) names.push_back(call.name);
  return names;
}

int CountCalls(const std::string& name) {
  auto it = S().counts.find(name);
  return it == S().counts.end() ? 0 : it->second;
}

const Call* FindCall(const std::string& name, int nth) {
  int seen = 0;
  for (const Call& call : S().calls) {
    if (call.name == name && ++seen == nth) return &call;
  }
  return nullptr;
}

Device& TheDevice() {
  return S().device;
}

int OpenHandleCount() {
  return static_cast<int>(S().devices.size() + S().events.size());
}

std::uint32_t NowMs() {
  return S().now_ms;
}

void FailCall(const std::string& name, int nth, win::DWORD error) {
  S().scripts.push_back(Script{name, nth, error});
}

void QueueInput(const std::string& bytes) {
  QueueInputAt(S().now_ms, bytes);
}

void QueueInputAt(std::uint32_t time_ms, const std::string& bytes) {
  auto& arrivals = S().arrivals;
  auto at = std::upper_bound(arrivals.begin(), arrivals.end(), time_ms,
                             [](std::uint32_t t, const Arrival& a) { return t < a.time_ms; });
  arrivals.insert(at, Arrival{time_ms, bytes});
}

void ShortenWrite(int nth) {
  S().short_writes.insert(nth);
}

std::size_t PendingInputSize() {
  DeliverDue();
  return S().input.size();
}

void AdvanceMs(std::uint32_t ms) {
  S().now_ms += ms;
}

}  // namespace fake_platform

namespace win {

using fake_platform::Enter;
using fake_platform::Fail;
using fake_platform::IsDevice;
using fake_platform::S;
using fake_platform::Slot;

DWORD GetLastError() {
  return S().last_error;
}
void SetLastError(DWORD code) {
  S().last_error = code;
}

void Sleep(DWORD milliseconds) {
  Enter("Sleep", {milliseconds});
  S().now_ms += milliseconds;
}

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode, void*,
                   DWORD creation_disposition, DWORD flags_and_attributes, HANDLE) {
  const DWORD error =
      Enter("CreateFileA", {desired_access, share_mode, creation_disposition, flags_and_attributes},
            name ? name : "");
  if (error != ERROR_SUCCESS) {
    Fail(error);
    return INVALID_HANDLE_VALUE;
  }
  const HandleSlot slot = S().next_slot++;
  S().devices.insert(slot);
  return HandleFromSlot(slot);
}

BOOL CloseHandle(HANDLE handle) {
  const DWORD error = Enter("CloseHandle", {Slot(handle)});
  if (error != ERROR_SUCCESS) return Fail(error);
  const HandleSlot slot = SlotFromHandle(handle);
  if (S().devices.erase(slot) == 0 && S().events.erase(slot) == 0) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

HANDLE CreateEventA(void*, BOOL manual_reset, BOOL initial_state, const char* name) {
  const DWORD error =
      Enter("CreateEventA",
            {static_cast<std::uint64_t>(manual_reset), static_cast<std::uint64_t>(initial_state)},
            name ? name : "");
  if (error != ERROR_SUCCESS) {
    Fail(error);
    return nullptr;
  }
  const HandleSlot slot = S().next_slot++;
  S().events.insert(slot);
  return HandleFromSlot(slot);
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read, OVERLAPPED* overlapped) {
  const DWORD error = Enter("ReadFile", {Slot(handle), count, overlapped ? 1u : 0u});
  if (count_read) *count_read = 0;
  if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  const DWORD got = fake_platform::ReadUnderTimeouts(static_cast<unsigned char*>(buffer), count);
  // Reading records no call, so the last call is still this one.
  if (got > 0) S().calls.back().text.assign(static_cast<const char*>(buffer), got);
  if (error == ERROR_IO_PENDING) {
    S().pending[overlapped] = got;
    return Fail(ERROR_IO_PENDING);
  }
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = got;
  }
  if (count_read) *count_read = got;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written,
               OVERLAPPED* overlapped) {
  const std::string bytes = buffer ? std::string(static_cast<const char*>(buffer), count) : "";
  const DWORD error = Enter("WriteFile", {Slot(handle), count, overlapped ? 1u : 0u}, bytes);
  if (count_written) *count_written = 0;
  if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  DWORD taken = count < S().device.write_limit ? count : S().device.write_limit;
  if (taken > 0 && S().short_writes.count(fake_platform::CountCalls("WriteFile")) != 0) --taken;
  S().device.output += bytes.substr(0, taken);
  if (error == ERROR_IO_PENDING) {
    S().pending[overlapped] = taken;
    return Fail(ERROR_IO_PENDING);
  }
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = taken;
  }
  if (count_written) *count_written = taken;
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* count_transferred,
                         BOOL wait) {
  const DWORD error =
      Enter("GetOverlappedResult", {Slot(handle), static_cast<std::uint64_t>(wait)});
  if (count_transferred) *count_transferred = 0;
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  DWORD count = overlapped ? overlapped->InternalHigh : 0;
  auto it = S().pending.find(overlapped);
  if (it != S().pending.end()) {
    count = it->second;
    S().pending.erase(it);
    if (overlapped) {
      overlapped->Internal = 0;
      overlapped->InternalHigh = count;
    }
  }
  if (count_transferred) *count_transferred = count;
  return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  const DWORD error = Enter("GetCommState", {Slot(handle)});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  *dcb = S().device.dcb;
  return TRUE;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  const DWORD error = Enter(
      "SetCommState", {Slot(handle), dcb->BaudRate, dcb->ByteSize, dcb->Parity, dcb->StopBits});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  fake_platform::Device& device = S().device;
  device.dcb = *dcb;
  device.dcb_set = true;
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE) device.dtr = true;
  if (dcb->fDtrControl == DTR_CONTROL_DISABLE) device.dtr = false;
  if (dcb->fRtsControl == RTS_CONTROL_ENABLE) device.rts = true;
  if (dcb->fRtsControl == RTS_CONTROL_DISABLE) device.rts = false;
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  const DWORD error = Enter("GetCommTimeouts", {Slot(handle)});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  *timeouts = S().device.timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  const DWORD error =
      Enter("SetCommTimeouts",
            {Slot(handle), timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
             timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
             timeouts->WriteTotalTimeoutConstant});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  S().device.timeouts = *timeouts;
  S().device.timeouts_set = true;
  return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD input_queue, DWORD output_queue) {
  const DWORD error = Enter("SetupComm", {Slot(handle), input_queue, output_queue});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  S().device.input_queue_size = input_queue;
  S().device.output_queue_size = output_queue;
  return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD event_mask) {
  const DWORD error = Enter("SetCommMask", {Slot(handle), event_mask});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  S().device.event_mask = event_mask;
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  const DWORD error = Enter("EscapeCommFunction", {Slot(handle), function});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  fake_platform::Device& device = S().device;
  switch (function) {
    case SETDTR:
      device.dtr = true;
      break;
    case CLRDTR:
      device.dtr = false;
      break;
    case SETRTS:
      device.rts = true;
      break;
    case CLRRTS:
      device.rts = false;
      break;
    case SETBREAK:
      device.break_set = true;
      break;
    case CLRBREAK:
      device.break_set = false;
      break;
    case SETXON:
    case SETXOFF:
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  const DWORD error = Enter("PurgeComm", {Slot(handle), flags});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  if (flags & PURGE_RXCLEAR) {
    fake_platform::DeliverDue();
    S().input.clear();
  }
  return TRUE;
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  const DWORD error = Enter("ClearCommError", {Slot(handle)});
  if (error != ERROR_SUCCESS) return Fail(error);
  if (!IsDevice(handle)) return Fail(ERROR_INVALID_HANDLE);
  fake_platform::DeliverDue();
  if (errors) *errors = S().device.line_errors;
  S().device.line_errors = 0;
  if (status) {
    std::memset(status, 0, sizeof *status);
    status->cbInQue = static_cast<DWORD>(S().input.size());
  }
  return TRUE;
}

}  // namespace win
