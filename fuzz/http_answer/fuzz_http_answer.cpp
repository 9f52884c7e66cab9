// The HTTP side's decisions on any request: the input is the method, the
// target and the Authorization header's value, split at the first two NUL
// bytes (no Authorization header when there are fewer), each handed over
// without a terminator, as the HTTP library hands them, so that a read past
// one is an ASan report. The snapshot's figures come from the input's last
// bytes, peer texts included.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "serve/http_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static serve::StatusSnapshot status;
  static serve::HttpAnswer answer;
  const char* text = reinterpret_cast<const char*>(data);
  const char* parts[3] = {text, nullptr, nullptr};
  std::size_t bytes[3] = {size, 0, 0};
  int count = 1;
  for (std::size_t i = 0; i < size && count < 3; ++i) {
    if (data[i] != 0) continue;
    bytes[count - 1] = static_cast<std::size_t>(text + i - parts[count - 1]);
    parts[count] = text + i + 1;
    bytes[count] = size - i - 1;
    ++count;
  }
  // Each part in an allocation of its own size.
  std::unique_ptr<char[]> copies[3];
  for (int i = 0; i < count; ++i) {
    copies[i].reset(new char[bytes[i]]);
    std::memcpy(copies[i].get(), parts[i], bytes[i]);
  }
  status.reader_count = size % (serve::kStatusMostReaders + 1);
  for (int i = 0; i < status.reader_count; ++i) {
    serve::ReaderStatus& r = status.readers[i];
    r.number = i;
    const std::size_t n = size < sizeof r.peer - 1 ? size : sizeof r.peer - 1;
    std::memcpy(r.peer, data, n);
    r.peer[n] = '\0';
    r.samples_lost = size;
  }
  // The histories wrapped or not, and a latest revolution with a range that
  // is no number (the query's numbers and the ring's meet in the answer).
  status.rates.total = size * 37;
  status.events.total = size * 3;
  status.events.points[size % serve::kEventHistory].kind =
      (size & 4) != 0 ? serve::EventKind::kDropped : serve::EventKind::kLostData;
  status.latest.known = (size & 8) != 0;
  status.latest.has_range = (size & 16) != 0;
  status.latest.points = static_cast<int>(size % (serve::kProfilePoints + 1));
  status.latest.range[0] = (size & 32) != 0 ? __builtin_nanf("") : 1.0f;
  std::memcpy(status.latest.range_unit, data,
              size < sizeof status.latest.range_unit ? size : sizeof status.latest.range_unit);
  status.rate_known = (size & 1) != 0;
  status.mirror_rate_hz = static_cast<double>(size) / 3.0;
  serve::HttpQuestion q;
  q.method = copies[0].get();
  q.method_bytes = bytes[0];
  if (count > 1) {
    q.target = copies[1].get();
    q.target_bytes = bytes[1];
  }
  if (count > 2) {
    q.authorization = copies[2].get();
    q.authorization_bytes = bytes[2];
  }
  static const char kKey[] = "fuzz:key";
  serve::AnswerRequest(q, (size & 2) != 0 ? kKey : nullptr, sizeof kKey - 1, status, &answer);
  if (answer.status != 200 && answer.status != 401 && answer.status != 404 &&
      answer.status != 405) {
    __builtin_trap();
  }
  return 0;
}
