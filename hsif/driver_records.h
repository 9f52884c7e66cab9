// Records that cross the boundary between the program and the interface card's
// driver library. The driver is a closed 32-bit Windows library, so every layout
// here is fixed byte for byte and identical on every build (32-bit and 64-bit
// Windows, Linux); each offset is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

// The state of one open serial line. The driver's HsifOpenPort fills it (its OS
// handle first), the program's own port channel fills it the same way, and
// ClosePort releases it. The driver areas belong to the driver: the program
// neither clears nor reads them.
struct SerialPort {
  win::HandleSlot handle;  // OS handle of the line; -1 after a failed open
  win::DCB dcb;            // line settings last read from or written to the port
  std::uint8_t aux_flag;
  std::uint8_t driver_area_33[2003];
  std::int32_t is_open;  // 1 while the line is open
  std::int32_t aux1;
  std::int32_t aux2;
  std::uint8_t driver_area_2048[4];
  std::int32_t aux3;
  std::int32_t aux4;
  std::int32_t aux5;
  std::uint8_t data_bits;
  std::uint8_t handshake;  // flow-control selector read by the line set-up
  std::uint8_t parity;
  std::uint8_t stop_bits;
  std::int32_t baud_rate;
  std::uint16_t aux6;
  std::uint8_t driver_area_2074[2];
  std::int32_t aux7;
  std::uint8_t driver_area_2080[60];
  std::int32_t aux8;
  std::int32_t aux_block[8];
  std::uint8_t driver_area_2176[28];
  win::OVERLAPPED write_overlapped;  // its event is the record's write event
  win::OVERLAPPED read_overlapped;   // its event is the record's read event
};

static_assert(sizeof(SerialPort) == 2244, "SerialPort is the driver's 2244-byte record");
static_assert(offsetof(SerialPort, handle) == 0);
static_assert(offsetof(SerialPort, dcb) == 4);
static_assert(offsetof(SerialPort, aux_flag) == 32);
static_assert(offsetof(SerialPort, driver_area_33) == 33);
static_assert(offsetof(SerialPort, is_open) == 2036);
static_assert(offsetof(SerialPort, aux1) == 2040);
static_assert(offsetof(SerialPort, aux2) == 2044);
static_assert(offsetof(SerialPort, driver_area_2048) == 2048);
static_assert(offsetof(SerialPort, aux3) == 2052);
static_assert(offsetof(SerialPort, aux4) == 2056);
static_assert(offsetof(SerialPort, aux5) == 2060);
static_assert(offsetof(SerialPort, data_bits) == 2064);
static_assert(offsetof(SerialPort, handshake) == 2065);
static_assert(offsetof(SerialPort, parity) == 2066);
static_assert(offsetof(SerialPort, stop_bits) == 2067);
static_assert(offsetof(SerialPort, baud_rate) == 2068);
static_assert(offsetof(SerialPort, aux6) == 2072);
static_assert(offsetof(SerialPort, driver_area_2074) == 2074);
static_assert(offsetof(SerialPort, aux7) == 2076);
static_assert(offsetof(SerialPort, driver_area_2080) == 2080);
static_assert(offsetof(SerialPort, aux8) == 2140);
static_assert(offsetof(SerialPort, aux_block) == 2144);
static_assert(offsetof(SerialPort, driver_area_2176) == 2176);
static_assert(offsetof(SerialPort, write_overlapped) == 2204);
static_assert(offsetof(SerialPort, write_overlapped) + offsetof(win::OVERLAPPED, hEvent) == 2220);
static_assert(offsetof(SerialPort, read_overlapped) == 2224);
static_assert(offsetof(SerialPort, read_overlapped) + offsetof(win::OVERLAPPED, hEvent) == 2240);

// The monitor keeps its record in 2252 bytes of its own storage: the driver may
// write a little past the laid-out fields.
inline constexpr std::size_t kMonitorPortStorageBytes = 2252;
union MonitorPortStorage {
  SerialPort port;
  unsigned char bytes[kMonitorPortStorageBytes];
};
static_assert(sizeof(MonitorPortStorage) == kMonitorPortStorageBytes);

// Card handle from HsifOpen; -1 means no card.
using CardHandle = std::int32_t;
inline constexpr CardHandle kNoCard = -1;

// One raw sample as the card delivers it. The program reads only bit 0 of the
// first word of the last slot of a fetch buffer: the driver's lost-data signal.
struct RawSample {
  std::uint32_t words[4];
};
static_assert(sizeof(RawSample) == 16);
inline constexpr std::uint32_t kRawLostDataBit = 0x1;

// One sample after the driver has processed it.
struct ProcessedSample {
  std::uint16_t flags;  // bit 2 (value 4): the mirror's index mark
  std::uint8_t driver_area_2[6];
  double angle;  // scan-mirror angle, radians
  std::uint8_t driver_area_16[48];
};
static_assert(sizeof(ProcessedSample) == 64);
static_assert(offsetof(ProcessedSample, flags) == 0);
static_assert(offsetof(ProcessedSample, angle) == 8);
inline constexpr std::uint16_t kProcessedIndexFlag = 0x4;

inline constexpr int kRawBufferSlots = 5000;
inline constexpr int kProcessedStoreRecords = 1000000;
