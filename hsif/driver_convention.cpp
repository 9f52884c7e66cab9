#include "hsif/driver_convention.h"

#include <atomic>
#include <cstdio>
#include <cstring>

const char* const kCalledEntryNames[kCalledEntryCount] = {
#define HSIF_CALLED_NAME(name, type) #name,
    HSIF_CALLED_ENTRY_POINTS(HSIF_CALLED_NAME)
#undef HSIF_CALLED_NAME
};

namespace {

// One note per entry point: the argument bytes in the high half, the removed
// bytes in the low half. A note always has argument bytes, so 0 (the value
// before the first call) is no note.
constexpr std::uint32_t kNoNote = 0;
std::atomic<std::uint32_t> g_notes[kCalledEntryCount];

struct NoteCount {
  int caller = 0;  // left their arguments
  int driver = 0;  // removed them
  int other = -1;  // index of the first entry point that removed another amount
};

std::uint32_t NoteOf(std::size_t index) {
  return g_notes[index].load(std::memory_order_relaxed);
}

NoteCount CountNotes() {
  NoteCount count;
  for (std::size_t i = 0; i < kCalledEntryCount; ++i) {
    std::uint32_t note = NoteOf(i);
    if (note == kNoNote) continue;
    std::uint32_t passed = note >> 16;
    std::uint32_t removed = note & 0xFFFFu;
    if (removed == 0) {
      ++count.caller;
    } else if (removed == passed) {
      ++count.driver;
    } else if (count.other < 0) {
      count.other = static_cast<int>(i);
    }
  }
  return count;
}

// Appends the names of the noted entry points that removed (or left) their
// arguments.
void AppendNames(char* text, std::size_t size, bool removed) {
  for (std::size_t i = 0; i < kCalledEntryCount; ++i) {
    std::uint32_t note = NoteOf(i);
    if (note == kNoNote || ((note & 0xFFFFu) != 0) != removed) continue;
    std::size_t used = std::strlen(text);
    if (used + 1 >= size) return;
    std::snprintf(text + used, size - used, " %s", kCalledEntryNames[i]);
  }
}

}  // namespace

void NoteDriverCall(CalledEntry entry, std::uint32_t argument_bytes, std::uint32_t removed_bytes) {
  if (argument_bytes == 0) return;
  auto index = static_cast<std::size_t>(entry);
  if (index >= kCalledEntryCount) return;
  // Both amounts are small (at most a few dozen bytes); anything else is
  // kept as "another amount" all the same.
  std::uint32_t note =
      (argument_bytes & 0xFFFFu) << 16 | (removed_bytes > 0xFFFEu ? 0xFFFEu : removed_bytes);
  std::uint32_t expected = kNoNote;
  // The first note stays: a later call never overwrites it.
  g_notes[index].compare_exchange_strong(expected, note, std::memory_order_relaxed);
}

DriverConvention ObservedDriverConvention() {
  NoteCount count = CountNotes();
  if (count.other >= 0) return DriverConvention::kOtherArguments;
  if (count.caller > 0 && count.driver > 0) return DriverConvention::kMixed;
  if (count.driver > 0) return DriverConvention::kDriverRemoves;
  if (count.caller > 0) return DriverConvention::kCallerRemoves;
  return DriverConvention::kNotObserved;
}

void DescribeDriverConvention(char* text, std::size_t size) {
  if (size == 0) return;
  text[0] = '\0';
  NoteCount count = CountNotes();
  switch (ObservedDriverConvention()) {
    case DriverConvention::kNotObserved:
      std::snprintf(text, size, "not yet observed (no call with arguments made)");
      return;
    case DriverConvention::kCallerRemoves:
      std::snprintf(text, size, "__cdecl (the caller removes the arguments)");
      return;
    case DriverConvention::kDriverRemoves:
      std::snprintf(text, size, "__stdcall (the driver removes its arguments)");
      return;
    case DriverConvention::kMixed:
      std::snprintf(text, size, "mixed: the driver removes its arguments in");
      AppendNames(text, size, true);
      {
        std::size_t used = std::strlen(text);
        if (used + 1 < size) std::snprintf(text + used, size - used, "; leaves them in");
      }
      AppendNames(text, size, false);
      return;
    case DriverConvention::kOtherArguments: {
      std::uint32_t note = NoteOf(static_cast<std::size_t>(count.other));
      std::snprintf(text, size,
                    "%s removed %u of its %u bytes of arguments: it takes other arguments "
                    "than the program passes",
                    kCalledEntryNames[count.other], static_cast<unsigned>(note & 0xFFFFu),
                    static_cast<unsigned>(note >> 16));
      return;
    }
  }
}

void ForgetDriverCalls() {
  for (auto& note : g_notes) note.store(kNoNote, std::memory_order_relaxed);
}
