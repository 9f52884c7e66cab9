// The HTTP transport (serve/http_server.h): one Asio thread, one session per
// connection, Beast's parser with its limits set.
#include "serve/http_server.h"

#include <atomic>
#include <utility>  // before Asio, whose headers use std::exchange unincluded
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
// clang-format on
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "serve/http_answer.h"

namespace serve {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

}  // namespace

struct HttpServer::Impl {
  // Declared before the context: sessions that the context's end destroys
  // still count themselves out.
  HttpLimits limits;
  std::string key;
  bool want_key = false;
  SnapshotFunction snapshot;
  int clients = 0;  // the HTTP thread's alone
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> refused{0};
  StatusSnapshot status;  // filled per request, on the HTTP thread
  HttpAnswer answer;

  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer pause{io};
  std::thread thread;
  bool started = false;

  void Accept();
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, HttpServer::Impl* server)
      : stream_(std::move(socket)),
        buffer_(server->limits.max_header_bytes + 1024),
        server_(server) {}
  ~Session() { --server_->clients; }

  void Read() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_->limits.max_header_bytes));
    parser_->body_limit(server_->limits.max_body_bytes);
    stream_.expires_after(std::chrono::seconds(server_->limits.timeout_s));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->Answer(ec); });
  }

 private:
  void Answer(beast::error_code ec) {
    // A request too large, broken, or too slow: the connection is closed,
    // unanswered (its bytes were never taken as a request).
    if (ec) return Close();
    const http::request<http::string_body>& request = parser_->get();
    server_->snapshot(&server_->status);
    HttpQuestion q;
    const beast::string_view method = request.method_string();
    const beast::string_view target = request.target();
    q.method = method.data();
    q.method_bytes = method.size();
    q.target = target.data();
    q.target_bytes = target.size();
    const auto found = request.find(http::field::authorization);
    if (found != request.end()) {
      q.authorization = found->value().data();
      q.authorization_bytes = found->value().size();
    }
    AnswerRequest(q, server_->want_key ? server_->key.data() : nullptr, server_->key.size(),
                  server_->status, &server_->answer);
    ++server_->requests;
    response_ = {};
    response_.version(request.version());
    response_.result(static_cast<unsigned>(server_->answer.status));
    response_.set(http::field::server, "scanmon-serve");
    response_.set(http::field::content_type, server_->answer.content_type);
    response_.set(http::field::cache_control,
                  server_->answer.cacheable ? "max-age=3600" : "no-store");
    if (server_->answer.ask_key)
      response_.set(http::field::www_authenticate, "Basic realm=\"scanmon-serve\"");
    response_.body().swap(server_->answer.body);
    ++answered_;
    response_.keep_alive(request.keep_alive() && answered_ < server_->limits.max_requests);
    response_.prepare_payload();
    stream_.expires_after(std::chrono::seconds(server_->limits.timeout_s));
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (error || !self->response_.keep_alive()) return self->Close();
                        self->Read();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  HttpServer::Impl* server_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  int answered_ = 0;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (ec) {
      // Out of descriptors or the like: a pause, not a spin.
      pause.expires_after(std::chrono::milliseconds(100));
      pause.async_wait([this](beast::error_code wait) {
        if (!wait) Accept();
      });
      return;
    }
    if (clients >= limits.max_clients) {
      ++refused;
      beast::error_code ignored;
      socket.close(ignored);
    } else {
      ++clients;
      std::make_shared<Session>(std::move(socket), this)->Read();
    }
    Accept();
  });
}

HttpServer::HttpServer() : impl_(new Impl) {}

HttpServer::~HttpServer() {
  Stop();
}

bool HttpServer::Start(const char* host, std::uint16_t port, const HttpLimits& limits,
                       const char* key, std::size_t key_bytes, SnapshotFunction snapshot,
                       char* bound, std::size_t bound_size, char* error, std::size_t error_size) {
  Impl& s = *impl_;
  s.limits = limits;
  s.want_key = key != nullptr;
  if (s.want_key) s.key.assign(key, key_bytes);
  s.snapshot = std::move(snapshot);
  beast::error_code ec;
  tcp::resolver resolver(s.io);
  const auto endpoints = resolver.resolve(
      host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec) {
    std::snprintf(error, error_size, "%s", ec.message().c_str());
    return false;
  }
  for (const auto& entry : endpoints) {
    const tcp::endpoint at = entry.endpoint();
    s.acceptor.open(at.protocol(), ec);
    if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) s.acceptor.bind(at, ec);
    if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) break;
    beast::error_code ignored;
    s.acceptor.close(ignored);
  }
  if (!s.acceptor.is_open()) {
    std::snprintf(error, error_size, "%s",
                  ec ? ec.message().c_str() : "the name has no address of this machine");
    return false;
  }
  const tcp::endpoint local = s.acceptor.local_endpoint(ec);
  const std::string address = local.address().to_string();
  std::snprintf(bound, bound_size, local.address().is_v6() ? "[%s]:%u" : "%s:%u", address.c_str(),
                static_cast<unsigned>(local.port()));
  s.Accept();
  s.thread = std::thread([&s] { s.io.run(); });
  s.started = true;
  return true;
}

void HttpServer::Stop() {
  Impl& s = *impl_;
  if (!s.started) return;
  s.started = false;
  asio::post(s.io, [&s] {
    beast::error_code ignored;
    s.acceptor.close(ignored);
    s.pause.cancel();
    s.io.stop();
  });
  s.thread.join();
}

std::uint64_t HttpServer::Requests() const {
  return impl_->requests.load();
}
std::uint64_t HttpServer::Refused() const {
  return impl_->refused.load();
}

}  // namespace serve
