// The server's core: one source of the scanner library published into a
// ring of blocks shared by every reader connected over TCP (the protocol of
// docs/stream.md), and the network thread's poll loop that sends them.
//
// Two threads: the caller's (Run) reads the library's source (whose own fetch
// thread keeps the card's pace) and publishes each block into a ring of slots
// shared by all readers; the network thread runs one WSAPoll loop over the
// listening socket and the readers, and copies each reader's next block from
// the ring into that reader's send buffer (allocated once, at its connection)
// when the previous frame has gone out. A reader whose next block has been
// overwritten in the ring loses it, counted in its next frame: a slow reader
// never slows the source or the others. Readers only read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "scanmon/scanmon.h"
#include "serve/revolutions.h"
#include "serve/status.h"
#include "stream/stream_protocol.h"

namespace serve {

constexpr int kDefaultMaxReaders = 8;
constexpr int kMostReaders = 64;
// Blocks the ring holds: each reader's queue.
constexpr std::uint64_t kSlots = 32;

struct ServerOptions {
  int max_readers = kDefaultMaxReaders;  // 1..kMostReaders
  // A capture played without its pace: a block is read only when every
  // reader has room for it, and not before a first reader.
  bool as_fast_as_read = false;
};

// How Run ended; the numbers are scanmon-serve's exit statuses.
enum class RunEnd {
  kComplete = 0,  // a capture played to its end
  kSetup = 1,     // the source failed otherwise
  kStopped = 3,   // stop_asked() said so
  kFetch = 6,     // the card stopped delivering
};

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
  Server(scanmon_source* source, const ServerOptions& options)
      : source_(source), options_(options) {}
  ~Server();

  // Listens on host:port (port 0: one the system picks), prints the
  // "Listening on" line and starts the network thread. key (key_bytes bytes)
  // is what readers must present, nullptr for none. False with a message on
  // stderr when the source, the ring or the address fails.
  bool Start(const char* host, std::uint16_t port, const char* key, std::size_t key_bytes);
  // The main loop: reads the source until stop_asked() says so, its end or a
  // failure; returns how it ended (a RunEnd). The readers have had their end
  // frames when it returns.
  RunEnd Run(bool (*stop_asked)());

  // The latest snapshot of the figures (any thread; a copy under a small
  // lock, which the server's threads take only a few times a second).
  void CopyStatus(StatusSnapshot* out);

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
  void PublishSourceStatus(bool ended);
  void PublishReaderStatus();
  void PublishRevolutionStatus();

  scanmon_source* source_;
  ServerOptions options_;
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

  RevolutionWatch watch_;  // the main thread's

  std::mutex status_mutex_;  // status_ alone
  StatusSnapshot status_;
};

}  // namespace serve
