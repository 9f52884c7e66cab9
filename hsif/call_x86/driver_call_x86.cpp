#include "driver_call.h"

#include "call_stack_args.h"

std::int32_t CallDriverWords(win::FARPROC address, CalledEntry entry, const std::uint32_t* words,
                             std::uint32_t count) {
  std::uint32_t removed = 0;
  std::int32_t result = HsifCallStackArgs(address, words, count, &removed);
  NoteDriverCall(entry, 4 * count, removed);
  return result;
}

std::int32_t CallOtherDriverWords(win::FARPROC address, const std::uint32_t* words,
                                  std::uint32_t count) {
  std::uint32_t removed = 0;
  return HsifCallStackArgs(address, words, count, &removed);
}
