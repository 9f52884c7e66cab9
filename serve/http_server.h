// The HTTP side of scanmon-serve: /metrics and /status.json (serve/
// http_answer.h decides what each request gets) on a thread of its own,
// reading only the snapshot the server publishes (serve/status.h), never the
// readers' queues: a flood of HTTP requests costs that thread, not the
// stream. The transport is Boost.Beast (headers only); this file's users
// never see it.
//
// Bounded: at most `max_clients` connections (more are closed at once and
// counted), a request's header within `max_header_bytes` and no body of
// note, each request within `timeout_s` from its first byte (a slow client is
// dropped), its answer within the same, at most `max_requests` per
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "serve/status.h"

namespace serve {

struct HttpLimits {
  int max_clients = 8;
  int timeout_s = 5;
  std::size_t max_header_bytes = 8192;
  std::size_t max_body_bytes = 1024;
  int max_requests = 100;
};

class HttpServer {
 public:
  // Fills the snapshot an answer is made from (called on the HTTP thread).
  using SnapshotFunction = std::function<void(StatusSnapshot*)>;

  HttpServer();
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on host:port (an address, or a name of this machine: the first
  // of its addresses that takes the listener; port 0: one the system picks)
  // and starts the HTTP thread. key (key_bytes) is what every request must
  // carry, nullptr for none. *bound gets the address as "127.0.0.1:7465" or
  // "[::1]:7465". False with the reason in *error.
  bool Start(const char* host, std::uint16_t port, const HttpLimits& limits, const char* key,
             std::size_t key_bytes, SnapshotFunction snapshot, char* bound, std::size_t bound_size,
             char* error, std::size_t error_size);

  // Closes the listener and every connection, ends the thread. Idempotent.
  void Stop();

  // Requests answered, connections refused at the limit (any thread).
  std::uint64_t Requests() const;
  std::uint64_t Refused() const;

  struct Impl;  // the transport's, in http_server.cpp alone

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace serve
