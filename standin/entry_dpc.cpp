// HsifGetDpcReadTime lives alone in this file: the copy of the library built
// without it (standin-incomplete) is the test case of a driver that lacks one
// of its fifty names.
#include "standin/driver_state.h"
#include "standin/hsif_standin.h"
#include "standin/sim_log.h"

using namespace standin;

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetDpcReadTime(hsif_i32 card, hsif_i32* microseconds) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && microseconds != nullptr) {
    *microseconds = static_cast<hsif_i32>(c->last_copy_ns / 1000);
    result = 1;
  }
  LogLine("HsifGetDpcReadTime card=%d -> %d", card, result);
  return result;
}
