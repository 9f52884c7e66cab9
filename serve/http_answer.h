// What the HTTP side answers, apart from the transport (serve/http_server.h
// carries it): the routes, the key check of the Authorization header, and
// the status snapshot in the form asked for. Fuzzed (fuzz/http_answer).
//
// Read-only: GET and HEAD only; nothing asked here changes the source. The
// status page (/ and its files) reads /status.json.
#pragma once

#include <cstddef>
#include <string>

#include "serve/status.h"

namespace serve {

// The Authorization header's value holds the key: "Bearer KEY", or "Basic "
// and base64 of "USER:KEY" (any user name; a scraper's or a browser's
// prompt). The scheme's name in any case. False for anything else, also a
// header too long to be either (it is never copied).
bool KeyAccepted(const char* authorization, std::size_t bytes, const char* key,
                 std::size_t key_bytes);

struct HttpAnswer {
  int status = 500;
  const char* content_type = "text/plain; charset=utf-8";
  bool ask_key = false;    // 401: WWW-Authenticate goes with it
  bool cacheable = false;  // one of the page's files, the same all run
  std::string body;
};

// The status page's files (serve/page/), built into the program
// (serve/page/embed.cmake writes them).
struct PageFile {
  const char* path;  // "/", "/page.js" ...
  const char* content_type;
  const unsigned char* data;
  std::size_t bytes;
};
extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

struct HttpQuestion {
  const char* method = "";
  std::size_t method_bytes = 0;
  const char* target = "";  // the request target as sent: path and query
  std::size_t target_bytes = 0;
  const char* authorization = nullptr;  // nullptr: no such header
  std::size_t authorization_bytes = 0;
};

// The answer to one request. key nullptr: none wanted. HEAD gets GET's
// status and type with an empty body.
void AnswerRequest(const HttpQuestion& q, const char* key, std::size_t key_bytes,
                   const StatusSnapshot& status, HttpAnswer* answer);

}  // namespace serve
