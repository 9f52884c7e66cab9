// The HTTP side's own decisions (serve/http_answer.h).
#include "serve/http_answer.h"

#include <cstdint>
#include <cstring>

namespace serve {
namespace {

// Longer than any key's Basic form ("Basic " and base64 of a long user name
// and the key): refused unread.
constexpr std::size_t kMostAuthorizationBytes = 1024;

bool SchemeIs(const char* text, std::size_t bytes, const char* scheme) {
  const std::size_t n = std::strlen(scheme);
  if (bytes <= n || text[n] != ' ') return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return false;
  }
  return true;
}

// Compares without an early exit, so that the time taken tells nothing of
// where a guess went wrong.
bool SameBytes(const char* a, std::size_t a_bytes, const char* b, std::size_t b_bytes) {
  if (a_bytes != b_bytes) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a_bytes; ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with its padding; false for anything else. *out_bytes
// at most `room`.
bool DecodeBase64(const char* text, std::size_t bytes, char* out, std::size_t room,
                  std::size_t* out_bytes) {
  if (bytes == 0 || bytes % 4 != 0) return false;
  std::size_t n = 0;
  for (std::size_t i = 0; i < bytes; i += 4) {
    int v[4];
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      const char c = text[i + static_cast<std::size_t>(j)];
      if (c == '=' && i + 4 == bytes && j >= 2) {
        v[j] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // data after padding
      v[j] = Base64Value(c);
      if (v[j] < 0) return false;
    }
    const std::uint32_t word =
        (static_cast<std::uint32_t>(v[0]) << 18) | (static_cast<std::uint32_t>(v[1]) << 12) |
        (static_cast<std::uint32_t>(v[2]) << 6) | static_cast<std::uint32_t>(v[3]);
    const int take = 3 - pad;
    if (n + static_cast<std::size_t>(take) > room) return false;
    for (int j = 0; j < take; ++j) out[n++] = static_cast<char>((word >> (16 - 8 * j)) & 0xff);
  }
  *out_bytes = n;
  return true;
}

bool Is(const char* text, std::size_t bytes, const char* word) {
  return bytes == std::strlen(word) && std::memcmp(text, word, bytes) == 0;
}

// The number after "NAME=" in a query ("a=1&b=2"), kNone when it is not
// there or not a plain decimal number of at most 19 digits.
std::uint64_t QueryNumber(const char* query, std::size_t bytes, const char* name) {
  const std::size_t name_bytes = std::strlen(name);
  std::size_t at = 0;
  while (at < bytes) {
    std::size_t end = at;
    while (end < bytes && query[end] != '&') ++end;
    if (end - at > name_bytes && query[at + name_bytes] == '=' &&
        std::memcmp(query + at, name, name_bytes) == 0) {
      const std::size_t digits = end - at - name_bytes - 1;
      if (digits == 0 || digits > 19) return kNone;
      std::uint64_t value = 0;
      for (std::size_t i = at + name_bytes + 1; i < end; ++i) {
        if (query[i] < '0' || query[i] > '9') return kNone;
        value = value * 10 + static_cast<std::uint64_t>(query[i] - '0');
      }
      return value;
    }
    at = end + 1;
  }
  return kNone;
}

}  // namespace

bool KeyAccepted(const char* authorization, std::size_t bytes, const char* key,
                 std::size_t key_bytes) {
  if (authorization == nullptr || bytes > kMostAuthorizationBytes) return false;
  // Blanks around the credentials are the header's, not the key's.
  std::size_t start = 0;
  while (start < bytes && authorization[start] == ' ') ++start;
  while (bytes > start && (authorization[bytes - 1] == ' ' || authorization[bytes - 1] == '\t'))
    --bytes;
  const char* text = authorization + start;
  bytes -= start;
  if (SchemeIs(text, bytes, "bearer")) {
    return SameBytes(text + 7, bytes - 7, key, key_bytes);
  }
  if (SchemeIs(text, bytes, "basic")) {
    char pair[kMostAuthorizationBytes];
    std::size_t pair_bytes = 0;
    if (!DecodeBase64(text + 6, bytes - 6, pair, sizeof pair, &pair_bytes)) return false;
    const void* colon = std::memchr(pair, ':', pair_bytes);
    if (colon == nullptr) return false;
    const std::size_t user_bytes = static_cast<std::size_t>(static_cast<const char*>(colon) - pair);
    return SameBytes(pair + user_bytes + 1, pair_bytes - user_bytes - 1, key, key_bytes);
  }
  return false;
}

void AnswerRequest(const HttpQuestion& q, const char* key, std::size_t key_bytes,
                   const StatusSnapshot& status, HttpAnswer* answer) {
  answer->ask_key = false;
  answer->cacheable = false;
  answer->content_type = "text/plain; charset=utf-8";
  answer->body.clear();
  const bool head = Is(q.method, q.method_bytes, "HEAD");
  if (!head && !Is(q.method, q.method_bytes, "GET")) {
    answer->status = 405;
    answer->body = "scanmon-serve only answers GET and HEAD\n";
    return;
  }
  // The key before the route: without it nothing is told, not even which
  // paths exist.
  if (key != nullptr && !KeyAccepted(q.authorization, q.authorization_bytes, key, key_bytes)) {
    answer->status = 401;
    answer->ask_key = true;
    answer->body = "this server wants its key (HTTP Basic, any user name, or a bearer token)\n";
    return;
  }
  std::size_t path_bytes = 0;
  while (path_bytes < q.target_bytes && q.target[path_bytes] != '?') ++path_bytes;
  if (Is(q.target, path_bytes, "/metrics")) {
    answer->status = 200;
    answer->content_type = "text/plain; version=0.0.4; charset=utf-8";
    FormatMetrics(status, &answer->body);
  } else if (Is(q.target, path_bytes, "/status.json")) {
    // ?rates=N&events=M: the histories' points from those numbers on.
    const char* query = q.target + path_bytes + (path_bytes < q.target_bytes ? 1 : 0);
    const std::size_t query_bytes =
        q.target_bytes - path_bytes - (path_bytes < q.target_bytes ? 1 : 0);
    StatusQuery asked;
    asked.rates_from = QueryNumber(query, query_bytes, "rates");
    asked.events_from = QueryNumber(query, query_bytes, "events");
    answer->status = 200;
    answer->content_type = "application/json";
    FormatStatusJson(status, asked, &answer->body);
  } else if (Is(q.target, path_bytes, "/revolution.json")) {
    answer->status = 200;
    answer->content_type = "application/json";
    FormatRevolutionJson(status, &answer->body);
  } else {
    answer->status = 404;
    for (std::size_t i = 0; i < kPageFileCount; ++i) {
      const PageFile& file = kPageFiles[i];
      if (!Is(q.target, path_bytes, file.path)) continue;
      answer->status = 200;
      answer->content_type = file.content_type;
      answer->cacheable = true;
      answer->body.assign(reinterpret_cast<const char*>(file.data), file.bytes);
      break;
    }
    if (answer->status == 404)
      answer->body = "not here: /, /metrics, /status.json, /revolution.json\n";
  }
  if (head) answer->body.clear();
}

}  // namespace serve
