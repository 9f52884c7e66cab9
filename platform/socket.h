// TCP sockets, as Winsock offers them: passed through on Windows
// (platform/windows/socket_windows.cpp) and made of the POSIX calls on Linux
// (platform/linux/socket_linux.cpp). IPv4 and IPv6 (the server listens on
// either; the readers connect over IPv4), and getaddrinfo for the names a
// server is told to listen on.
//
// The types and constants are Winsock's, with Winsock's values and layouts, so
// the Windows file passes them through as they are; the Linux file translates.
// The portable code never includes a socket header.
//
// Differences from Winsock, on purpose:
// - WSAStartup takes the version only (the WSADATA Windows fills is not passed
//   on); WSACleanup as in Winsock. Call each once per process.
// - send never raises SIGPIPE on Linux (a vanished peer is an error result,
//   WSAECONNRESET), as on Windows.
// - Errors: WSAGetLastError gives Winsock's codes on both platforms (Linux
//   maps errno to them); SocketErrorText names them in words, with the name
//   the system gives them (errno's names on Linux).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

namespace win {

using SOCKET = std::uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int AF_UNSPEC = 0;
inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 23;  // Winsock's value (Linux's is 10)
inline constexpr int SOCK_STREAM = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int SOMAXCONN = 0x7fffffff;
inline constexpr std::uint32_t INADDR_LOOPBACK = 0x7f000001u;  // host order

// sockaddr_in: family, port and address in network byte order, 8 bytes of 0.
struct in_addr {
  std::uint32_t s_addr;
};
struct sockaddr_in {
  std::uint16_t sin_family;
  std::uint16_t sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};
struct sockaddr {
  std::uint16_t sa_family;
  char sa_data[14];
};
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes on both platforms");
// sockaddr_in6: family, port (network order), flow info, the 16 address
// bytes, the scope (interface) number.
struct in6_addr {
  std::uint8_t s6_bytes[16];  // Winsock's s6_addr, which both systems' headers make a macro
};
struct sockaddr_in6 {
  std::uint16_t sin6_family;
  std::uint16_t sin6_port;
  std::uint32_t sin6_flowinfo;
  in6_addr sin6_addr;
  std::uint32_t sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28, "sockaddr_in6 is 28 bytes on both platforms");
// Room for any address.
struct alignas(8) sockaddr_storage {
  std::uint16_t ss_family;
  char ss_data[126];
};

// getaddrinfo's record, in Winsock's layout (ADDRINFOA).
struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  std::size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};

// Byte order of the wire (big-endian) from and to the host's.
std::uint16_t htons(std::uint16_t value);
std::uint32_t htonl(std::uint32_t value);
std::uint16_t ntohs(std::uint16_t value);

// WSAPoll's record and flags, Winsock's values.
struct WSAPOLLFD {
  SOCKET fd;
  short events;
  short revents;
};
inline constexpr short POLLRDNORM = 0x0100;
inline constexpr short POLLRDBAND = 0x0200;
inline constexpr short POLLIN = POLLRDNORM | POLLRDBAND;
inline constexpr short POLLWRNORM = 0x0010;
inline constexpr short POLLOUT = POLLWRNORM;
inline constexpr short POLLERR = 0x0001;
inline constexpr short POLLHUP = 0x0002;
inline constexpr short POLLNVAL = 0x0004;

// setsockopt: the few options used.
inline constexpr int SOL_SOCKET = 0xffff;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int TCP_NODELAY = 0x0001;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;

// ioctlsocket: non-blocking mode on or off.
inline constexpr long FIONBIO = static_cast<long>(0x8004667eu);

// shutdown's directions.
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// The error codes the callers compare.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;

int WSAStartup(WORD version);
int WSACleanup();
int WSAGetLastError();

SOCKET socket(int family, int type, int protocol);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* length);
int connect(SOCKET s, const sockaddr* address, int length);
int getsockname(SOCKET s, sockaddr* address, int* length);
int recv(SOCKET s, char* buffer, int length, int flags);
int send(SOCKET s, const char* buffer, int length, int flags);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int name, const char* value, int length);
// The addresses of `node` (a name or a numeric address; `service` unused
// here, pass null) as a list to free with freeaddrinfo. 0 on success, else
// Winsock's code (WSAHOST_NOT_FOUND for a name that does not resolve). Only
// ai_family (AF_UNSPEC, AF_INET, AF_INET6) and ai_socktype of `hints` count.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* list);
int ioctlsocket(SOCKET s, long command, unsigned long* argument);
// Waits at most timeout_ms (negative: without end) for an event on any of the
// sockets; returns how many have revents set, 0 after the time-out, or
// SOCKET_ERROR.
int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeout_ms);

}  // namespace win

namespace platform {

// The Winsock code in words and the system's own name of it, e.g. "the
// address is already in use (EADDRINUSE)" on Linux, "(WSAEADDRINUSE)" on
// Windows. The text is the calling thread's until its next call.
const char* SocketErrorText(int code);
// True on Windows: errors are named as Winsock names them (each platform's
// socket file says).
extern const bool kSocketErrorsNamedAsWinsock;

}  // namespace platform
