// What scanmon-serve reads before its server starts: the key its readers must
// present, and which source a file names (a capture with or without its raw
// records, a properties file or a capture configuration).
#pragma once

#include <cstddef>

#include "stream/stream_protocol.h"

namespace serve {

// The key readers (and HTTP clients) must present; `present` false: none.
struct ReaderKey {
  char bytes[stream::kMaxKeyBytes];
  std::size_t length = 0;
  bool present = false;
};

// The key: the first line of the file `path`, or, without a file,
// SCANMON_SERVE_KEY when it is set. False with a message on stderr when the
// file cannot be read or the key is empty or longer than stream::kMaxKeyBytes.
bool ReadReaderKey(const char* path, ReaderKey* key);

// BASE.raw (BASE given with or without its .prc) is there.
bool HasRawFile(const char* base);

// A properties file has '=' on its first line that holds anything; a capture
// configuration has none there.
bool LooksLikeProperties(const char* path);

}  // namespace serve
