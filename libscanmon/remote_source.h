// The remote source: a scanmon-serve server read over TCP (docs/stream.md).
//
// No thread of its own: a read waits on the socket in the caller's thread,
// at most its time-out. The bytes go through the stream's decoder, which keeps
// only what this reader uses of a block (64 bytes a sample, 16 raw, whatever
// the server's record sizes) in arrays sized at open for the server's
// largest block; a partial frame waits in the decoder across reads; nothing
// is allocated per block.
#pragma once

#include <cstdint>
#include <memory>

#include "libscanmon/source.h"

namespace scanmon_lib {

// Opens with arguments already checked. SCANMON_OK and *source, or the
// failure's status with the thread's error text set.
int OpenRemoteSource(const char* host, std::uint16_t port, const scanmon_remote_options& options,
                     std::unique_ptr<Source>* source);

}  // namespace scanmon_lib
