#include "platform/comm.h"

#include <windows.h>

#include <cstring>

namespace win {
namespace {

// The layer's records are declared with the Windows layouts; the platform's
// own are copied byte for byte.
static_assert(sizeof(::DCB) == sizeof(DCB));
static_assert(sizeof(::COMMTIMEOUTS) == sizeof(COMMTIMEOUTS));
static_assert(sizeof(::COMSTAT) == sizeof(COMSTAT));

template <typename To, typename From>
void CopyRecord(To* to, const From* from) {
  static_assert(sizeof(To) == sizeof(From));
  std::memcpy(to, from, sizeof(To));
}

}  // namespace

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  if (dcb == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::DCB native{};
  native.DCBlength = sizeof native;
  BOOL result = ::GetCommState(handle, &native);
  if (result) CopyRecord(dcb, &native);
  return result;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  if (dcb == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::DCB native;
  CopyRecord(&native, dcb);
  return ::SetCommState(handle, &native);
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::COMMTIMEOUTS native{};
  BOOL result = ::GetCommTimeouts(handle, &native);
  if (result) CopyRecord(timeouts, &native);
  return result;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::COMMTIMEOUTS native;
  CopyRecord(&native, timeouts);
  return ::SetCommTimeouts(handle, &native);
}

BOOL SetupComm(HANDLE handle, DWORD input_queue, DWORD output_queue) {
  return ::SetupComm(handle, input_queue, output_queue);
}

BOOL SetCommMask(HANDLE handle, DWORD event_mask) {
  return ::SetCommMask(handle, event_mask);
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  return ::EscapeCommFunction(handle, function);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  return ::PurgeComm(handle, flags);
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  ::DWORD native_errors = 0;
  ::COMSTAT native_status{};
  BOOL result = ::ClearCommError(handle, &native_errors, &native_status);
  if (result) {
    if (errors != nullptr) *errors = native_errors;
    if (status != nullptr) CopyRecord(status, &native_status);
  }
  return result;
}

}  // namespace win

namespace platform {

std::size_t StandardBitRates(const win::DWORD** rates) {
  // The CBR_ rates, and the higher ones that serial adapters commonly take.
  static const win::DWORD kRates[] = {110,    300,    600,    1200,   2400,   4800,
                                      9600,   14400,  19200,  38400,  56000,  57600,
                                      115200, 128000, 230400, 256000, 460800, 921600};
  *rates = kRates;
  return sizeof kRates / sizeof kRates[0];
}

}  // namespace platform
