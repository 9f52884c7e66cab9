// The server's core (serve/server.h): the ring, the readers and the poll loop.
#include "serve/server.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "stream/net.h"

namespace serve {
namespace {

// Connections the system holds until accepted: a burst of them must not
// overflow it (an overflowed connection looks established to its client but
// never hears the server, which speaks first). The system caps it.
constexpr int kBacklog = win::SOMAXCONN;
constexpr double kGreetingSeconds = 5.0;
constexpr double kBehindSeconds = 10.0;
constexpr double kClosingSeconds = 2.0;
// At the source's end, what is published still goes out for this long.
constexpr double kDrainSeconds = 2.0;
// How often the figures of the status snapshot are renewed.
constexpr double kStatusSeconds = 0.25;

}  // namespace

Server::~Server() {
  for (auto& r : readers_) {
    if (r->socket != win::INVALID_SOCKET) win::closesocket(r->socket);
  }
  for (win::SOCKET s : {listener_, wake_send_, wake_receive_}) {
    if (s != win::INVALID_SOCKET) win::closesocket(s);
  }
}

bool Server::Start(const char* host, std::uint16_t port, const char* key, std::size_t key_bytes) {
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  scanmon_capture_header header{};
  header.struct_size = sizeof header;
  if (scanmon_source_info_get(source_, &info) != SCANMON_OK ||
      scanmon_capture_header_get(source_, &header) != SCANMON_OK) {
    std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
    return false;
  }
  max_block_ = info.max_block_samples;
  if (max_block_ == 0 || max_block_ > stream::kMaxBlockSamplesLimit) {
    std::fprintf(stderr, "scanmon-serve: the source's largest block (%lu) is out of range\n",
                 static_cast<unsigned long>(max_block_));
    return false;
  }
  want_key_ = key != nullptr;
  if (want_key_) {
    std::memcpy(key_, key, key_bytes);
    key_bytes_ = key_bytes;
  }
  greeting_.flags =
      (want_key_ ? stream::kGreetingWantsKey : 0u) | (info.has_raw ? stream::kGreetingHasRaw : 0u);
  greeting_.max_block_samples = max_block_;
  greeting_.sample_period_us = info.sample_period_us;
  greeting_.source_kind = static_cast<std::uint32_t>(info.kind);
  greeting_.header = header;
  greeting_bytes_ = stream::EncodeGreeting(greeting_, greeting_frame_, sizeof greeting_frame_);
  {
    std::uint32_t fields = 0;
    std::lock_guard<std::mutex> lock(status_mutex_);
    SourceFigures& f = status_.source;
    f.known = true;
    f.kind = info.kind;
    f.max_block_samples = max_block_;
    f.has_raw = info.has_raw != 0;
    f.has_fields = scanmon_field_count(source_, &fields) == SCANMON_OK && fields > 0;
    f.header = header;
  }

  if (!watch_.Start(source_, max_block_, info.sample_period_us)) {
    std::fprintf(stderr, "scanmon-serve: out of memory for the revolutions of the page\n");
    return false;
  }
  ring_.resize(kSlots);
  for (Slot& slot : ring_) {
    slot.samples.reset(new (std::nothrow) scanmon_sample[max_block_]);
    if (info.has_raw) slot.raw.reset(new (std::nothrow) scanmon_raw_sample[max_block_]);
    if (!slot.samples || (info.has_raw && !slot.raw)) {
      std::fprintf(stderr, "scanmon-serve: out of memory for the ring of %lu blocks\n",
                   static_cast<unsigned long>(kSlots));
      return false;
    }
  }

  if (!stream::StartSockets()) {
    std::fprintf(stderr, "scanmon-serve: the system's sockets could not be started\n");
    return false;
  }
  // The host's addresses (an address given as such is its own): the first
  // that takes the listener is it. A name of another machine fails here, at
  // the bind (its address is not this machine's).
  win::addrinfo hints{};
  hints.ai_family = win::AF_UNSPEC;
  hints.ai_socktype = win::SOCK_STREAM;
  win::addrinfo* addresses = nullptr;
  const int resolved = win::getaddrinfo(host, nullptr, &hints, &addresses);
  if (resolved != 0) {
    std::fprintf(stderr, "scanmon-serve: cannot listen on %s: %s\n", host,
                 platform::SocketErrorText(resolved));
    return false;
  }
  char tried[96] = {};
  int error = 0;
  for (const win::addrinfo* at = addresses; at != nullptr; at = at->ai_next) {
    win::sockaddr_storage where{};
    std::memcpy(&where, at->ai_addr, at->ai_addrlen < sizeof where ? at->ai_addrlen : sizeof where);
    const std::uint16_t wire_port = win::htons(port);
    std::memcpy(reinterpret_cast<char*>(&where) + 2, &wire_port, 2);  // both families: offset 2
    stream::FormatAddress(reinterpret_cast<const win::sockaddr*>(&where), tried, sizeof tried);
    const int on = 1;
    listener_ = win::socket(at->ai_family, win::SOCK_STREAM, win::IPPROTO_TCP);
    if (listener_ != win::INVALID_SOCKET &&
        win::setsockopt(listener_, win::SOL_SOCKET, win::SO_REUSEADDR,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0 &&
        win::bind(listener_, reinterpret_cast<const win::sockaddr*>(&where),
                  static_cast<int>(at->ai_addrlen)) == 0 &&
        win::listen(listener_, kBacklog) == 0 && stream::SetNonBlocking(listener_)) {
      break;
    }
    error = win::WSAGetLastError();
    if (listener_ != win::INVALID_SOCKET) win::closesocket(listener_);
    listener_ = win::INVALID_SOCKET;
  }
  win::freeaddrinfo(addresses);
  if (listener_ == win::INVALID_SOCKET) {
    // A name is shown with the address it gave; an address once.
    const std::size_t host_length = std::strlen(host);
    const bool is_address = std::strncmp(tried, host, host_length) == 0 ||
                            (tried[0] == '[' && std::strncmp(tried + 1, host, host_length) == 0);
    std::fprintf(stderr,
                 "scanmon-serve: cannot listen on %s%s%s%s: %s\n"
                 "  hint: another server may hold the port, or the address is not this "
                 "machine's; name another with --listen\n",
                 is_address ? "" : host, is_address ? "" : " (", tried, is_address ? "" : ")",
                 platform::SocketErrorText(error));
    return false;
  }
  win::sockaddr_storage bound{};
  int length = sizeof bound;
  win::getsockname(listener_, reinterpret_cast<win::sockaddr*>(&bound), &length);
  char listening[96];
  stream::FormatAddress(reinterpret_cast<const win::sockaddr*>(&bound), listening,
                        sizeof listening);
  // The wake-up line from the main thread to the network thread's poll: a
  // connected pair on the loopback, the one kind of pair both platforms have.
  win::SOCKET wake_listener = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
  win::sockaddr_in wake = stream::MakeAddress(win::INADDR_LOOPBACK, 0);
  int wake_length = sizeof wake;
  if (wake_listener == win::INVALID_SOCKET ||
      win::bind(wake_listener, reinterpret_cast<const win::sockaddr*>(&wake), sizeof wake) != 0 ||
      win::listen(wake_listener, 1) != 0 ||
      win::getsockname(wake_listener, reinterpret_cast<win::sockaddr*>(&wake), &wake_length) != 0 ||
      (wake_send_ = stream::ConnectWithin(win::INADDR_LOOPBACK, win::ntohs(wake.sin_port), 5000,
                                          &error)) == win::INVALID_SOCKET ||
      (wake_receive_ = win::accept(wake_listener, nullptr, nullptr)) == win::INVALID_SOCKET ||
      !stream::SetNonBlocking(wake_receive_)) {
    std::fprintf(stderr, "scanmon-serve: cannot make the loopback wake-up pair: %s\n",
                 platform::SocketErrorText(win::WSAGetLastError()));
    if (wake_listener != win::INVALID_SOCKET) win::closesocket(wake_listener);
    return false;
  }
  win::closesocket(wake_listener);
  std::printf("Listening on %s (%d readers at most%s)\n", listening, options_.max_readers,
              want_key_ ? ", key required" : "");
  std::fflush(stdout);
  network_ = std::thread([this] { NetworkLoop(); });
  return true;
}

void Server::Wake() {
  const char byte = 1;
  win::send(wake_send_, &byte, 1, 0);
}

void Server::Publish(const scanmon_block& block, const scanmon_sample* samples,
                     const scanmon_raw_sample* raw) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = ring_[published_ % kSlots];
  slot.block = block;
  slot.samples_before = published_samples_;
  std::memcpy(slot.samples.get(), samples, sizeof(scanmon_sample) * block.count);
  if (slot.raw && raw != nullptr) {
    std::memcpy(slot.raw.get(), raw, sizeof(scanmon_raw_sample) * block.count);
  }
  ++published_;
  published_samples_ += block.count;
}

// The revolutions' figures and histories (the main thread, which alone
// feeds them).
void Server::PublishRevolutionStatus() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  watch_.CopyTo(&status_);
}

RunEnd Server::Run(bool (*stop_asked)()) {
  std::unique_ptr<scanmon_sample[]> samples(new scanmon_sample[max_block_]);
  std::unique_ptr<scanmon_raw_sample[]> raw;
  if ((greeting_.flags & stream::kGreetingHasRaw) != 0)
    raw.reset(new scanmon_raw_sample[max_block_]);
  RunEnd exit_status = RunEnd::kStopped;
  std::uint32_t reason = stream::kEndStopped;
  double last_status_s = platform::MonotonicSeconds();
  double last_source_status_s = last_status_s - kStatusSeconds;
  const bool show_status = win::_isatty(2) != 0;
  const bool as_fast_as_read = options_.as_fast_as_read;
  for (;;) {
    if (stop_asked()) {
      std::snprintf(stop_text_, sizeof stop_text_, "scanmon-serve was stopped by its operator");
      break;
    }
    if (as_fast_as_read) {
      // Only when every reader has room for the block: none loses any.
      std::unique_lock<std::mutex> lock(mutex_);
      if (!room_.wait_for(lock, std::chrono::milliseconds(100), [this] {
            return streaming_ > 0 && published_ < slowest_next_ + kSlots;
          })) {
        continue;
      }
    }
    scanmon_block block;
    const int status =
        scanmon_read_block(source_, 100, &block, samples.get(), raw.get(), max_block_);
    if (status == SCANMON_OK) {
      Publish(block, samples.get(), raw.get());
      Wake();
      watch_.Add(block, samples.get(), platform::MonotonicSeconds());
    } else if (status == SCANMON_END) {
      watch_.End(platform::MonotonicSeconds());
      std::snprintf(stop_text_, sizeof stop_text_, "the capture has ended");
      reason = stream::kEndSourceEnded;
      exit_status = RunEnd::kComplete;
      break;
    } else if (status != SCANMON_TIMEOUT) {
      std::snprintf(stop_text_, sizeof stop_text_, "the source failed: %.120s",
                    scanmon_last_error());
      std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
      reason = stream::kEndSourceFailed;
      exit_status = status == SCANMON_E_FETCH ? RunEnd::kFetch : RunEnd::kSetup;
      break;
    }
    const double now_s = platform::MonotonicSeconds();
    if (now_s - last_source_status_s >= kStatusSeconds) {
      last_source_status_s = now_s;
      PublishSourceStatus(false);
      PublishRevolutionStatus();
    }
    if (show_status && now_s - last_status_s >= 1.0) {
      last_status_s = now_s;
      StatusLine(now_s, false);
    }
  }
  PublishSourceStatus(true);
  PublishRevolutionStatus();
  stop_reason_.store(reason);
  Wake();
  network_.join();
  StatusLine(platform::MonotonicSeconds(), true);
  return exit_status;
}

void Server::StatusLine(double, bool final_line) {
  std::uint64_t blocks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks = published_;
  }
  if (!final_line) {
    std::fprintf(stderr, "\rblocks %llu, readers %d, refused %llu   ",
                 static_cast<unsigned long long>(blocks), connected_.load(),
                 static_cast<unsigned long long>(refused_.load()));
    return;
  }
  if (win::_isatty(2) != 0) std::fprintf(stderr, "\n");
  // Served: readers past their greeting's checks; refused: the others (the
  // server full, a wrong key or version, a broken or missing greeting).
  std::size_t served = 0;
  for (const ReaderRecord& r : records_) served += r.served ? 1 : 0;
  std::printf("Blocks published: %llu; readers served: %zu; refused: %llu\n",
              static_cast<unsigned long long>(blocks), served,
              static_cast<unsigned long long>(refused_.load() + (records_.size() - served)));
  for (const ReaderRecord& r : records_) {
    std::printf("  reader %d (%s): blocks sent %llu, samples lost %llu; %s\n", r.number, r.peer,
                static_cast<unsigned long long>(r.blocks_sent),
                static_cast<unsigned long long>(r.samples_lost), r.ended);
  }
}

void Server::Accept() {
  for (;;) {
    win::sockaddr_storage peer{};
    int length = sizeof peer;
    win::SOCKET s = win::accept(listener_, reinterpret_cast<win::sockaddr*>(&peer), &length);
    if (s == win::INVALID_SOCKET) return;
    char name[64];
    stream::FormatAddress(reinterpret_cast<const win::sockaddr*>(&peer), name, sizeof name);
    stream::SetNonBlocking(s);
    const int on = 1;
    win::setsockopt(s, win::IPPROTO_TCP, win::TCP_NODELAY, reinterpret_cast<const char*>(&on),
                    sizeof on);
    if (static_cast<int>(readers_.size()) >= options_.max_readers) {
      std::uint8_t end[stream::kFrameHeaderBytes + 128];
      char text[96];
      std::snprintf(text, sizeof text, "scanmon-serve takes %d readers at most; all are taken",
                    options_.max_readers);
      const std::size_t n = stream::EncodeEnd(stream::kEndFull, text, end, sizeof end);
      win::send(s, reinterpret_cast<const char*>(end), static_cast<int>(n), 0);
      win::closesocket(s);
      ++refused_;
      continue;
    }
    std::unique_ptr<Reader> r(new (std::nothrow) Reader);
    // A block frame, the end frame behind it, and at the start the greeting
    // and the accept frame.
    const std::size_t capacity =
        static_cast<std::size_t>(stream::MaxBlockPayloadBytes(greeting_, true)) +
        3 * stream::kFrameHeaderBytes + stream::kEndMaxPayload + stream::kAcceptMaxPayload;
    if (r) r->out.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!r || !r->out) {
      win::closesocket(s);
      ++refused_;
      continue;
    }
    r->socket = s;
    r->number = next_number_++;
    std::memcpy(r->peer, name, sizeof name);
    r->out_capacity = capacity;
    r->since_s = platform::MonotonicSeconds();
    r->caught_up_s = r->since_s;
    r->frames.reset(new stream::FrameReader(r->in, sizeof r->in));
    r->frames->SetLimit(stream::kFrameReaderGreeting, stream::kReaderGreetingMaxPayload);
    std::memcpy(r->out.get(), greeting_frame_, greeting_bytes_);
    r->out_end = greeting_bytes_;
    readers_.push_back(std::move(r));
    connected_.store(static_cast<int>(readers_.size()));
  }
}

void Server::QueueEnd(Reader& r, std::uint32_t reason, const char* text, double now_s) {
  if (r.state == ReaderState::kClosing) return;
  // After the frame under way: an end frame never cuts a block frame.
  if (r.out_start > 0 && r.out_start == r.out_end) r.out_start = r.out_end = 0;
  r.out_end += stream::EncodeEnd(reason, text, r.out.get() + r.out_end, r.out_capacity - r.out_end);
  r.state = ReaderState::kClosing;
  r.closing_s = now_s;
  r.closing_limit_s = kClosingSeconds;
  std::snprintf(r.ended, sizeof r.ended, "ended: %s", stream::EndReasonName(reason));
}

void Server::Receive(Reader& r) {
  if (r.state == ReaderState::kGreeting) {
    const int n = win::recv(r.socket, reinterpret_cast<char*>(r.frames->Space()),
                            static_cast<int>(r.frames->SpaceBytes()), 0);
    if (n == 0 || (n < 0 && win::WSAGetLastError() != win::WSAEWOULDBLOCK)) {
      std::snprintf(r.ended, sizeof r.ended, "left before its greeting");
      r.state = ReaderState::kClosing;
      r.out_start = r.out_end = 0;
      return;
    }
    if (n < 0) return;
    r.frames->Commit(static_cast<std::size_t>(n));
    std::uint32_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t bytes = 0;
    const char* problem = nullptr;
    const double now_s = platform::MonotonicSeconds();
    switch (r.frames->Next(&type, &payload, &bytes, &problem)) {
      case stream::FrameReader::Step::kNeedMore:
        if (r.frames->SpaceBytes() == 0)
          QueueEnd(r, stream::kEndProtocol, "greeting too long", now_s);
        return;
      case stream::FrameReader::Step::kError:
        QueueEnd(r, stream::kEndProtocol, problem, now_s);
        return;
      case stream::FrameReader::Step::kFrame:
        break;
    }
    stream::ReaderGreeting hello;
    std::uint32_t reason = 0;
    problem = stream::ParseReaderGreeting(payload, bytes, &hello, &reason);
    if (problem != nullptr) {
      QueueEnd(r, reason, problem, now_s);
      return;
    }
    if (want_key_ &&
        (hello.key_bytes != key_bytes_ || std::memcmp(hello.key, key_, key_bytes_) != 0)) {
      QueueEnd(r, stream::kEndKey, "this server wants a key, and the one given is missing or wrong",
               now_s);
      return;
    }
    if ((hello.flags & stream::kReaderWantsRaw) != 0 &&
        (greeting_.flags & stream::kGreetingHasRaw) == 0) {
      QueueEnd(r, stream::kEndProtocol, "raw records asked of a source that keeps none", now_s);
      return;
    }
    r.raw = (hello.flags & stream::kReaderWantsRaw) != 0;
    r.state = ReaderState::kStreaming;
    r.served = true;
    if (hello.version >= 2) {
      // Taken: said at once, so that the reader's open knows (its first
      // block may be seconds away while a scanner settles).
      r.out_end += stream::EncodeAccept(static_cast<std::uint32_t>(r.number),
                                        r.out.get() + r.out_end, r.out_capacity - r.out_end);
    }
    r.caught_up_s = now_s;
    std::lock_guard<std::mutex> lock(mutex_);
    r.next = published_;
    r.next_samples_before = published_samples_;
    return;
  }
  // After the greeting a reader's bytes mean nothing: read and thrown away,
  // so that only its leaving (0 bytes or an error) is seen.
  char sink[512];
  const int n = win::recv(r.socket, sink, sizeof sink, 0);
  if (n == 0 || (n < 0 && win::WSAGetLastError() != win::WSAEWOULDBLOCK)) {
    if (r.state != ReaderState::kClosing) std::snprintf(r.ended, sizeof r.ended, "left");
    r.state = ReaderState::kClosing;
    r.out_start = r.out_end = 0;
  }
}

// The reader's next block from the ring into its send buffer; false when it
// has none.
bool Server::FillNext(Reader& r) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (r.next >= published_) return false;
  if (published_ - r.next > kSlots) {
    // Overwritten: lost for this reader, counted in its next frame.
    const std::uint64_t oldest = published_ - kSlots;
    const Slot& first_kept = ring_[oldest % kSlots];
    const std::uint64_t lost_samples = first_kept.samples_before - r.next_samples_before;
    r.pending_lost += lost_samples;
    r.pending_lost_blocks += oldest - r.next;
    r.samples_lost += lost_samples;
    r.next = oldest;
  }
  const Slot& slot = ring_[r.next % kSlots];
  const std::uint32_t count = slot.block.count;
  const std::size_t payload =
      static_cast<std::size_t>(stream::BlockPayloadBytes(greeting_, r.raw, count));
  std::uint8_t* at = r.out.get();
  stream::PutFrameHeader(at, stream::kFrameBlock, static_cast<std::uint32_t>(payload));
  at += stream::kFrameHeaderBytes;
  stream::PutU64(at, r.pending_lost);
  stream::PutU64(at + 8, r.pending_lost_blocks);
  stream::PutBlockRecord(at + 16, slot.block);
  at += stream::kBlockFixedBytes;
  std::memcpy(at, slot.samples.get(), sizeof(scanmon_sample) * count);
  at += sizeof(scanmon_sample) * count;
  if (r.raw) std::memcpy(at, slot.raw.get(), sizeof(scanmon_raw_sample) * count);
  r.out_start = 0;
  r.out_end = stream::kFrameHeaderBytes + payload;
  r.pending_lost = 0;
  r.pending_lost_blocks = 0;
  r.next_samples_before = slot.samples_before + count;
  ++r.next;
  ++r.blocks_sent;
  return true;
}

void Server::Send(Reader& r, double now_s) {
  for (;;) {
    if (r.out_start == r.out_end) {
      if (r.state != ReaderState::kStreaming || !FillNext(r)) {
        if (r.state == ReaderState::kStreaming) r.caught_up_s = now_s;
        return;
      }
    }
    const std::size_t left = r.out_end - r.out_start;
    const int step = left > (1u << 20) ? (1 << 20) : static_cast<int>(left);
    const int n =
        win::send(r.socket, reinterpret_cast<const char*>(r.out.get() + r.out_start), step, 0);
    if (n > 0) {
      r.out_start += static_cast<std::size_t>(n);
      if (r.out_start == r.out_end) r.out_start = r.out_end = 0;
      continue;
    }
    if (n < 0 && win::WSAGetLastError() != win::WSAEWOULDBLOCK) {
      if (r.state != ReaderState::kClosing) std::snprintf(r.ended, sizeof r.ended, "left");
      r.state = ReaderState::kClosing;
      r.out_start = r.out_end = 0;
    }
    return;
  }
}

void Server::Drop(std::size_t index, const char*) {
  Reader& r = *readers_[index];
  win::closesocket(r.socket);
  ReaderRecord record{};
  record.served = r.served;
  record.number = r.number;
  std::memcpy(record.peer, r.peer, sizeof record.peer);
  record.blocks_sent = r.blocks_sent;
  record.samples_lost = r.samples_lost;
  std::memcpy(record.ended, r.ended, sizeof record.ended);
  if (record.ended[0] == '\0') std::snprintf(record.ended, sizeof record.ended, "closed");
  records_.push_back(record);
  readers_.erase(readers_.begin() + static_cast<std::ptrdiff_t>(index));
  connected_.store(static_cast<int>(readers_.size()));
}

void Server::NetworkLoop() {
  std::vector<win::WSAPOLLFD> fds;
  fds.reserve(kMostReaders + 2);
  records_.reserve(256);
  double stopping_since_s = -1;
  double last_reader_status_s = -1;
  for (;;) {
    const double now_s = platform::MonotonicSeconds();
    const std::uint32_t stop = stop_reason_.load();
    if (stop != 0 && stopping_since_s < 0) {
      stopping_since_s = now_s;
      for (auto& r : readers_) {
        // A stop by the operator ends each stream after the frame under way;
        // at the source's end or failure a reader first gets what was
        // published (for a while), so that a capture reaches it whole.
        if (r->state == ReaderState::kGreeting || stop == stream::kEndStopped) {
          QueueEnd(*r, stop, stop_text_, now_s);
        }
      }
    }
    if (stop != 0) {
      std::uint64_t published;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        published = published_;
      }
      for (auto& r : readers_) {
        if (r->state == ReaderState::kStreaming &&
            ((r->out_start == r->out_end && r->next >= published) ||
             now_s - stopping_since_s > kDrainSeconds)) {
          QueueEnd(*r, stop, stop_text_, now_s);
        }
      }
    }
    // Time-outs, the slow, and readers done with.
    for (std::size_t i = readers_.size(); i-- > 0;) {
      Reader& r = *readers_[i];
      if (r.state == ReaderState::kGreeting && now_s - r.since_s > kGreetingSeconds) {
        QueueEnd(r, stream::kEndGreetingTimeout, "no greeting within 5 s", now_s);
      } else if (r.state == ReaderState::kStreaming && now_s - r.caught_up_s > kBehindSeconds) {
        // Dropped now, not after another wait: its slot is free for a new
        // reader. The end frame goes out behind the frame under way when
        // the connection has room for it; otherwise a reader that resumes
        // reads what the network held, then the closed connection.
        QueueEnd(r, stream::kEndTooSlow,
                 "this reader stayed behind the stream for 10 s; it is disconnected", now_s);
        Send(r, now_s);
        Drop(i, nullptr);
        continue;
      }
      if (r.state == ReaderState::kClosing &&
          (r.out_start == r.out_end || now_s - r.closing_s > r.closing_limit_s)) {
        Drop(i, nullptr);
      }
    }
    if (stop != 0 &&
        (readers_.empty() || now_s - stopping_since_s > kDrainSeconds + kClosingSeconds + 1.0)) {
      while (!readers_.empty()) Drop(readers_.size() - 1, nullptr);
      return;
    }
    if (now_s - last_reader_status_s >= kStatusSeconds) {
      last_reader_status_s = now_s;
      PublishReaderStatus();
    }
    fds.clear();
    fds.push_back({wake_receive_, win::POLLIN, 0});
    fds.push_back({stop != 0 ? win::INVALID_SOCKET : listener_, win::POLLIN, 0});
    std::uint64_t published;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      published = published_;
    }
    for (auto& r : readers_) {
      const bool has_output = r->out_start != r->out_end ||
                              (r->state == ReaderState::kStreaming && r->next < published);
      fds.push_back(
          {r->socket, static_cast<short>(win::POLLIN | (has_output ? win::POLLOUT : 0)), 0});
    }
    if (win::WSAPoll(fds.data(), static_cast<unsigned long>(fds.size()), 200) < 0) continue;
    if ((fds[0].revents & win::POLLIN) != 0) {
      char sink[256];
      while (win::recv(wake_receive_, sink, sizeof sink, 0) > 0) {
      }
    }
    if (stop == 0 && (fds[1].revents & win::POLLIN) != 0) Accept();
    const double after_s = platform::MonotonicSeconds();
    const std::size_t polled = fds.size() - 2;
    for (std::size_t i = 0; i < polled && i < readers_.size(); ++i) {
      Reader& r = *readers_[i];
      const short events = fds[i + 2].revents;
      if ((events & (win::POLLIN | win::POLLERR | win::POLLHUP)) != 0) Receive(r);
      if (r.state != ReaderState::kClosing || r.out_start != r.out_end) Send(r, after_s);
    }
    int streaming = 0;
    std::uint64_t slowest = ~std::uint64_t{0};
    for (auto& r : readers_) {
      if (r->state != ReaderState::kStreaming) continue;
      ++streaming;
      if (r->next < slowest) slowest = r->next;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      streaming_ = streaming;
      slowest_next_ = slowest;
    }
    room_.notify_all();
  }
}

// The source's figures, from the library's health (the main thread: the
// source's calls stay on one thread).
void Server::PublishSourceStatus(bool ended) {
  scanmon_health health{};
  health.struct_size = sizeof health;
  const bool known = scanmon_health_get(source_, &health) == SCANMON_OK;
  std::uint64_t blocks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks = published_;
  }
  const double cpu_s = platform::ProcessCpuSeconds();
  std::lock_guard<std::mutex> lock(status_mutex_);
  StatusSnapshot& s = status_;
  s.taken_s = platform::MonotonicSeconds();
  s.ended = ended;
  s.blocks_published = blocks;
  s.cpu_s = cpu_s;
  if (!known) return;
  s.sampling = health.sampling != 0;
  s.fetches = health.fetches;
  s.samples = health.samples;
  s.samples_dropped = health.samples_dropped;
  s.drop_events = health.drop_events;
  s.lost_data_events = health.lost_events;
  s.index_marks = health.index_marks;
  s.rate_known = health.rate_known != 0;
  s.mirror_rate_hz = health.rate_mean;
  s.mirror_stopped = health.no_index_warning != 0;
  s.fetch_interval_known = health.rates_known != 0 && health.fetches_per_s > 0;
  s.fetch_interval_s = s.fetch_interval_known ? 1.0 / health.fetches_per_s : 0;
}

// The readers' figures (the network thread, which alone keeps them).
void Server::PublishReaderStatus() {
  std::uint64_t lost = 0;
  std::uint64_t not_served = 0;
  for (const ReaderRecord& r : records_) {
    lost += r.samples_lost;
    not_served += r.served ? 0 : 1;
  }
  std::lock_guard<std::mutex> lock(status_mutex_);
  StatusSnapshot& s = status_;
  int count = 0;
  for (const auto& r : readers_) {
    lost += r->samples_lost;
    if (count == kStatusMostReaders) continue;
    ReaderStatus& to = s.readers[count++];
    to.number = r->number;
    std::memcpy(to.peer, r->peer, sizeof to.peer);
    to.streaming = r->state == ReaderState::kStreaming;
    to.blocks_sent = r->blocks_sent;
    to.samples_lost = r->samples_lost;
  }
  s.reader_count = count;
  s.readers_refused = refused_.load() + not_served;
  s.readers_samples_lost = lost;
}

void Server::CopyStatus(StatusSnapshot* out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  *out = status_;
}

}  // namespace serve
