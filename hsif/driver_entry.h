// One typed slot of the driver table. It holds an entry point's address and is
// called like the entry point itself: g_driver.HsifOpen(card_number, port).
//
// How the call is made belongs to the processor and is chosen by the build
// (driver_call.h from hsif/call_direct/ or hsif/call_x86/):
// - where the platform has one calling convention (x86-64 and every other
//   processor but 32-bit x86), a plain call through a pointer of the entry
//   point's type;
// - on 32-bit x86, a call through one small routine that keeps the stack
//   pointer in a callee-saved register around the call, so the call is right
//   whether the driver removes its arguments from the stack (__stdcall) or
//   leaves them to the caller (__cdecl); the routine also tells which one the
//   driver did, and the call notes it (hsif/driver_convention.h).
#pragma once

#include <cstdint>

#include "driver_call.h"  // chosen by the build: hsif/call_direct or hsif/call_x86
#include "hsif/driver_convention.h"
#include "platform/win_types.h"

template <typename Signature>
class DriverEntry;

template <typename... Args>
class DriverEntry<std::int32_t(Args...)> {
 public:
  constexpr DriverEntry() = default;

  // Takes the entry point's address (null: none) and which of the twenty it is.
  void Bind(win::FARPROC address, CalledEntry entry) {
    address_ = address;
    entry_ = entry;
  }

  bool bound() const { return address_ != nullptr; }

  std::int32_t operator()(Args... args) const {
    return CallDriverEntry<Args...>(address_, entry_, args...);
  }

 private:
  win::FARPROC address_ = nullptr;
  CalledEntry entry_ = CalledEntry::HsifDllInit;
};
