// Winsock's error codes in words, the same text on every platform.
#include "platform/socket.h"

namespace platform {

const char* SocketErrorText(int code) {
  switch (code) {
    case win::WSAEINTR:
      return "the call was interrupted (WSAEINTR)";
    case win::WSAEACCES:
      return "permission denied (WSAEACCES)";
    case win::WSAEINVAL:
      return "invalid argument (WSAEINVAL)";
    case win::WSAEMFILE:
      return "too many open sockets (WSAEMFILE)";
    case win::WSAEWOULDBLOCK:
      return "the call would block (WSAEWOULDBLOCK)";
    case win::WSAEINPROGRESS:
      return "the call is in progress (WSAEINPROGRESS)";
    case win::WSAEADDRINUSE:
      return "the address is already in use (WSAEADDRINUSE)";
    case win::WSAEADDRNOTAVAIL:
      return "the address is not available on this machine (WSAEADDRNOTAVAIL)";
    case win::WSAENETUNREACH:
      return "the network is unreachable (WSAENETUNREACH)";
    case win::WSAECONNABORTED:
      return "the connection was aborted (WSAECONNABORTED)";
    case win::WSAECONNRESET:
      return "the connection was reset by the peer (WSAECONNRESET)";
    case win::WSAENOBUFS:
      return "no buffer space (WSAENOBUFS)";
    case win::WSAENOTCONN:
      return "the socket is not connected (WSAENOTCONN)";
    case win::WSAETIMEDOUT:
      return "the connection timed out (WSAETIMEDOUT)";
    case win::WSAECONNREFUSED:
      return "connection refused: is scanmon-serve running there? (WSAECONNREFUSED)";
    case win::WSAEHOSTUNREACH:
      return "the host is unreachable (WSAEHOSTUNREACH)";
    default:
      return "socket error";
  }
}

}  // namespace platform
