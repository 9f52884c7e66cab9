// Steps the channel's operations share: the poll of the input queue, a read
// request that is always finished when it returns, and the release of the
// transfer events. Internal to the channel.
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"

namespace serial_channel {

// Clears the line's error state and stores the count of bytes waiting in the
// input queue. false when the line could not be asked (it vanished, or the
// handle is no serial line); *queued is then 0.
bool PollPort(SerialPort* port, std::uint32_t* queued);

// One read request of `count` bytes with the record's read block. A request
// left pending is waited for. *got receives the bytes delivered into `dest`
// (never more than `count`, also when the request failed after some). Returns
// whether the request succeeded.
bool RequestRead(SerialPort* port, void* dest, std::uint32_t count, std::uint32_t* got);

// Closes the events of the record's two transfer blocks and zeroes their
// slots; zero slots are left alone.
void CloseTransferEvents(SerialPort* port);

}  // namespace serial_channel
