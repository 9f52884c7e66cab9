// scanmon-serve: runs one source of the scanner library (the scanner, or a
// capture played back) and sends every block to every reader connected over
// TCP, in the protocol of docs/stream.md.
//
// Two threads: the main one reads the library's source (whose own fetch
// thread keeps the card's pace) and publishes each block into a ring of slots
// shared by all readers; the network thread runs one WSAPoll loop over the
// listening socket and the readers, and copies each reader's next block from
// the ring into that reader's send buffer (allocated once, at its connection)
// when the previous frame has gone out. A reader whose next block has been
// overwritten in the ring loses it, counted in its next frame: a slow reader
// never slows the source or the others. Readers only read.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/socket.h"
#include "scanmon/scanmon.h"
#include "stream/net.h"
#include "stream/stream_protocol.h"
#include "tools/common/command_line.h"

namespace {

// Exit statuses, as the recorder's where they mean the same.
constexpr int kExitComplete = 0;  // a capture played to its end
constexpr int kExitSetup = 1;     // settings, the source, the address
constexpr int kExitStopped = 3;   // stopped by the operator
constexpr int kExitFetch = 6;     // the card stopped delivering

constexpr std::uint16_t kDefaultPort = 7464;
constexpr int kDefaultMaxReaders = 8;
constexpr int kMostReaders = 64;
// Blocks the ring holds: each reader's queue.
constexpr std::uint64_t kSlots = 32;
// Connections the system holds until accepted: a burst of them must not
// overflow it (an overflowed connection looks established to its client but
// never hears the server, which speaks first). The system caps it.
constexpr int kBacklog = win::SOMAXCONN;
constexpr double kGreetingSeconds = 5.0;
constexpr double kBehindSeconds = 10.0;
constexpr double kClosingSeconds = 2.0;
// At the source's end, what is published still goes out for this long.
constexpr double kDrainSeconds = 2.0;
constexpr char kQuitKey = 'x';

const ProgramText kProgram = {
    "scanmon-serve",
    "Usage: scanmon-serve [OPTIONS] CONFIG\n"
    "       scanmon-serve [OPTIONS] --capture BASE [--pace] [--loop]\n",
    "\n"
    "Runs one scanner source and sends every block of it to every reader\n"
    "connected over TCP (the protocol is docs/stream.md). CONFIG is a capture\n"
    "configuration as capture-record takes it, or a properties file as the\n"
    "monitor takes it (a file whose first line holds '='). With --capture the\n"
    "recorded capture BASE is played back instead. Readers only read: nothing\n"
    "they send changes the scanner. 'x', Ctrl-C or SIGTERM stop the server: the\n"
    "readers get an end message, then the motors are off and the card released.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS:PORT  where readers connect (default 127.0.0.1:7464): an\n"
    "                         IPv4 address, [IPv6] or a name of this machine;\n"
    "                         another address than the loopback only when named\n"
    "                         (0.0.0.0 or [::]: every interface); port 0 picks a\n"
    "                         free one, named in the 'Listening on' line\n"
    "  --key-file FILE        readers must present the key in FILE (its first\n"
    "                         line); without it SCANMON_SERVE_KEY is the key\n"
    "                         when set\n"
    "  --max-readers N        readers at once, 1..64 (default 8); more are refused\n"
    "  --capture BASE         play back the capture BASE.prc instead of the scanner\n"
    "  --pace                 at the recorded pace (default: as fast as read)\n"
    "  --loop                 start the capture again at its end\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Each reader has a queue of 32 blocks: a reader that falls behind loses\n"
    "blocks (counted in what it receives next), and one behind for 10 s is told\n"
    "so and disconnected. A reader must send its greeting within 5 s. A capture\n"
    "without --pace goes as fast as the slowest reader takes it, and waits for\n"
    "a first reader.\n"
    "\n"
    "Exit status: 0 the capture played to its end, 1 settings, source or address\n"
    "failed, 2 usage error, 3 stopped by the operator, 6 the card stopped\n"
    "delivering.\n"};

enum Option { kListen, kKeyFile, kMaxReaders, kCapture, kPace, kLoop };
const OptionEntry kOptions[] = {{"--listen", "ADDRESS:PORT"}, {"--key-file", "FILE"},
                                {"--max-readers", "N"},       {"--capture", "BASE"},
                                {"--pace", nullptr},          {"--loop", nullptr}};

struct Options {
  const char* listen = "127.0.0.1";
  const char* key_file = nullptr;
  int max_readers = kDefaultMaxReaders;
  const char* capture = nullptr;
  bool pace = false;
  bool loop = false;
  const char* config = nullptr;
};

int ParseOptions(int argc, char** argv, Options* o) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (kind == ArgKind::kOperand) {
      if (o->config != nullptr)
        return UsageError(&line, "expected one CONFIG, also got '%s'", step.text);
      o->config = step.text;
      continue;
    }
    std::int64_t value = 0;
    switch (step.option) {
      case kListen:
        o->listen = step.text;
        break;
      case kKeyFile:
        o->key_file = step.text;
        break;
      case kMaxReaders:
        if (!ParseNumberArgument(&line, "--max-readers", step.text, 1, kMostReaders, &value)) {
          return line.exit_status;
        }
        o->max_readers = static_cast<int>(value);
        break;
      case kCapture:
        o->capture = step.text;
        break;
      case kPace:
        o->pace = true;
        break;
      case kLoop:
        o->loop = true;
        break;
      default:
        break;
    }
  }
  if ((o->config == nullptr) == (o->capture == nullptr)) {
    return UsageError(&line, "give either CONFIG or --capture BASE");
  }
  if ((o->pace || o->loop) && o->capture == nullptr) {
    return UsageError(&line, "--pace and --loop go with --capture");
  }
  return -1;
}

// One block in the ring.
struct Slot {
  scanmon_block block{};
  std::uint64_t samples_before = 0;  // samples published before this block
  std::unique_ptr<scanmon_sample[]> samples;
  std::unique_ptr<scanmon_raw_sample[]> raw;
};

enum class ReaderState { kGreeting, kStreaming, kClosing };

struct Reader {
  win::SOCKET socket = win::INVALID_SOCKET;
  int number = 0;
  char peer[64] = {};
  ReaderState state = ReaderState::kGreeting;
  bool raw = false;
  bool served = false;                    // past its greeting's checks
  double since_s = 0;                     // connected at
  double caught_up_s = 0;                 // last time it had nothing left to send
  double closing_s = 0;                   // the end frame was queued at
  double closing_limit_s = 0;             // how long it may take to go out
  std::uint64_t next = 0;                 // ring number of its next block
  std::uint64_t next_samples_before = 0;  // samples published before that block
  std::uint64_t pending_lost = 0;
  std::uint64_t pending_lost_blocks = 0;
  std::uint64_t blocks_sent = 0;
  std::uint64_t samples_lost = 0;
  std::unique_ptr<std::uint8_t[]> out;  // the frames being sent
  std::size_t out_capacity = 0;
  std::size_t out_start = 0;
  std::size_t out_end = 0;
  std::uint8_t in[stream::kFrameHeaderBytes + stream::kReaderGreetingMaxPayload] = {};
  std::unique_ptr<stream::FrameReader> frames;
  char ended[96] = {};
};

// What a reader's summary line says about every reader, kept after it left.
struct ReaderRecord {
  bool served;
  int number;
  char peer[64];
  std::uint64_t blocks_sent;
  std::uint64_t samples_lost;
  char ended[96];
};

class Server {
 public:
  Server(scanmon_source* source, const Options& options) : source_(source), options_(options) {}
  ~Server();

  bool Start(const char* host, std::uint16_t port, const char* key, std::size_t key_bytes);
  // The main loop: reads the source until a stop, its end or a failure.
  int Run();

 private:
  void NetworkLoop();
  void Publish(const scanmon_block& block, const scanmon_sample* samples,
               const scanmon_raw_sample* raw);
  void Wake();
  void Accept();
  void Receive(Reader& r);
  void Send(Reader& r, double now_s);
  bool FillNext(Reader& r);
  void QueueEnd(Reader& r, std::uint32_t reason, const char* text, double now_s);
  void Drop(std::size_t index, const char* why);
  void StatusLine(double now_s, bool final_line);

  scanmon_source* source_;
  Options options_;
  stream::Greeting greeting_;
  std::uint8_t greeting_frame_[stream::kFrameHeaderBytes + stream::kGreetingMaxPayload] = {};
  std::size_t greeting_bytes_ = 0;
  char key_[stream::kMaxKeyBytes] = {};
  std::size_t key_bytes_ = 0;
  bool want_key_ = false;
  win::SOCKET listener_ = win::INVALID_SOCKET;
  win::SOCKET wake_send_ = win::INVALID_SOCKET;
  win::SOCKET wake_receive_ = win::INVALID_SOCKET;

  std::mutex mutex_;  // the ring and published_
  std::vector<Slot> ring_;
  std::uint64_t published_ = 0;  // blocks published so far
  std::uint64_t published_samples_ = 0;
  std::uint32_t max_block_ = 0;
  // For a capture played as fast as the readers take it: readers past their
  // greeting, and the ring number the slowest of them sends next.
  std::condition_variable room_;
  int streaming_ = 0;
  std::uint64_t slowest_next_ = 0;

  std::atomic<std::uint32_t> stop_reason_{0};  // an end reason once the stream ends
  char stop_text_[160] = {};
  std::thread network_;
  std::vector<std::unique_ptr<Reader>> readers_;
  std::vector<ReaderRecord> records_;
  int next_number_ = 1;
  std::atomic<int> connected_{0};
  std::atomic<std::uint64_t> refused_{0};
};

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

bool StopAsked() {
  if (platform::StopRequested()) return true;
  while (win::_kbhit() != 0) {
    if (win::_getch() == kQuitKey) return true;
  }
  return false;
}

int Server::Run() {
  std::unique_ptr<scanmon_sample[]> samples(new scanmon_sample[max_block_]);
  std::unique_ptr<scanmon_raw_sample[]> raw;
  if ((greeting_.flags & stream::kGreetingHasRaw) != 0)
    raw.reset(new scanmon_raw_sample[max_block_]);
  int exit_status = kExitStopped;
  std::uint32_t reason = stream::kEndStopped;
  double last_status_s = platform::MonotonicSeconds();
  const bool show_status = win::_isatty(2) != 0;
  const bool as_fast_as_read = options_.capture != nullptr && !options_.pace;
  for (;;) {
    if (StopAsked()) {
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
    } else if (status == SCANMON_END) {
      std::snprintf(stop_text_, sizeof stop_text_, "the capture has ended");
      reason = stream::kEndSourceEnded;
      exit_status = kExitComplete;
      break;
    } else if (status != SCANMON_TIMEOUT) {
      std::snprintf(stop_text_, sizeof stop_text_, "the source failed: %.120s",
                    scanmon_last_error());
      std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
      reason = stream::kEndSourceFailed;
      exit_status = status == SCANMON_E_FETCH ? kExitFetch : kExitSetup;
      break;
    }
    const double now_s = platform::MonotonicSeconds();
    if (show_status && now_s - last_status_s >= 1.0) {
      last_status_s = now_s;
      StatusLine(now_s, false);
    }
  }
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

// The key: the first line of the file, or SCANMON_SERVE_KEY. False with a
// message when the file cannot be read or the key is empty or too long.
bool ReadKey(const char* path, char* key, std::size_t* bytes, bool* have) {
  *have = false;
  char line[stream::kMaxKeyBytes + 3] = {};
  if (path != nullptr) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
      std::fprintf(stderr, "scanmon-serve: cannot read the key file %s\n", path);
      return false;
    }
    const std::size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
  } else {
    const char* env = std::getenv("SCANMON_SERVE_KEY");
    if (env == nullptr) return true;
    std::snprintf(line, sizeof line, "%s", env);
  }
  std::size_t length = std::strcspn(line, "\r\n");
  if (length == 0 || length > stream::kMaxKeyBytes) {
    std::fprintf(stderr, "scanmon-serve: the key must be 1 to %zu bytes on one line\n",
                 stream::kMaxKeyBytes);
    return false;
  }
  std::memcpy(key, line, length);
  *bytes = length;
  *have = true;
  return true;
}

// BASE.raw (BASE given with or without its .prc) is there.
bool HasRawFile(const char* base) {
  std::string name = base;
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".prc") == 0)
    name.resize(name.size() - 4);
  name += ".raw";
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// A properties file has '=' on its first line that holds anything.
bool LooksLikeProperties(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char line[512];
  bool found = false;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (line[std::strspn(line, " \t\r\n")] == '\0') continue;
    found = std::strchr(line, '=') != nullptr;
    break;
  }
  std::fclose(file);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  platform::InstallStopHandlers();

  char host[256];
  std::uint16_t port = 0;
  if (!stream::SplitListenAddress(options.listen, kDefaultPort, true, host, sizeof host, &port)) {
    std::fprintf(stderr,
                 "scanmon-serve: --listen wants ADDRESS:PORT (a dotted IPv4 address, an IPv6 "
                 "address in brackets or a name of this machine), not '%s'\n",
                 options.listen);
    return kExitUsage;
  }
  char key[stream::kMaxKeyBytes];
  std::size_t key_bytes = 0;
  bool have_key = false;
  if (!ReadKey(options.key_file, key, &key_bytes, &have_key)) return kExitSetup;

  scanmon_source* source = nullptr;
  int status;
  if (options.capture != nullptr) {
    scanmon_capture_options capture;
    scanmon_capture_options_init(&capture);
    capture.paced = options.pace ? 1 : 0;
    capture.loop = options.loop ? 1 : 0;
    // The raw records are offered when BASE.raw lies beside the capture.
    capture.with_raw = HasRawFile(options.capture) ? 1 : 0;
    status = scanmon_open_capture(options.capture, &capture, &source);
    if (status != SCANMON_OK && capture.with_raw != 0) {
      std::fprintf(stderr, "scanmon-serve: %s; serving without raw records\n",
                   scanmon_last_error());
      capture.with_raw = 0;
      status = scanmon_open_capture(options.capture, &capture, &source);
    }
  } else {
    scanmon_scanner_settings settings;
    status = LooksLikeProperties(options.config)
                 ? scanmon_settings_from_properties(options.config, &settings)
                 : scanmon_settings_from_config(options.config, &settings);
    if (status == SCANMON_OK) {
      settings.print_messages = 1;
      std::fprintf(stderr, "Bringing the scanner up ('x' or Ctrl-C stops once it is up)\n");
      status = scanmon_open_scanner(&settings, &source);
    }
  }
  if (status != SCANMON_OK) {
    std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
    return kExitSetup;
  }
  // From here on one path out: the readers get their end frame, then the
  // source is closed (motors off, line and card released).
  platform::EnableFirmStop();
  int exit_status = kExitSetup;
  {
    Server server(source, options);
    if (server.Start(host, port, have_key ? key : nullptr, key_bytes)) {
      std::fprintf(stderr, "Serving ('x' or Ctrl-C stops)\n");
      exit_status = server.Run();
    }
  }
  scanmon_close(source);
  return exit_status;
}
