// Driver calls where the platform has one calling convention (x86-64, and
// every processor but 32-bit x86): a plain call through a pointer of the entry
// point's own type. Nothing is noted: there is nothing to tell apart.
#pragma once

#include <cstdint>

#include "hsif/driver_convention.h"
#include "platform/win_types.h"

// False: a driver for this platform cannot differ in its calling convention.
inline constexpr bool kDriverConventionVaries = false;

template <typename... Args>
std::int32_t CallDriverEntry(win::FARPROC address, CalledEntry /*entry*/, Args... args) {
  return reinterpret_cast<std::int32_t (*)(Args...)>(address)(args...);
}

// A call to an entry point outside the twenty (an addition of one driver
// build, looked up by name): the same plain call, nothing noted.
template <typename... Args>
std::int32_t CallOtherDriverEntry(win::FARPROC address, Args... args) {
  return reinterpret_cast<std::int32_t (*)(Args...)>(address)(args...);
}
