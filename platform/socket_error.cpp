// Winsock's error codes in words, each named as the system running the
// program names it: Winsock's name on Windows, the errno name on Linux (the
// Linux layer maps errno to Winsock's codes; the name goes back).
#include <cstdio>

#include "platform/socket.h"

namespace platform {

namespace {

struct SocketError {
  int code;
  const char* words;
  const char* winsock_name;
  const char* posix_name;
};

constexpr SocketError kSocketErrors[] = {
    {win::WSAEINTR, "the call was interrupted", "WSAEINTR", "EINTR"},
    {win::WSAEACCES, "permission denied", "WSAEACCES", "EACCES"},
    {win::WSAEINVAL, "invalid argument", "WSAEINVAL", "EINVAL"},
    {win::WSAEMFILE, "too many open sockets", "WSAEMFILE", "EMFILE"},
    {win::WSAEWOULDBLOCK, "the call would block", "WSAEWOULDBLOCK", "EWOULDBLOCK"},
    {win::WSAEINPROGRESS, "the call is in progress", "WSAEINPROGRESS", "EINPROGRESS"},
    {win::WSAEADDRINUSE, "the address is already in use", "WSAEADDRINUSE", "EADDRINUSE"},
    {win::WSAEADDRNOTAVAIL, "the address is not available on this machine", "WSAEADDRNOTAVAIL",
     "EADDRNOTAVAIL"},
    {win::WSAENETUNREACH, "the network is unreachable", "WSAENETUNREACH", "ENETUNREACH"},
    {win::WSAECONNABORTED, "the connection was aborted", "WSAECONNABORTED", "ECONNABORTED"},
    {win::WSAECONNRESET, "the connection was reset by the peer", "WSAECONNRESET", "ECONNRESET"},
    {win::WSAENOBUFS, "no buffer space", "WSAENOBUFS", "ENOBUFS"},
    {win::WSAENOTCONN, "the socket is not connected", "WSAENOTCONN", "ENOTCONN"},
    {win::WSAETIMEDOUT, "the connection timed out", "WSAETIMEDOUT", "ETIMEDOUT"},
    {win::WSAECONNREFUSED, "connection refused: is scanmon-serve running there?", "WSAECONNREFUSED",
     "ECONNREFUSED"},
    {win::WSAEHOSTUNREACH, "the host is unreachable", "WSAEHOSTUNREACH", "EHOSTUNREACH"},
    {win::WSAHOST_NOT_FOUND, "the name is not known", "WSAHOST_NOT_FOUND", "EAI_NONAME"},
    {win::WSATRY_AGAIN, "the name could not be resolved now; try again", "WSATRY_AGAIN",
     "EAI_AGAIN"},
    {win::WSANO_RECOVERY, "the name could not be resolved", "WSANO_RECOVERY", "EAI_FAIL"},
};

thread_local char t_text[160];

}  // namespace

const char* SocketErrorText(int code) {
  for (const SocketError& e : kSocketErrors) {
    if (e.code == code) {
      std::snprintf(t_text, sizeof t_text, "%s (%s)", e.words,
                    kSocketErrorsNamedAsWinsock ? e.winsock_name : e.posix_name);
      return t_text;
    }
  }
  std::snprintf(t_text, sizeof t_text, "socket error %d", code);
  return t_text;
}

}  // namespace platform
