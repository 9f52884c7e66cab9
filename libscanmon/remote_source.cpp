// The remote source: see remote_source.h.
#include "libscanmon/remote_source.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "health/scan_health.h"
#include "hsif/driver_records.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "stream/net.h"
#include "stream/stream_protocol.h"

namespace scanmon_lib {

namespace {

// Bytes taken from the socket at once; the decoder keeps what it needs.
constexpr std::size_t kStagingBytes = 64 * 1024;

class RemoteSource final : public Source {
 public:
  ~RemoteSource() override {
    if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
  }

  int Open(const char* host, std::uint16_t port, const scanmon_remote_options& options);
  int ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                scanmon_raw_sample* raw, std::uint32_t capacity) override;
  void Info(scanmon_source_info* info) const override;
  void Health(scanmon_health* health) override;
  void Header(scanmon_capture_header* header) const override;

 private:
  // Waits for the next whole frame at most until end_s (negative: no end),
  // the time checked before every receive, so that a server dripping bytes
  // cannot hold a read past it. SCANMON_OK with have_frame_ set,
  // SCANMON_TIMEOUT, or a failure.
  int NextFrame(double end_s);
  int Ended();  // the result every read gives after the stream ended
  int Lost(const char* what, int code);
  // An open the server's end frame (or a failure) ended: a negative status.
  int OpenFailed(int status);

  win::SOCKET socket_ = win::INVALID_SOCKET;
  char where_[300] = {};  // the server's address and port, as its messages name it
  std::unique_ptr<std::uint8_t[]> staging_;
  std::size_t staged_start_ = 0;
  std::size_t staged_end_ = 0;
  std::unique_ptr<stream::StreamDecoder> decoder_;
  std::unique_ptr<scanmon_sample[]> sample_store_;   // max_block_samples of them
  std::unique_ptr<scanmon_raw_sample[]> raw_store_;  // likewise, with raw
  stream::Greeting greeting_;
  bool raw_ = false;
  bool have_frame_ = false;
  // After the stream ended: the result and text every read gives.
  int end_status_ = SCANMON_OK;
  char end_text_[stream::kEndMaxText + 160 + sizeof where_] = {};
  std::uint64_t blocks_read_ = 0;
  std::uint64_t samples_read_ = 0;
  std::uint64_t samples_dropped_ = 0;
  std::uint64_t drop_events_ = 0;
  HealthState health_{};
};

int RemoteSource::OpenFailed(int status) {
  if (status >= 0 || status == SCANMON_E_FETCH) status = SCANMON_E_CONNECTION;
  return SetError(status, "%s", end_text_);
}

int RemoteSource::Open(const char* host, std::uint16_t port,
                       const scanmon_remote_options& options) {
  if (!stream::StartSockets()) {
    return SetError(SCANMON_E_CONNECTION, "the system's sockets could not be started (WSAStartup)");
  }
  staging_.reset(new (std::nothrow) std::uint8_t[kStagingBytes]);
  decoder_.reset(new (std::nothrow) stream::StreamDecoder);
  if (!staging_ || !decoder_)
    return SetError(SCANMON_E_MEMORY, "out of memory for the receive buffer");
  int error = 0;
  socket_ =
      stream::ConnectToHost(host, port, options.connect_timeout_ms, where_, sizeof where_, &error);
  if (socket_ == win::INVALID_SOCKET) {
    return SetError(SCANMON_E_CONNECTION, "cannot connect to scanmon-serve at %s: %s", where_,
                    platform::SocketErrorText(error));
  }
  const double end_s = platform::MonotonicSeconds() + options.connect_timeout_ms / 1000.0;
  int status = NextFrame(end_s);
  if (status == SCANMON_TIMEOUT) {
    return SetError(SCANMON_E_CONNECTION, "scanmon-serve at %s sent no greeting within %ld ms",
                    where_, static_cast<long>(options.connect_timeout_ms));
  }
  if (status != SCANMON_OK) return OpenFailed(status);
  if (decoder_->type() == stream::kFrameEnd) return OpenFailed(Ended());
  const char* problem =
      stream::ParseGreeting(decoder_->payload(), decoder_->payload_bytes(), &greeting_);
  if (problem != nullptr) return SetError(SCANMON_E_CONNECTION, "%s: %s", where_, problem);
  have_frame_ = false;
  if (options.with_raw != 0 && (greeting_.flags & stream::kGreetingHasRaw) == 0) {
    return SetError(SCANMON_E_ARGUMENT,
                    "the server at %s keeps no raw records; open without with_raw", where_);
  }
  raw_ = options.with_raw != 0;
  // Room for what this reader keeps of the largest block: 64 bytes a sample
  // (and 16 raw), whatever record sizes the server announced.
  const std::size_t most = greeting_.max_block_samples;
  sample_store_.reset(new (std::nothrow) scanmon_sample[most]);
  if (raw_) raw_store_.reset(new (std::nothrow) scanmon_raw_sample[most]);
  if (!sample_store_ || (raw_ && !raw_store_)) {
    return SetError(SCANMON_E_MEMORY, "out of memory for blocks of %lu samples",
                    static_cast<unsigned long>(most));
  }
  const bool version2 = greeting_.max_version >= 2;
  decoder_->StartBlocks(greeting_, raw_, reinterpret_cast<std::uint8_t*>(sample_store_.get()),
                        reinterpret_cast<std::uint8_t*>(raw_store_.get()), version2);
  stream::ReaderGreeting hello;
  hello.version = version2 ? 2 : 1;
  hello.flags = raw_ ? stream::kReaderWantsRaw : 0;
  hello.key_bytes = static_cast<std::uint32_t>(std::strlen(options.key));
  std::memcpy(hello.key, options.key, hello.key_bytes);
  std::uint8_t
      out[stream::kFrameHeaderBytes + stream::kReaderGreetingFixedBytes + stream::kMaxKeyBytes];
  const std::size_t out_bytes = stream::EncodeReaderGreeting(hello, out, sizeof out);
  if (!stream::SendAllWithin(socket_, out, out_bytes, options.connect_timeout_ms, &error)) {
    return SetError(SCANMON_E_CONNECTION, "sending the greeting to %s failed: %s", where_,
                    platform::SocketErrorText(error));
  }
  if (version2) {
    // The server says at once whether it took this reader (key, limits),
    // before the source's first block, which may be seconds away.
    status = NextFrame(end_s);
    if (status == SCANMON_TIMEOUT) {
      return SetError(SCANMON_E_CONNECTION,
                      "scanmon-serve at %s did not take this reader within %ld ms", where_,
                      static_cast<long>(options.connect_timeout_ms));
    }
    if (status != SCANMON_OK) return OpenFailed(status);
    if (decoder_->type() == stream::kFrameEnd) return OpenFailed(Ended());
    have_frame_ = false;  // the accept frame
  }
  StartHealth(health_, HealthSettings{});
  return SCANMON_OK;
}

int RemoteSource::Lost(const char* what, int code) {
  end_status_ = SCANMON_E_CONNECTION;
  if (code != 0) {
    std::snprintf(end_text_, sizeof end_text_, "scanmon-serve at %s: %s: %s", where_, what,
                  platform::SocketErrorText(code));
  } else {
    std::snprintf(end_text_, sizeof end_text_, "scanmon-serve at %s: %s", where_, what);
  }
  return Ended();
}

int RemoteSource::Ended() {
  if (end_status_ == SCANMON_OK) {
    std::uint32_t reason = 0;
    char text[stream::kEndMaxText + 1];
    const char* problem = stream::ParseEnd(decoder_->payload(), decoder_->payload_bytes(), &reason,
                                           text, sizeof text);
    if (problem != nullptr) return Lost(problem, 0);
    end_status_ = reason == stream::kEndStopped || reason == stream::kEndSourceEnded ? SCANMON_END
                  : reason == stream::kEndSourceFailed ? SCANMON_E_FETCH
                                                       : SCANMON_E_CONNECTION;
    std::snprintf(end_text_, sizeof end_text_,
                  "scanmon-serve at %s ended the stream: %s (reason %lu: %s)", where_, text,
                  static_cast<unsigned long>(reason), stream::EndReasonName(reason));
  }
  if (socket_ != win::INVALID_SOCKET) {
    win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }
  return SetError(end_status_, "%s", end_text_);
}

int RemoteSource::NextFrame(double end_s) {
  for (;;) {
    if (staged_start_ < staged_end_) {
      std::size_t used = 0;
      const char* problem = nullptr;
      const auto step = decoder_->Feed(staging_.get() + staged_start_, staged_end_ - staged_start_,
                                       &used, &problem);
      staged_start_ += used;
      if (staged_start_ == staged_end_) staged_start_ = staged_end_ = 0;
      if (step == stream::StreamDecoder::Step::kError) return Lost(problem, 0);
      if (step == stream::StreamDecoder::Step::kFrame) {
        have_frame_ = true;
        return SCANMON_OK;
      }
    }
    int wait_ms = -1;
    if (end_s >= 0) {
      const double left = end_s - platform::MonotonicSeconds();
      if (left <= 0) return SCANMON_TIMEOUT;
      wait_ms = static_cast<int>(left * 1000.0) + 1;
    }
    const int n = win::recv(socket_, reinterpret_cast<char*>(staging_.get()),
                            static_cast<int>(kStagingBytes), 0);
    if (n > 0) {
      staged_start_ = 0;
      staged_end_ = static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      return Lost(
          "the server closed the connection without an end message (it was killed, or the "
          "network failed)",
          0);
    }
    const int code = win::WSAGetLastError();
    if (code != win::WSAEWOULDBLOCK) return Lost("receiving from the server failed", code);
    win::WSAPOLLFD fd{socket_, win::POLLIN, 0};
    if (win::WSAPoll(&fd, 1, wait_ms) < 0) {
      return Lost("waiting for the server failed", win::WSAGetLastError());
    }
  }
}

int RemoteSource::ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                            scanmon_raw_sample* raw, std::uint32_t capacity) {
  if (end_status_ != SCANMON_OK) return SetError(end_status_, "%s", end_text_);
  if (!have_frame_) {
    const double end_s = timeout_ms < 0 ? -1.0 : platform::MonotonicSeconds() + timeout_ms / 1000.0;
    const int status = NextFrame(end_s);
    if (status == SCANMON_TIMEOUT) {
      return SetError(SCANMON_TIMEOUT, "no block from the server within %ld ms",
                      static_cast<long>(timeout_ms));
    }
    if (status != SCANMON_OK) return status;
  }
  if (decoder_->type() == stream::kFrameEnd) return Ended();
  if (decoder_->type() != stream::kFrameBlock)
    return Lost("a frame of a type not expected here", 0);
  scanmon_block b = decoder_->block();
  b.dropped_before += decoder_->lost();
  if (b.dropped_before > 0) b.flags |= SCANMON_BLOCK_DROPPED;
  b.first_record = samples_read_;
  b.reserved = 0;
  *block = b;
  if ((samples != nullptr || raw != nullptr) && b.count > capacity) {
    return SetError(SCANMON_E_BUFFER, "the block holds %lu samples; the buffers hold %lu",
                    static_cast<unsigned long>(b.count), static_cast<unsigned long>(capacity));
  }
  // The records as the decoder kept them (a later version's larger records:
  // their first bytes), little-endian as the host is on every platform this
  // library is built for.
  if (samples != nullptr)
    std::memcpy(samples, sample_store_.get(), sizeof(scanmon_sample) * b.count);
  if (raw != nullptr && raw_)
    std::memcpy(raw, raw_store_.get(), sizeof(scanmon_raw_sample) * b.count);
  if (b.dropped_before > 0) {
    samples_dropped_ += b.dropped_before;
    ++drop_events_;
    NoteHealthGap(health_);
  }
  if (b.count > 0) {
    FeedHealth(health_, reinterpret_cast<const ProcessedSample*>(sample_store_.get()), b.count,
               (b.flags & SCANMON_BLOCK_LOST_DATA) != 0, greeting_.sample_period_us,
               platform::MonotonicSeconds());
  }
  ++blocks_read_;
  samples_read_ += b.count;
  have_frame_ = false;
  return SCANMON_OK;
}

void RemoteSource::Info(scanmon_source_info* info) const {
  info->kind = SCANMON_SOURCE_REMOTE;
  info->has_raw = raw_ ? 1 : 0;
  info->has_index = 0;
  info->max_block_samples = greeting_.max_block_samples;
  info->sample_period_us = greeting_.sample_period_us;
  info->ring_samples = 0;
  info->records = 0;
}

void RemoteSource::Health(scanmon_health* out) {
  FillHealth(ReadHealth(health_), SummarizeHealth(health_), out);
  out->blocks_read = blocks_read_;
  out->samples_read = samples_read_;
  out->samples_dropped = samples_dropped_;
  out->drop_events = drop_events_;
  out->ring_peak_samples = 0;
  out->ring_samples = 0;
  out->sampling = 1;
}

void RemoteSource::Header(scanmon_capture_header* out) const {
  scanmon_capture_header h = greeting_.header;
  h.struct_size = sizeof h;
  *out = h;
}

}  // namespace

int OpenRemoteSource(const char* host, std::uint16_t port, const scanmon_remote_options& options,
                     std::unique_ptr<Source>* source) {
  std::unique_ptr<RemoteSource> remote(new (std::nothrow) RemoteSource);
  if (!remote) return SetError(SCANMON_E_MEMORY, "out of memory for the source");
  const int status = remote->Open(host, port, options);
  if (status != SCANMON_OK) return status;
  *source = std::move(remote);
  return SCANMON_OK;
}

}  // namespace scanmon_lib
