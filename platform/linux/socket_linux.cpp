// Winsock's socket calls made of the POSIX ones (see platform/socket.h).
//
// A SOCKET is the descriptor. The last socket error is kept per thread as
// Winsock does. The system's headers define many of Winsock's names as macros
// with other values, so the header's constants are taken under names of their
// own before the system's headers come in.
#include "platform/socket.h"

namespace {

using Socket = win::SOCKET;
constexpr Socket kInvalidSocket = win::INVALID_SOCKET;
constexpr int kSocketError = win::SOCKET_ERROR;
constexpr int kAfInet = win::AF_INET;
constexpr int kAfInet6 = win::AF_INET6;
constexpr int kAfUnspec = win::AF_UNSPEC;
constexpr int kSockStream = win::SOCK_STREAM;
constexpr int kIpProtoTcp = win::IPPROTO_TCP;
constexpr short kPollIn = win::POLLIN;
constexpr short kPollOut = win::POLLOUT;
constexpr short kPollRdNorm = win::POLLRDNORM;
constexpr short kPollWrNorm = win::POLLWRNORM;
constexpr short kPollErr = win::POLLERR;
constexpr short kPollHup = win::POLLHUP;
constexpr short kPollNval = win::POLLNVAL;
constexpr int kSolSocket = win::SOL_SOCKET;
constexpr int kSoReuseAddr = win::SO_REUSEADDR;
constexpr int kSoSndBuf = win::SO_SNDBUF;
constexpr int kSoRcvBuf = win::SO_RCVBUF;
constexpr int kTcpNoDelay = win::TCP_NODELAY;
constexpr long kFionbio = win::FIONBIO;
constexpr int kSdReceive = win::SD_RECEIVE;
constexpr int kSdSend = win::SD_SEND;

}  // namespace

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace win {

namespace {

thread_local int t_socket_error = 0;

int Fail() {
  int code;
  switch (errno) {
    case EINTR:
      code = WSAEINTR;
      break;
    case EACCES:
    case EPERM:
      code = WSAEACCES;
      break;
    case EMFILE:
    case ENFILE:
      code = WSAEMFILE;
      break;
    case EAGAIN:
      code = WSAEWOULDBLOCK;
      break;
    case EINPROGRESS:
      code = WSAEINPROGRESS;
      break;
    case EADDRINUSE:
      code = WSAEADDRINUSE;
      break;
    case EADDRNOTAVAIL:
      code = WSAEADDRNOTAVAIL;
      break;
    case ENETUNREACH:
      code = WSAENETUNREACH;
      break;
    case ECONNABORTED:
      code = WSAECONNABORTED;
      break;
    case ECONNRESET:
    case EPIPE:
      code = WSAECONNRESET;
      break;
    case ENOBUFS:
    case ENOMEM:
      code = WSAENOBUFS;
      break;
    case ENOTCONN:
      code = WSAENOTCONN;
      break;
    case ETIMEDOUT:
      code = WSAETIMEDOUT;
      break;
    case ECONNREFUSED:
      code = WSAECONNREFUSED;
      break;
    case EHOSTUNREACH:
      code = WSAEHOSTUNREACH;
      break;
    default:
      code = WSAEINVAL;
      break;
  }
  t_socket_error = code;
  return kSocketError;
}

int Fd(Socket s) {
  return static_cast<int>(s);
}

// The caller's Winsock-shaped address as the system's; its length, or 0
// when it is no IPv4 or IPv6 address.
socklen_t ToSystem(const sockaddr* address, int length, ::sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (address == nullptr || length < 2) return 0;
  std::uint16_t family = 0;
  std::memcpy(&family, address, sizeof family);
  if (family == kAfInet && length >= static_cast<int>(sizeof(win::sockaddr_in))) {
    win::sockaddr_in in;
    std::memcpy(&in, address, sizeof in);
    auto* system = reinterpret_cast<::sockaddr_in*>(out);
    system->sin_family = AF_INET;
    system->sin_port = in.sin_port;
    system->sin_addr.s_addr = in.sin_addr.s_addr;
    return sizeof(::sockaddr_in);
  }
  if (family == kAfInet6 && length >= static_cast<int>(sizeof(win::sockaddr_in6))) {
    win::sockaddr_in6 in;
    std::memcpy(&in, address, sizeof in);
    auto* system = reinterpret_cast<::sockaddr_in6*>(out);
    system->sin6_family = AF_INET6;
    system->sin6_port = in.sin6_port;
    system->sin6_flowinfo = in.sin6_flowinfo;
    std::memcpy(&system->sin6_addr, in.sin6_addr.s6_bytes, 16);
    system->sin6_scope_id = in.sin6_scope_id;
    return sizeof(::sockaddr_in6);
  }
  return 0;
}

// The system's address in Winsock's shape, when the caller's room takes it.
void FromSystem(const ::sockaddr* in, sockaddr* address, int* length) {
  if (address == nullptr || length == nullptr) return;
  if (in->sa_family == AF_INET && *length >= static_cast<int>(sizeof(win::sockaddr_in))) {
    const auto* system = reinterpret_cast<const ::sockaddr_in*>(in);
    win::sockaddr_in out{};
    out.sin_family = static_cast<std::uint16_t>(kAfInet);
    out.sin_port = system->sin_port;
    out.sin_addr.s_addr = system->sin_addr.s_addr;
    std::memcpy(address, &out, sizeof out);
    *length = sizeof out;
  } else if (in->sa_family == AF_INET6 && *length >= static_cast<int>(sizeof(win::sockaddr_in6))) {
    const auto* system = reinterpret_cast<const ::sockaddr_in6*>(in);
    win::sockaddr_in6 out{};
    out.sin6_family = static_cast<std::uint16_t>(kAfInet6);
    out.sin6_port = system->sin6_port;
    out.sin6_flowinfo = system->sin6_flowinfo;
    std::memcpy(out.sin6_addr.s6_bytes, &system->sin6_addr, 16);
    out.sin6_scope_id = system->sin6_scope_id;
    std::memcpy(address, &out, sizeof out);
    *length = sizeof out;
  }
}

// One entry of getaddrinfo's list with its address, freed together.
struct AddressEntry {
  addrinfo info;
  sockaddr_storage address;
};

}  // namespace

// The system's conversions, named from the global namespace: unqualified, an
// unoptimised build (where they are no macros) would call these very functions.
std::uint16_t(htons)(std::uint16_t value) {
  return ::htons(value);
}
std::uint32_t(htonl)(std::uint32_t value) {
  return ::htonl(value);
}
std::uint16_t(ntohs)(std::uint16_t value) {
  return ::ntohs(value);
}

int WSAStartup(WORD) {
  return 0;
}
int WSACleanup() {
  return 0;
}
int WSAGetLastError() {
  return t_socket_error;
}

Socket socket(int family, int type, int protocol) {
  if ((family != kAfInet && family != kAfInet6) || type != kSockStream) {
    t_socket_error = WSAEINVAL;
    return kInvalidSocket;
  }
  int fd = ::socket(family == kAfInet ? PF_INET : PF_INET6, ::SOCK_STREAM | SOCK_CLOEXEC,
                    protocol == kIpProtoTcp ? IPPROTO_TCP : 0);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return static_cast<Socket>(fd);
}

int closesocket(Socket s) {
  return ::close(Fd(s)) == 0 ? 0 : Fail();
}

int bind(Socket s, const sockaddr* address, int length) {
  ::sockaddr_storage in;
  const socklen_t size = ToSystem(address, length, &in);
  if (size == 0) {
    t_socket_error = WSAEINVAL;
    return kSocketError;
  }
  return ::bind(Fd(s), reinterpret_cast<const ::sockaddr*>(&in), size) == 0 ? 0 : Fail();
}

int listen(Socket s, int backlog) {
  if (backlog > 4096) backlog = 4096;
  return ::listen(Fd(s), backlog) == 0 ? 0 : Fail();
}

Socket accept(Socket s, sockaddr* address, int* length) {
  ::sockaddr_storage in{};
  socklen_t size = sizeof in;
  int fd = ::accept4(Fd(s), reinterpret_cast<::sockaddr*>(&in), &size, SOCK_CLOEXEC);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  FromSystem(reinterpret_cast<const ::sockaddr*>(&in), address, length);
  return static_cast<Socket>(fd);
}

int connect(Socket s, const sockaddr* address, int length) {
  ::sockaddr_storage in;
  const socklen_t size = ToSystem(address, length, &in);
  if (size == 0) {
    t_socket_error = WSAEINVAL;
    return kSocketError;
  }
  if (::connect(Fd(s), reinterpret_cast<const ::sockaddr*>(&in), size) == 0) return 0;
  // A non-blocking connect under way is WSAEWOULDBLOCK on Windows.
  if (errno == EINPROGRESS) {
    t_socket_error = WSAEWOULDBLOCK;
    return kSocketError;
  }
  return Fail();
}

int getsockname(Socket s, sockaddr* address, int* length) {
  ::sockaddr_storage in{};
  socklen_t size = sizeof in;
  if (::getsockname(Fd(s), reinterpret_cast<::sockaddr*>(&in), &size) != 0) return Fail();
  FromSystem(reinterpret_cast<const ::sockaddr*>(&in), address, length);
  return 0;
}

int getaddrinfo(const char* node, const char*, const addrinfo* hints, addrinfo** result) {
  if (result == nullptr) return WSAEINVAL;
  *result = nullptr;
  ::addrinfo system_hints{};
  const int family = hints != nullptr ? hints->ai_family : kAfUnspec;
  system_hints.ai_family = family == kAfInet ? AF_INET : family == kAfInet6 ? AF_INET6 : AF_UNSPEC;
  system_hints.ai_socktype =
      hints != nullptr && hints->ai_socktype == kSockStream ? SOCK_STREAM : 0;
  ::addrinfo* list = nullptr;
  const int status = ::getaddrinfo(node, nullptr, &system_hints, &list);
  if (status != 0) {
    switch (status) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
#endif
        return WSAHOST_NOT_FOUND;
      case EAI_AGAIN:
        return WSATRY_AGAIN;
      case EAI_MEMORY:
        return WSAENOBUFS;
      default:
        return WSANO_RECOVERY;
    }
  }
  addrinfo** tail = result;
  for (const ::addrinfo* at = list; at != nullptr; at = at->ai_next) {
    if (at->ai_family != AF_INET && at->ai_family != AF_INET6) continue;
    auto* entry = new (std::nothrow) AddressEntry{};
    if (entry == nullptr) {
      ::freeaddrinfo(list);
      freeaddrinfo(*result);
      *result = nullptr;
      return WSAENOBUFS;
    }
    int length = sizeof entry->address;
    FromSystem(at->ai_addr, reinterpret_cast<sockaddr*>(&entry->address), &length);
    entry->info.ai_family = at->ai_family == AF_INET ? kAfInet : kAfInet6;
    entry->info.ai_socktype = at->ai_socktype == SOCK_STREAM ? kSockStream : 0;
    entry->info.ai_protocol = at->ai_protocol == IPPROTO_TCP ? kIpProtoTcp : 0;
    entry->info.ai_addrlen = static_cast<std::size_t>(length);
    entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address);
    *tail = &entry->info;
    tail = &entry->info.ai_next;
  }
  ::freeaddrinfo(list);
  return *result != nullptr ? 0 : WSAHOST_NOT_FOUND;
}

void freeaddrinfo(addrinfo* list) {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    // info is the entry's first member: the entry starts where it does.
    delete reinterpret_cast<AddressEntry*>(list);
    list = next;
  }
}

int recv(Socket s, char* buffer, int length, int flags) {
  for (;;) {
    ssize_t n = ::recv(Fd(s), buffer, static_cast<std::size_t>(length), flags);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail();
  }
}

int send(Socket s, const char* buffer, int length, int flags) {
  for (;;) {
    ssize_t n = ::send(Fd(s), buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail();
  }
}

int shutdown(Socket s, int how) {
  const int system_how = how == kSdReceive ? SHUT_RD : how == kSdSend ? SHUT_WR : SHUT_RDWR;
  return ::shutdown(Fd(s), system_how) == 0 ? 0 : Fail();
}

int setsockopt(Socket s, int level, int name, const char* value, int length) {
  int system_level;
  int system_name;
  if (level == kSolSocket && name == kSoReuseAddr) {
    system_level = SOL_SOCKET;
    system_name = SO_REUSEADDR;
  } else if (level == kSolSocket && name == kSoSndBuf) {
    system_level = SOL_SOCKET;
    system_name = SO_SNDBUF;
  } else if (level == kSolSocket && name == kSoRcvBuf) {
    system_level = SOL_SOCKET;
    system_name = SO_RCVBUF;
  } else if (level == kIpProtoTcp && name == kTcpNoDelay) {
    system_level = IPPROTO_TCP;
    system_name = TCP_NODELAY;
  } else {
    t_socket_error = WSAEINVAL;
    return kSocketError;
  }
  return ::setsockopt(Fd(s), system_level, system_name, value, static_cast<socklen_t>(length)) == 0
             ? 0
             : Fail();
}

int ioctlsocket(Socket s, long command, unsigned long* argument) {
  if (command != kFionbio || argument == nullptr) {
    t_socket_error = WSAEINVAL;
    return kSocketError;
  }
  int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags < 0) return Fail();
  flags = *argument != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(Fd(s), F_SETFL, flags) == 0 ? 0 : Fail();
}

int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeout_ms) {
  constexpr unsigned long kMost = 1024;
  if (count > kMost) {
    t_socket_error = WSAEINVAL;
    return kSocketError;
  }
  ::pollfd system[kMost];
  for (unsigned long i = 0; i < count; ++i) {
    system[i].fd = fds[i].fd == kInvalidSocket ? -1 : Fd(fds[i].fd);
    system[i].events = static_cast<short>(((fds[i].events & kPollIn) != 0 ? POLLIN : 0) |
                                          ((fds[i].events & kPollOut) != 0 ? POLLOUT : 0));
    system[i].revents = 0;
  }
  int n = ::poll(system, count, timeout_ms < 0 ? -1 : timeout_ms);
  if (n < 0) {
    if (errno == EINTR) {
      for (unsigned long i = 0; i < count; ++i) fds[i].revents = 0;
      return 0;
    }
    return Fail();
  }
  for (unsigned long i = 0; i < count; ++i) {
    const short r = system[i].revents;
    fds[i].revents = static_cast<short>(
        ((r & POLLIN) != 0 ? kPollRdNorm : 0) | ((r & POLLOUT) != 0 ? kPollWrNorm : 0) |
        ((r & POLLERR) != 0 ? kPollErr : 0) | ((r & POLLHUP) != 0 ? kPollHup : 0) |
        ((r & POLLNVAL) != 0 ? kPollNval : 0));
  }
  return n;
}

}  // namespace win

namespace platform {

const bool kSocketErrorsNamedAsWinsock = false;

}  // namespace platform
