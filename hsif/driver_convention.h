// Which calling convention the driver's entry points turned out to use.
//
// On 32-bit x86 a function either removes its stack arguments itself on
// return (__stdcall) or leaves them to the caller (__cdecl); the name a DLL
// exports does not tell which. The program's driver calls are right either
// way (hsif/driver_entry.h), and each one there notes how many bytes of
// arguments it passed and how many the driver removed. The first note per
// entry point is kept; the summary below is what scanmon-preflight reports.
// Where the platform has one convention nothing is noted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hsif/driver_abi.h"

// The twenty entry points the program calls, by their position in
// HSIF_CALLED_ENTRY_POINTS.
enum class CalledEntry : std::uint8_t {
#define HSIF_CALLED_ENUM(name, type) name,
  HSIF_CALLED_ENTRY_POINTS(HSIF_CALLED_ENUM)
#undef HSIF_CALLED_ENUM
};
inline constexpr std::size_t kCalledEntryCount = 20;
#define HSIF_COUNT_CALLED(name, type) +1
static_assert(0 HSIF_CALLED_ENTRY_POINTS(HSIF_COUNT_CALLED) == kCalledEntryCount,
              "one position per entry point the program calls");
#undef HSIF_COUNT_CALLED

// Their names, in the same order.
extern const char* const kCalledEntryNames[kCalledEntryCount];

// Notes one call: argument_bytes passed on the stack, removed_bytes of them
// the driver had removed when it returned. Calls without arguments tell
// nothing and are not noted; only the first note of an entry point is kept.
// Safe from any thread.
void NoteDriverCall(CalledEntry entry, std::uint32_t argument_bytes, std::uint32_t removed_bytes);

enum class DriverConvention {
  kNotObserved,    // no call with arguments yet (or one convention only)
  kCallerRemoves,  // __cdecl: every noted entry point left its arguments
  kDriverRemoves,  // __stdcall: every noted entry point removed them
  kMixed,          // some of each: reported, not guessed at
  kOtherArguments  // an entry point removed a different amount: its
                   // arguments are not the ones the program passes
};

// The summary of every note so far.
DriverConvention ObservedDriverConvention();

// The summary as one line of text without a line end, at most size - 1
// characters: "__stdcall (the driver removes its arguments)", "__cdecl (the
// caller removes the arguments)", "not yet observed (...)", or, for a mixed
// driver or one that removes other amounts, which entry points did what.
void DescribeDriverConvention(char* text, std::size_t size);

// Forgets every note (for tests).
void ForgetDriverCalls();
