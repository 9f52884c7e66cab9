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

class RemoteSource final : public Source {
 public:
  ~RemoteSource() override {
    if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
  }

  int Open(std::uint32_t address, std::uint16_t port, const scanmon_remote_options& options);
  int ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                scanmon_raw_sample* raw, std::uint32_t capacity) override;
  void Info(scanmon_source_info* info) const override;
  void Health(scanmon_health* health) override;
  void Header(scanmon_capture_header* header) const override;

 private:
  // Waits for the next whole frame at most until end_s (negative: no end).
  // SCANMON_OK with pending_* set, SCANMON_TIMEOUT, or a failure.
  int NextFrame(double end_s);
  int Ended();  // the result every read gives after the stream ended
  int Lost(const char* what, int code);

  win::SOCKET socket_ = win::INVALID_SOCKET;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::unique_ptr<stream::FrameReader> reader_;
  stream::Greeting greeting_;
  bool raw_ = false;
  bool have_frame_ = false;
  std::uint32_t frame_type_ = 0;
  const std::uint8_t* frame_ = nullptr;
  std::size_t frame_bytes_ = 0;
  // After the stream ended: the result and text every read gives.
  int end_status_ = SCANMON_OK;
  char end_text_[stream::kEndMaxText + 160] = {};
  std::uint64_t blocks_read_ = 0;
  std::uint64_t samples_read_ = 0;
  std::uint64_t samples_dropped_ = 0;
  std::uint64_t drop_events_ = 0;
  HealthState health_{};
};

int RemoteSource::Open(std::uint32_t address, std::uint16_t port,
                       const scanmon_remote_options& options) {
  if (!stream::StartSockets()) {
    return SetError(SCANMON_E_CONNECTION, "the system's sockets could not be started (WSAStartup)");
  }
  char where[64];
  std::snprintf(where, sizeof where, "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 255,
                (address >> 8) & 255, address & 255, port);
  int error = 0;
  socket_ = stream::ConnectWithin(address, port, options.connect_timeout_ms, &error);
  if (socket_ == win::INVALID_SOCKET) {
    return SetError(SCANMON_E_CONNECTION, "cannot connect to scanmon-serve at %s: %s", where,
                    platform::SocketErrorText(error));
  }
  // The greeting phase: a buffer for the greeting or a refusal.
  const std::size_t small = stream::kFrameHeaderBytes + stream::kGreetingMaxPayload;
  buffer_.reset(new (std::nothrow) std::uint8_t[small]);
  if (!buffer_) return SetError(SCANMON_E_MEMORY, "out of memory for the receive buffer");
  reader_.reset(new stream::FrameReader(buffer_.get(), small));
  reader_->SetLimit(stream::kFrameGreeting, stream::kGreetingMaxPayload);
  reader_->SetLimit(stream::kFrameEnd, stream::kEndMaxPayload);
  const double end_s = platform::MonotonicSeconds() + options.connect_timeout_ms / 1000.0;
  int status = NextFrame(end_s);
  if (status == SCANMON_TIMEOUT) {
    return SetError(SCANMON_E_CONNECTION, "scanmon-serve at %s sent no greeting within %ld ms",
                    where, static_cast<long>(options.connect_timeout_ms));
  }
  if (status != SCANMON_OK) return status;
  if (frame_type_ == stream::kFrameEnd) return Ended();
  const char* problem = stream::ParseGreeting(frame_, frame_bytes_, &greeting_);
  if (problem != nullptr) return SetError(SCANMON_E_CONNECTION, "%s: %s", where, problem);
  have_frame_ = false;
  if (options.with_raw != 0 && (greeting_.flags & stream::kGreetingHasRaw) == 0) {
    return SetError(SCANMON_E_ARGUMENT,
                    "the server at %s keeps no raw records; open without with_raw", where);
  }
  raw_ = options.with_raw != 0;
  stream::ReaderGreeting hello;
  hello.flags = raw_ ? stream::kReaderWantsRaw : 0;
  hello.key_bytes = static_cast<std::uint32_t>(std::strlen(options.key));
  std::memcpy(hello.key, options.key, hello.key_bytes);
  std::uint8_t
      out[stream::kFrameHeaderBytes + stream::kReaderGreetingFixedBytes + stream::kMaxKeyBytes];
  const std::size_t out_bytes = stream::EncodeReaderGreeting(hello, out, sizeof out);
  if (!stream::SendAllWithin(socket_, out, out_bytes, options.connect_timeout_ms, &error)) {
    return SetError(SCANMON_E_CONNECTION, "sending the greeting to %s failed: %s", where,
                    platform::SocketErrorText(error));
  }
  // Nothing comes before our greeting but the greeting itself: the buffer can
  // be replaced by one for the largest block frame.
  const std::size_t big = stream::MaxBlockFrameBytes(greeting_, raw_);
  buffer_.reset(new (std::nothrow) std::uint8_t[big]);
  if (!buffer_) return SetError(SCANMON_E_MEMORY, "out of memory for the receive buffer");
  reader_.reset(new stream::FrameReader(buffer_.get(), big));
  reader_->SetLimit(stream::kFrameBlock, big - stream::kFrameHeaderBytes);
  reader_->SetLimit(stream::kFrameEnd, stream::kEndMaxPayload);
  StartHealth(health_, HealthSettings{});
  return SCANMON_OK;
}

int RemoteSource::Lost(const char* what, int code) {
  end_status_ = SCANMON_E_CONNECTION;
  if (code != 0) {
    std::snprintf(end_text_, sizeof end_text_, "%s: %s", what, platform::SocketErrorText(code));
  } else {
    std::snprintf(end_text_, sizeof end_text_, "%s", what);
  }
  return Ended();
}

int RemoteSource::Ended() {
  if (end_status_ == SCANMON_OK) {
    std::uint32_t reason = 0;
    char text[stream::kEndMaxText + 1];
    const char* problem = stream::ParseEnd(frame_, frame_bytes_, &reason, text, sizeof text);
    if (problem != nullptr) return Lost(problem, 0);
    end_status_ = reason == stream::kEndStopped || reason == stream::kEndSourceEnded ? SCANMON_END
                  : reason == stream::kEndSourceFailed ? SCANMON_E_FETCH
                                                       : SCANMON_E_CONNECTION;
    std::snprintf(end_text_, sizeof end_text_, "the server ended the stream: %s (reason %lu: %s)",
                  text, static_cast<unsigned long>(reason), stream::EndReasonName(reason));
    if (socket_ != win::INVALID_SOCKET) {
      win::closesocket(socket_);
      socket_ = win::INVALID_SOCKET;
    }
  }
  return SetError(end_status_, "%s", end_text_);
}

int RemoteSource::NextFrame(double end_s) {
  for (;;) {
    std::uint32_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t bytes = 0;
    const char* problem = nullptr;
    switch (reader_->Next(&type, &payload, &bytes, &problem)) {
      case stream::FrameReader::Step::kFrame:
        have_frame_ = true;
        frame_type_ = type;
        frame_ = payload;
        frame_bytes_ = bytes;
        return SCANMON_OK;
      case stream::FrameReader::Step::kError:
        return Lost(problem, 0);
      case stream::FrameReader::Step::kNeedMore:
        break;
    }
    const std::size_t space = reader_->SpaceBytes();
    const int step = space > (1u << 20) ? (1 << 20) : static_cast<int>(space);
    const int n = win::recv(socket_, reinterpret_cast<char*>(reader_->Space()), step, 0);
    if (n > 0) {
      reader_->Commit(static_cast<std::size_t>(n));
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
    int wait_ms = -1;
    if (end_s >= 0) {
      const double left = end_s - platform::MonotonicSeconds();
      if (left <= 0) return SCANMON_TIMEOUT;
      wait_ms = static_cast<int>(left * 1000.0) + 1;
    }
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
  if (frame_type_ == stream::kFrameEnd) return Ended();
  std::uint64_t lost = 0;
  std::uint64_t lost_blocks = 0;
  scanmon_block b;
  const std::uint8_t* sample_bytes = nullptr;
  const std::uint8_t* raw_bytes = nullptr;
  const char* problem = stream::ParseBlock(frame_, frame_bytes_, greeting_, raw_, &lost,
                                           &lost_blocks, &b, &sample_bytes, &raw_bytes);
  if (problem != nullptr) return Lost(problem, 0);
  b.dropped_before += lost;
  if (b.dropped_before > 0) b.flags |= SCANMON_BLOCK_DROPPED;
  b.first_record = samples_read_;
  *block = b;
  if ((samples != nullptr || raw != nullptr) && b.count > capacity) {
    return SetError(SCANMON_E_BUFFER, "the block holds %lu samples; the buffers hold %lu",
                    static_cast<unsigned long>(b.count), static_cast<unsigned long>(capacity));
  }
  // The records as they came (a later version's larger records: their first
  // bytes), into the caller's buffers, little-endian as the host is on every
  // platform this library is built for.
  for (std::uint32_t i = 0; samples != nullptr && i < b.count; ++i) {
    std::memcpy(&samples[i], sample_bytes + std::size_t{i} * greeting_.sample_bytes,
                sizeof(scanmon_sample));
  }
  for (std::uint32_t i = 0; raw != nullptr && raw_bytes != nullptr && i < b.count; ++i) {
    std::memcpy(&raw[i], raw_bytes + std::size_t{i} * greeting_.raw_bytes,
                sizeof(scanmon_raw_sample));
  }
  if (b.dropped_before > 0) {
    samples_dropped_ += b.dropped_before;
    ++drop_events_;
    NoteHealthGap(health_);
  }
  if (samples != nullptr && greeting_.sample_bytes == sizeof(scanmon_sample)) {
    FeedHealth(health_, reinterpret_cast<const ProcessedSample*>(samples), b.count,
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

int OpenRemoteSource(std::uint32_t address, std::uint16_t port,
                     const scanmon_remote_options& options, std::unique_ptr<Source>* source) {
  std::unique_ptr<RemoteSource> remote(new (std::nothrow) RemoteSource);
  if (!remote) return SetError(SCANMON_E_MEMORY, "out of memory for the source");
  const int status = remote->Open(address, port, options);
  if (status != SCANMON_OK) return status;
  *source = std::move(remote);
  return SCANMON_OK;
}

}  // namespace scanmon_lib
