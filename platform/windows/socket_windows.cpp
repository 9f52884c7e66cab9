// Winsock's socket calls, passed through (see platform/socket.h). The
// header's types and constants have Winsock's layouts and values, pinned here.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#elif _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket.h"

static_assert(sizeof(win::SOCKET) == sizeof(::SOCKET), "SOCKET is Winsock's");
static_assert(win::INVALID_SOCKET == INVALID_SOCKET, "INVALID_SOCKET is Winsock's");
static_assert(sizeof(win::WSAPOLLFD) == sizeof(::WSAPOLLFD), "WSAPOLLFD is Winsock's");
static_assert(offsetof(::WSAPOLLFD, events) == offsetof(win::WSAPOLLFD, events), "events");
static_assert(offsetof(::WSAPOLLFD, revents) == offsetof(win::WSAPOLLFD, revents), "revents");
static_assert(sizeof(win::sockaddr_in) == sizeof(::sockaddr_in), "sockaddr_in is Winsock's");
static_assert(win::POLLRDNORM == POLLRDNORM && win::POLLRDBAND == POLLRDBAND &&
                  win::POLLWRNORM == POLLWRNORM && win::POLLERR == POLLERR &&
                  win::POLLHUP == POLLHUP && win::POLLNVAL == POLLNVAL,
              "poll flags are Winsock's");
static_assert(win::SOL_SOCKET == SOL_SOCKET && win::SO_REUSEADDR == SO_REUSEADDR &&
                  win::TCP_NODELAY == TCP_NODELAY && win::SO_SNDBUF == SO_SNDBUF &&
                  win::SO_RCVBUF == SO_RCVBUF && win::FIONBIO == static_cast<long>(FIONBIO),
              "options are Winsock's");
static_assert(win::WSAEWOULDBLOCK == WSAEWOULDBLOCK && win::WSAECONNRESET == WSAECONNRESET &&
                  win::WSAECONNREFUSED == WSAECONNREFUSED && win::WSAEINTR == WSAEINTR,
              "error codes are Winsock's");

namespace win {

std::uint16_t htons(std::uint16_t value) {
  return ::htons(value);
}
std::uint32_t htonl(std::uint32_t value) {
  return ::htonl(value);
}
std::uint16_t ntohs(std::uint16_t value) {
  return ::ntohs(value);
}

int WSAStartup(WORD version) {
  ::WSADATA data;
  return ::WSAStartup(version, &data);
}
int WSACleanup() {
  return ::WSACleanup();
}
int WSAGetLastError() {
  return ::WSAGetLastError();
}

SOCKET socket(int family, int type, int protocol) {
  return ::socket(family, type, protocol);
}
int closesocket(SOCKET s) {
  return ::closesocket(s);
}
int bind(SOCKET s, const sockaddr* address, int length) {
  return ::bind(s, reinterpret_cast<const ::sockaddr*>(address), length);
}
int listen(SOCKET s, int backlog) {
  return ::listen(s, backlog);
}
SOCKET accept(SOCKET s, sockaddr* address, int* length) {
  return ::accept(s, reinterpret_cast<::sockaddr*>(address), length);
}
int connect(SOCKET s, const sockaddr* address, int length) {
  return ::connect(s, reinterpret_cast<const ::sockaddr*>(address), length);
}
int getsockname(SOCKET s, sockaddr* address, int* length) {
  return ::getsockname(s, reinterpret_cast<::sockaddr*>(address), length);
}
int recv(SOCKET s, char* buffer, int length, int flags) {
  return ::recv(s, buffer, length, flags);
}
int send(SOCKET s, const char* buffer, int length, int flags) {
  return ::send(s, buffer, length, flags);
}
int shutdown(SOCKET s, int how) {
  return ::shutdown(s, how);
}
int setsockopt(SOCKET s, int level, int name, const char* value, int length) {
  return ::setsockopt(s, level, name, value, length);
}
int ioctlsocket(SOCKET s, long command, unsigned long* argument) {
  u_long value = *argument;
  int result = ::ioctlsocket(s, command, &value);
  *argument = value;
  return result;
}
int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeout_ms) {
  return ::WSAPoll(reinterpret_cast<::WSAPOLLFD*>(fds), count, timeout_ms);
}

}  // namespace win
