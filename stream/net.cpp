// Portable socket helpers: see net.h.
#include "stream/net.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace stream {

namespace {

std::atomic<int> g_started{0};

int RemainingMs(double end_s) {
  const double left = end_s - platform::MonotonicSeconds();
  return left <= 0 ? 0 : static_cast<int>(left * 1000.0) + 1;
}

}  // namespace

bool StartSockets() {
  if (g_started.load() == 1) return true;
  if (win::WSAStartup(0x0202) != 0) return false;
  g_started.store(1);
  return true;
}

bool SetNonBlocking(win::SOCKET s) {
  unsigned long on = 1;
  return win::ioctlsocket(s, win::FIONBIO, &on) == 0;
}

win::sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  win::sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = static_cast<std::uint16_t>(win::AF_INET);
  in.sin_port = win::htons(port);
  in.sin_addr.s_addr = win::htonl(address);
  return in;
}

void FormatAddress(const win::sockaddr* address, char* out, std::size_t size) {
  std::uint16_t family = 0;
  std::memcpy(&family, address, sizeof family);
  if (family == win::AF_INET) {
    win::sockaddr_in in;
    std::memcpy(&in, address, sizeof in);
    const std::uint32_t a = win::htonl(in.sin_addr.s_addr);  // back to host order
    std::snprintf(out, size, "%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255,
                  static_cast<unsigned>(win::ntohs(in.sin_port)));
    return;
  }
  if (family != win::AF_INET6) {
    std::snprintf(out, size, "?");
    return;
  }
  win::sockaddr_in6 in;
  std::memcpy(&in, address, sizeof in);
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) {
    groups[i] =
        static_cast<unsigned>(in.sin6_addr.s6_bytes[2 * i]) << 8 | in.sin6_addr.s6_bytes[2 * i + 1];
  }
  // The longest run of two or more zero groups becomes "::".
  int best = -1;
  int best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j > i ? j : i + 1;
  }
  char text[48];
  std::size_t at = 0;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "::"));
      i += best_length - 1;
      continue;
    }
    const bool after_gap = best >= 0 && i == best + best_length;
    at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "%s%x",
                                                 i == 0 || after_gap ? "" : ":", groups[i]));
  }
  std::snprintf(out, size, "[%s]:%u", text, static_cast<unsigned>(win::ntohs(in.sin6_port)));
}

win::SOCKET ConnectWithin(std::uint32_t address, std::uint16_t port, int timeout_ms, int* error) {
  win::sockaddr_in in = MakeAddress(address, port);
  return ConnectWithin(reinterpret_cast<const win::sockaddr*>(&in), sizeof in, timeout_ms, error);
}

win::SOCKET ConnectWithin(const win::sockaddr* address, int length, int timeout_ms, int* error) {
  std::uint16_t family = 0;
  std::memcpy(&family, address, sizeof family);
  win::SOCKET s = win::socket(family, win::SOCK_STREAM, win::IPPROTO_TCP);
  if (s == win::INVALID_SOCKET) {
    *error = win::WSAGetLastError();
    return s;
  }
  const int on = 1;
  win::setsockopt(s, win::IPPROTO_TCP, win::TCP_NODELAY, reinterpret_cast<const char*>(&on),
                  sizeof on);
  if (!SetNonBlocking(s)) {
    *error = win::WSAGetLastError();
    win::closesocket(s);
    return win::INVALID_SOCKET;
  }
  if (win::connect(s, address, length) != 0) {
    const int code = win::WSAGetLastError();
    if (code != win::WSAEWOULDBLOCK && code != win::WSAEINPROGRESS) {
      *error = code;
      win::closesocket(s);
      return win::INVALID_SOCKET;
    }
    win::WSAPOLLFD fd{s, win::POLLOUT, 0};
    const int n = win::WSAPoll(&fd, 1, timeout_ms);
    if (n <= 0 || (fd.revents & (win::POLLERR | win::POLLHUP | win::POLLNVAL)) != 0) {
      // A refused connection shows as an error event; which one the system
      // does not say through poll, so a refusal is named as the likely cause.
      *error = n == 0 ? win::WSAETIMEDOUT : win::WSAECONNREFUSED;
      win::closesocket(s);
      return win::INVALID_SOCKET;
    }
  }
  return s;
}

win::SOCKET ConnectToHost(const char* host, std::uint16_t port, int timeout_ms, char* where,
                          std::size_t where_size, int* error) {
  const double end_s = platform::MonotonicSeconds() + timeout_ms / 1000.0;
  // "[::1]" as a URL writes it: the address inside the brackets.
  char name[256];
  const std::size_t length = std::strlen(host);
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']' && length - 2 < sizeof name) {
    std::memcpy(name, host + 1, length - 2);
    name[length - 2] = '\0';
  } else {
    std::snprintf(name, sizeof name, "%s", host);
  }
  const bool v6 = std::strchr(name, ':') != nullptr;
  std::snprintf(where, where_size, v6 ? "[%s]:%u" : "%s:%u", name, static_cast<unsigned>(port));
  win::addrinfo hints{};
  hints.ai_family = win::AF_UNSPEC;
  hints.ai_socktype = win::SOCK_STREAM;
  win::addrinfo* addresses = nullptr;
  const int resolved = win::getaddrinfo(name, nullptr, &hints, &addresses);
  if (resolved != 0) {
    *error = resolved;
    return win::INVALID_SOCKET;
  }
  win::SOCKET s = win::INVALID_SOCKET;
  *error = win::WSAETIMEDOUT;
  for (const win::addrinfo* at = addresses; at != nullptr && s == win::INVALID_SOCKET;
       at = at->ai_next) {
    const int left_ms = RemainingMs(end_s);
    if (left_ms == 0) break;
    win::sockaddr_storage to{};
    const std::size_t bytes = at->ai_addrlen < sizeof to ? at->ai_addrlen : sizeof to;
    std::memcpy(&to, at->ai_addr, bytes);
    const std::uint16_t wire_port = win::htons(port);
    std::memcpy(reinterpret_cast<char*>(&to) + 2, &wire_port, 2);  // both families: offset 2
    s = ConnectWithin(reinterpret_cast<const win::sockaddr*>(&to), static_cast<int>(bytes), left_ms,
                      error);
    if (s != win::INVALID_SOCKET) {
      FormatAddress(reinterpret_cast<const win::sockaddr*>(&to), where, where_size);
    }
  }
  win::freeaddrinfo(addresses);
  return s;
}

bool SendAllWithin(win::SOCKET s, const std::uint8_t* data, std::size_t bytes, int timeout_ms,
                   int* error) {
  const double end_s = platform::MonotonicSeconds() + timeout_ms / 1000.0;
  while (bytes > 0) {
    const int step = bytes > (1u << 20) ? (1 << 20) : static_cast<int>(bytes);
    const int n = win::send(s, reinterpret_cast<const char*>(data), step, 0);
    if (n > 0) {
      data += n;
      bytes -= static_cast<std::size_t>(n);
      continue;
    }
    const int code = win::WSAGetLastError();
    if (n < 0 && code != win::WSAEWOULDBLOCK) {
      *error = code;
      return false;
    }
    const int left = RemainingMs(end_s);
    win::WSAPOLLFD fd{s, win::POLLOUT, 0};
    if (left == 0 || win::WSAPoll(&fd, 1, left) <= 0) {
      *error = win::WSAETIMEDOUT;
      return false;
    }
  }
  return true;
}

}  // namespace stream
