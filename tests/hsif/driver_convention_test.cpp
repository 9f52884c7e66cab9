// What the program makes of the notes its driver calls leave: which calling
// convention the driver uses, a mixed driver named entry point by entry point,
// and a driver that removes amounts that fit neither convention.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hsif/driver_convention.h"

namespace {

struct Note {
  CalledEntry entry;
  std::uint32_t passed;
  std::uint32_t removed;
};

struct Row {
  const char* label;
  std::vector<Note> notes;
  DriverConvention convention;
  const char* text;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.label;
}

class DriverConventionSummary : public testing::TestWithParam<Row> {
 protected:
  void SetUp() override { ForgetDriverCalls(); }
  void TearDown() override { ForgetDriverCalls(); }
};

TEST_P(DriverConventionSummary, NamesWhatTheDriverDid) {
  const Row& row = GetParam();
  for (const Note& note : row.notes) NoteDriverCall(note.entry, note.passed, note.removed);
  EXPECT_EQ(ObservedDriverConvention(), row.convention);
  char text[400];
  std::memset(text, 'x', sizeof text);
  DescribeDriverConvention(text, sizeof text);
  EXPECT_EQ(std::string(text), row.text);
}

constexpr auto kModel = CalledEntry::HsifGetCardModel;
constexpr auto kPeriod = CalledEntry::HsifGetMinSamplePeriod;
constexpr auto kOpen = CalledEntry::HsifOpen;

INSTANTIATE_TEST_SUITE_P(
    Notes, DriverConventionSummary,
    testing::Values(
        Row{"none",
            {},
            DriverConvention::kNotObserved,
            "not yet observed (no call with arguments made)"},
        Row{"no_arguments_tell_nothing",
            {{CalledEntry::HsifDllInit, 0, 0}},
            DriverConvention::kNotObserved,
            "not yet observed (no call with arguments made)"},
        Row{"caller_removes",
            {{kModel, 8, 0}, {kOpen, 8, 0}},
            DriverConvention::kCallerRemoves,
            "__cdecl (the caller removes the arguments)"},
        Row{"driver_removes",
            {{kModel, 8, 8}, {CalledEntry::HsifGetBufferedSamples, 20, 20}},
            DriverConvention::kDriverRemoves,
            "__stdcall (the driver removes its arguments)"},
        Row{"first_note_kept",
            {{kModel, 8, 8}, {kModel, 8, 0}},
            DriverConvention::kDriverRemoves,
            "__stdcall (the driver removes its arguments)"},
        Row{"mixed",
            {{kPeriod, 8, 0}, {kModel, 8, 8}, {kOpen, 8, 8}},
            DriverConvention::kMixed,
            "mixed: the driver removes its arguments in HsifOpen HsifGetCardModel; leaves them "
            "in HsifGetMinSamplePeriod"},
        Row{"other_amount",
            {{kModel, 8, 8}, {kPeriod, 8, 4}},
            DriverConvention::kOtherArguments,
            "HsifGetMinSamplePeriod removed 4 of its 8 bytes of arguments: it takes other "
            "arguments than the program passes"}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.label); });

}  // namespace
