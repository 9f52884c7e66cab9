// Winsock's socket calls, passed through (see platform/socket.h). The
// header's types and constants have Winsock's layouts and values, pinned here.
#include "platform/socket.h"

// Winsock's headers define these names as macros: the header's values are
// taken under names of their own first, and compared with Winsock's below.
namespace {

constexpr std::size_t kSocketBytes = sizeof(win::SOCKET);
constexpr win::SOCKET kInvalidSocket = win::INVALID_SOCKET;
constexpr std::size_t kPollFdBytes = sizeof(win::WSAPOLLFD);
constexpr std::size_t kEventsOffset = offsetof(win::WSAPOLLFD, events);
constexpr std::size_t kReventsOffset = offsetof(win::WSAPOLLFD, revents);
constexpr std::size_t kAddressBytes = sizeof(win::sockaddr_in);
constexpr short kPollFlags[] = {win::POLLRDNORM, win::POLLRDBAND, win::POLLWRNORM,
                                win::POLLERR,    win::POLLHUP,    win::POLLNVAL};
constexpr int kOptions[] = {win::SOL_SOCKET, win::SO_REUSEADDR, win::TCP_NODELAY, win::SO_SNDBUF,
                            win::SO_RCVBUF};
constexpr long kFionbio = win::FIONBIO;
constexpr int kErrors[] = {win::WSAEWOULDBLOCK, win::WSAECONNRESET,  win::WSAECONNREFUSED,
                           win::WSAEINTR,       win::WSAEINPROGRESS, win::WSAETIMEDOUT};
constexpr int kFamily[] = {win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP};
constexpr int kFamily6 = win::AF_INET6;
constexpr int kFamilyUnspec = win::AF_UNSPEC;
constexpr std::size_t kAddress6Bytes = sizeof(win::sockaddr_in6);
constexpr std::size_t kAddrInfoBytes = sizeof(win::addrinfo);
constexpr std::size_t kAddrInfoAddrOffset = offsetof(win::addrinfo, ai_addr);
constexpr std::size_t kAddrInfoNextOffset = offsetof(win::addrinfo, ai_next);
constexpr int kNameErrors[] = {win::WSAHOST_NOT_FOUND, win::WSATRY_AGAIN, win::WSANO_RECOVERY};

}  // namespace

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#elif _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>

static_assert(kSocketBytes == sizeof(::SOCKET), "SOCKET is Winsock's");
static_assert(kInvalidSocket == INVALID_SOCKET, "INVALID_SOCKET is Winsock's");
static_assert(kPollFdBytes == sizeof(::WSAPOLLFD), "WSAPOLLFD is Winsock's");
static_assert(kEventsOffset == offsetof(::WSAPOLLFD, events), "events");
static_assert(kReventsOffset == offsetof(::WSAPOLLFD, revents), "revents");
static_assert(kAddressBytes == sizeof(::sockaddr_in), "sockaddr_in is Winsock's");
static_assert(kPollFlags[0] == POLLRDNORM && kPollFlags[1] == POLLRDBAND &&
                  kPollFlags[2] == POLLWRNORM && kPollFlags[3] == POLLERR &&
                  kPollFlags[4] == POLLHUP && kPollFlags[5] == POLLNVAL,
              "poll flags are Winsock's");
static_assert(kOptions[0] == SOL_SOCKET && kOptions[1] == SO_REUSEADDR &&
                  kOptions[2] == TCP_NODELAY && kOptions[3] == SO_SNDBUF &&
                  kOptions[4] == SO_RCVBUF && kFionbio == static_cast<long>(FIONBIO),
              "options are Winsock's");
static_assert(kErrors[0] == WSAEWOULDBLOCK && kErrors[1] == WSAECONNRESET &&
                  kErrors[2] == WSAECONNREFUSED && kErrors[3] == WSAEINTR &&
                  kErrors[4] == WSAEINPROGRESS && kErrors[5] == WSAETIMEDOUT,
              "error codes are Winsock's");
static_assert(kFamily[0] == AF_INET && kFamily[1] == SOCK_STREAM && kFamily[2] == IPPROTO_TCP,
              "families are Winsock's");
static_assert(kFamily6 == AF_INET6 && kFamilyUnspec == AF_UNSPEC, "families are Winsock's");
static_assert(kAddress6Bytes == sizeof(::sockaddr_in6), "sockaddr_in6 is Winsock's");
static_assert(kAddrInfoBytes == sizeof(::ADDRINFOA) &&
                  kAddrInfoAddrOffset == offsetof(::ADDRINFOA, ai_addr) &&
                  kAddrInfoNextOffset == offsetof(::ADDRINFOA, ai_next),
              "addrinfo is Winsock's ADDRINFOA");
static_assert(kNameErrors[0] == WSAHOST_NOT_FOUND && kNameErrors[1] == WSATRY_AGAIN &&
                  kNameErrors[2] == WSANO_RECOVERY,
              "name errors are Winsock's");

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
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  // Winsock's getaddrinfo returns its error code itself.
  return ::getaddrinfo(node, service, reinterpret_cast<const ::ADDRINFOA*>(hints),
                       reinterpret_cast<::ADDRINFOA**>(result));
}
void freeaddrinfo(addrinfo* list) {
  ::freeaddrinfo(reinterpret_cast<::ADDRINFOA*>(list));
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

namespace platform {

const bool kSocketErrorsNamedAsWinsock = true;

}  // namespace platform
