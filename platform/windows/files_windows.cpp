#include "platform/files.h"

#include <windows.h>

#include <cstddef>

namespace win {
namespace {

// Windows keeps the request's status (an NTSTATUS) in Internal; a request that
// is still in flight shows this value.
constexpr ::DWORD kStatusPending = 0x00000103;

#if defined(_WIN64)
// The record's blocks keep the 32-bit Windows form, which the card's 32-bit
// driver shares. A 64-bit process needs a native block: one is made for each
// request and its outcome copied back, so no native block outlives the call.
struct NativeBlock {
  ::OVERLAPPED block;
};

::OVERLAPPED* BeginRequest(NativeBlock& native, const OVERLAPPED* overlapped) {
  native.block = ::OVERLAPPED{};
  native.block.Internal = overlapped->Internal;
  native.block.InternalHigh = overlapped->InternalHigh;
  native.block.Offset = overlapped->Offset;
  native.block.OffsetHigh = overlapped->OffsetHigh;
  // Handles carry 32 significant bits and are sign-extended when widened.
  native.block.hEvent = HandleFromSlot(overlapped->hEvent);
  return &native.block;
}

void EndRequest(const NativeBlock& native, OVERLAPPED* overlapped) {
  overlapped->Internal = static_cast<DWORD>(native.block.Internal);
  overlapped->InternalHigh = static_cast<DWORD>(native.block.InternalHigh);
}
#else
// On 32-bit Windows the record's block is the platform's own.
static_assert(sizeof(::OVERLAPPED) == sizeof(OVERLAPPED));
static_assert(offsetof(::OVERLAPPED, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(::OVERLAPPED, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(::OVERLAPPED, hEvent) == offsetof(OVERLAPPED, hEvent));

struct NativeBlock {};

::OVERLAPPED* BeginRequest(NativeBlock&, OVERLAPPED* overlapped) {
  return reinterpret_cast<::OVERLAPPED*>(overlapped);
}

void EndRequest(const NativeBlock&, OVERLAPPED*) {}
#endif

// Waits for a request that went pending, so that every request is finished
// before the call that made it returns (as on Linux). The request's own error
// is left for GetLastError.
BOOL CollectRequest(HANDLE handle, ::OVERLAPPED* native, BOOL issued, ::DWORD* transferred) {
  if (issued || ::GetLastError() != ERROR_IO_PENDING) return issued;
  return ::GetOverlappedResult(handle, native, transferred, TRUE);
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD desired_access, DWORD share_mode,
                   void* security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file) {
  return ::CreateFileA(name, desired_access, share_mode,
                       static_cast<LPSECURITY_ATTRIBUTES>(security_attributes),
                       creation_disposition, flags_and_attributes, template_file);
}

BOOL CloseHandle(HANDLE handle) {
  return ::CloseHandle(handle);
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distance_high, DWORD method) {
  return ::SetFilePointer(handle, distance, reinterpret_cast<::LONG*>(distance_high), method);
}

BOOL SetEndOfFile(HANDLE handle) {
  return ::SetEndOfFile(handle);
}

BOOL FlushFileBuffers(HANDLE handle) {
  return ::FlushFileBuffers(handle);
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* count_read, OVERLAPPED* overlapped) {
  ::DWORD transferred = 0;
  BOOL result;
  if (overlapped == nullptr) {
    result = ::ReadFile(handle, buffer, count, &transferred, nullptr);
  } else {
    NativeBlock native;
    ::OVERLAPPED* block = BeginRequest(native, overlapped);
    result = CollectRequest(handle, block, ::ReadFile(handle, buffer, count, &transferred, block),
                            &transferred);
    ::DWORD error = ::GetLastError();
    EndRequest(native, overlapped);
    ::SetLastError(error);
  }
  if (count_read != nullptr) *count_read = transferred;
  return result;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* count_written,
               OVERLAPPED* overlapped) {
  ::DWORD transferred = 0;
  BOOL result;
  if (overlapped == nullptr) {
    result = ::WriteFile(handle, buffer, count, &transferred, nullptr);
  } else {
    NativeBlock native;
    ::OVERLAPPED* block = BeginRequest(native, overlapped);
    result = CollectRequest(handle, block, ::WriteFile(handle, buffer, count, &transferred, block),
                            &transferred);
    ::DWORD error = ::GetLastError();
    EndRequest(native, overlapped);
    ::SetLastError(error);
  }
  if (count_written != nullptr) *count_written = transferred;
  return result;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* count_transferred,
                         BOOL wait) {
  if (overlapped == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Every request was collected by the call that made it, so a block that
  // still shows "pending" holds no request at all: waiting on it would never
  // end.
  if (overlapped->Internal == kStatusPending) {
    ::SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  // The platform turns the stored status into the request's error code.
  NativeBlock native;
  ::OVERLAPPED* block = BeginRequest(native, overlapped);
  ::DWORD transferred = 0;
  BOOL result = ::GetOverlappedResult(handle, block, &transferred, wait);
  if (count_transferred != nullptr) *count_transferred = transferred;
  return result;
}

HANDLE CreateEventA(void* security_attributes, BOOL manual_reset, BOOL initial_state,
                    const char* name) {
  return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(security_attributes), manual_reset,
                        initial_state, name);
}

}  // namespace win
