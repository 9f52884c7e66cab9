// Driver calls on 32-bit x86, where a driver's entry points may remove their
// stack arguments on return (__stdcall) or leave them to the caller (__cdecl),
// and nothing in the DLL says which.
//
// Every call goes through one routine, HsifCallStackArgs (driver_call_x86.S):
// it copies the arguments, 32-bit words, onto a stack of its own making, calls
// the entry point, and then puts the stack pointer back from a callee-saved
// register, so either convention returns to a correct stack. It also returns
// how many bytes of arguments the driver removed; the call notes that
// (hsif/driver_convention.h). This works because every entry point the
// program calls takes 32-bit integers and pointers and returns a 32-bit
// integer in EAX (hsif/driver_abi.h).
#pragma once

#include <cstdint>
#include <type_traits>

#include "hsif/driver_convention.h"
#include "platform/win_types.h"

// True: a driver for this platform may use either convention.
inline constexpr bool kDriverConventionVaries = true;

// Calls address through HsifCallStackArgs and notes what the driver removed.
std::int32_t CallDriverWords(win::FARPROC address, CalledEntry entry, const std::uint32_t* words,
                             std::uint32_t count);

// The same routine for an entry point outside the twenty (an addition of one
// driver build, looked up by name): right under either convention, nothing
// noted, since the twenty's summary is about the card's own entry points.
std::int32_t CallOtherDriverWords(win::FARPROC address, const std::uint32_t* words,
                                  std::uint32_t count);

// One argument as the 32-bit word the driver reads.
template <typename Arg>
std::uint32_t DriverWord(Arg arg) {
  static_assert(sizeof(Arg) == 4 && (std::is_integral_v<Arg> || std::is_pointer_v<Arg>),
                "driver entry points take 32-bit integers and pointers only");
  if constexpr (std::is_pointer_v<Arg>) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg));
  } else {
    return static_cast<std::uint32_t>(arg);
  }
}

template <typename... Args>
std::int32_t CallDriverEntry(win::FARPROC address, CalledEntry entry, Args... args) {
  // One more slot than arguments: an entry point may take none.
  const std::uint32_t words[sizeof...(Args) + 1] = {DriverWord(args)..., 0};
  return CallDriverWords(address, entry, words, sizeof...(Args));
}

template <typename... Args>
std::int32_t CallOtherDriverEntry(win::FARPROC address, Args... args) {
  const std::uint32_t words[sizeof...(Args) + 1] = {DriverWord(args)..., 0};
  return CallOtherDriverWords(address, words, sizeof...(Args));
}
