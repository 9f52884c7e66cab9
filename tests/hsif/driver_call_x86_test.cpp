// The 32-bit x86 driver call routine with functions of both calling
// conventions and of zero to five arguments: each gets its arguments in
// order, returns its result, and leaves the caller's stack and registers as
// they were, and the routine tells how many bytes the function removed.
#include <gtest/gtest.h>

#include <cstdint>

#include "call_stack_args.h"
#include "hsif/driver_entry.h"

#define TEST_STDCALL __attribute__((stdcall))
#define TEST_CDECL __attribute__((cdecl))

namespace {

// Folds the arguments in order, so that a lost or swapped one shows.
constexpr std::int32_t Fold(std::int32_t sum, std::int32_t next) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(sum) * 31u +
                                   static_cast<std::uint32_t>(next));
}

using I = std::int32_t;
I TEST_CDECL C0() {
  return 7;
}
I TEST_CDECL C1(I a) {
  return Fold(7, a);
}
I TEST_CDECL C2(I a, I b) {
  return Fold(Fold(7, a), b);
}
I TEST_CDECL C3(I a, I b, I c) {
  return Fold(Fold(Fold(7, a), b), c);
}
I TEST_CDECL C5(I a, I b, I c, I d, I e) {
  return Fold(Fold(Fold(Fold(Fold(7, a), b), c), d), e);
}
I TEST_STDCALL S0() {
  return 7;
}
I TEST_STDCALL S1(I a) {
  return Fold(7, a);
}
I TEST_STDCALL S2(I a, I b) {
  return Fold(Fold(7, a), b);
}
I TEST_STDCALL S4(I a, I b, I c, I d) {
  return Fold(Fold(Fold(Fold(7, a), b), c), d);
}
I TEST_STDCALL S5(I a, I b, I c, I d, I e) {
  return Fold(Fold(Fold(Fold(Fold(7, a), b), c), d), e);
}

template <typename Fn>
win::FARPROC Address(Fn* function) {
  return reinterpret_cast<win::FARPROC>(reinterpret_cast<void*>(function));
}

struct Row {
  win::FARPROC function;
  std::uint32_t count;
  bool removes;  // __stdcall
};

TEST(DriverCallRoutine, CallsEitherConventionWithItsArguments) {
  const Row rows[] = {{Address(C0), 0, false}, {Address(C1), 1, false}, {Address(C2), 2, false},
                      {Address(C3), 3, false}, {Address(C5), 5, false}, {Address(S0), 0, true},
                      {Address(S1), 1, true},  {Address(S2), 2, true},  {Address(S4), 4, true},
                      {Address(S5), 5, true}};
  const std::uint32_t words[] = {101, static_cast<std::uint32_t>(-2), 3000000, 0x7FFFFFFF,
                                 static_cast<std::uint32_t>(-5)};
  for (const Row& row : rows) {
    I expected = 7;
    for (std::uint32_t i = 0; i < row.count; ++i)
      expected = Fold(expected, static_cast<I>(words[i]));
    // Many calls in a row: a stack pointer or a register left wrong by one
    // of them would not go unnoticed for long.
    for (int round = 0; round < 1000; ++round) {
      std::uint32_t removed = 0xDEADBEEF;
      ASSERT_EQ(HsifCallStackArgs(row.function, words, row.count, &removed), expected)
          << row.count << " arguments, " << (row.removes ? "__stdcall" : "__cdecl");
      ASSERT_EQ(removed, row.removes ? 4 * row.count : 0u) << row.count << " arguments";
    }
  }
}

// Declares one argument where the program passes two: it removes only 4 bytes.
I TEST_STDCALL ShortQuery(I card) {
  return card + 1;
}

class DriverEntryCall : public testing::Test {
 protected:
  void SetUp() override { ForgetDriverCalls(); }
  void TearDown() override { ForgetDriverCalls(); }
};

TEST_F(DriverEntryCall, SurvivesADriverThatRemovesAnotherAmount) {
  DriverEntry<HsifQueryFn> model;
  model.Bind(Address(ShortQuery), CalledEntry::HsifGetCardModel);
  I value = 5;
  EXPECT_EQ(model(9, &value), 10);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(ObservedDriverConvention(), DriverConvention::kOtherArguments);
}

}  // namespace
