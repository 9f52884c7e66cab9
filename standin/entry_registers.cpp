// Entry points of the card's registers and bus diagnostics.
#include <cstring>

#include "standin/driver_state.h"
#include "standin/hsif_standin.h"
#include "standin/sim_clock.h"
#include "standin/sim_log.h"

using namespace standin;

namespace {

// Where the bus benchmark leaves its sum, so the reads are not optimised away.
volatile std::int32_t g_bench_sink;

}  // namespace

HSIF_API hsif_i32 HSIF_CALLCONV HsifGetFPGAVersion(hsif_i32 card, hsif_i32* version) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && version != nullptr) {
    *version = c->registers[0];
    result = 1;
  }
  LogLine("HsifGetFPGAVersion card=%d -> %d", card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifReadWord(hsif_i32 card, hsif_i32 address, hsif_i32* value) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && value != nullptr && address >= 0 && address < kRegisterCount) {
    *value = c->registers[address];
    result = 1;
  }
  LogLine("HsifReadWord address=%d card=%d -> %d", address, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifWriteWord(hsif_i32 card, hsif_i32 address, hsif_i32 value) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  // Register 0 is the FPGA's version: wired, not writable.
  if (c != nullptr && address >= 1 && address < kRegisterCount) {
    c->registers[address] = value;
    result = 1;
  }
  LogLine("HsifWriteWord address=%d value=%d card=%d -> %d", address, value, card, result);
  return result;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifDisableInterrupts(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) c->interrupts = false;
  LogLine("HsifDisableInterrupts card=%d -> %d", card, c != nullptr ? 1 : 0);
  return c != nullptr ? 1 : 0;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifEnableInterrupts(hsif_i32 card) {
  Card* c = FindOpenCard(card);
  if (c != nullptr) c->interrupts = true;
  LogLine("HsifEnableInterrupts card=%d -> %d", card, c != nullptr ? 1 : 0);
  return c != nullptr ? 1 : 0;
}

HSIF_API hsif_i32 HSIF_CALLCONV HsifBenchPciRead(hsif_i32 card, hsif_i32 words,
                                                 hsif_i32* microseconds) {
  Card* c = FindOpenCard(card);
  hsif_i32 result = 0;
  if (c != nullptr && microseconds != nullptr && words >= 1 && words <= 65536) {
    // Reads the register file round and round, as a bus benchmark reads a
    // card's window.
    std::int64_t start = MonotonicNs();
    std::int32_t sum = 0;
    for (hsif_i32 i = 0; i < words; ++i) sum += c->registers[i % kRegisterCount];
    g_bench_sink = sum;
    *microseconds = static_cast<hsif_i32>((MonotonicNs() - start) / 1000);
    result = 1;
  }
  LogLine("HsifBenchPciRead words=%d card=%d -> %d", words, card, result);
  return result;
}
