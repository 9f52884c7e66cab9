#include "monitor/sample_round.h"

#include "monitor/angle.h"

bool RawLostDataFlag(const RawSample* raw) {
  return (raw[kRawBufferSlots - 1].words[0] & kRawLostDataBit) != 0;
}

std::uint32_t BoundedSampleCount(std::uint32_t reported) {
  return reported > static_cast<std::uint32_t>(kRawBufferSlots)
             ? static_cast<std::uint32_t>(kRawBufferSlots)
             : reported;
}

void PrintSampleRound(std::FILE* stream, const ProcessedSample* processed, std::uint32_t count) {
  // The first record is printed on every round, even when nothing was fetched:
  // the operator sees the loop is alive and where the mirror last was.
  std::fprintf(stream, "%6d\t", AngleTenthsOfDegree(processed[0].angle));
  std::fprintf(stream, "%d\t", IndexFlag(processed[0].flags));
  std::fprintf(stream, "\n");
  for (std::uint32_t i = 0; i < count; ++i) {
    if (IndexFlag(processed[i].flags) != 0) {
      std::fprintf(stream, ">>>> %6d\t", AngleTenthsOfDegree(processed[i].angle));
      std::fprintf(stream, "%d\t", 1);
      std::fprintf(stream, "\n");
    }
  }
}
