// The platform's sockets on the loopback, through the Windows names: a
// listener on a free port, a connection, non-blocking reads, WSAPoll, a
// refused connection and a vanished peer. The same test runs on Linux and
// under Wine.
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "stream/net.h"

namespace {

struct Pair {
  win::SOCKET listener = win::INVALID_SOCKET;
  win::SOCKET client = win::INVALID_SOCKET;
  win::SOCKET server = win::INVALID_SOCKET;
  std::uint16_t port = 0;
  ~Pair() {
    for (win::SOCKET s : {listener, client, server}) {
      if (s != win::INVALID_SOCKET) win::closesocket(s);
    }
  }
};

void Listen(Pair* p) {
  ASSERT_TRUE(stream::StartSockets());
  p->listener = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
  ASSERT_NE(p->listener, win::INVALID_SOCKET);
  win::sockaddr_in at = stream::MakeAddress(win::INADDR_LOOPBACK, 0);
  ASSERT_EQ(win::bind(p->listener, reinterpret_cast<const win::sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(win::listen(p->listener, 4), 0);
  int length = sizeof at;
  ASSERT_EQ(win::getsockname(p->listener, reinterpret_cast<win::sockaddr*>(&at), &length), 0);
  p->port = win::ntohs(at.sin_port);
  ASSERT_NE(p->port, 0);
}

TEST(PlatformSockets, LoopbackConnectionCarriesBytesBothWays) {
  Pair p;
  Listen(&p);
  int error = 0;
  p.client = stream::ConnectWithin(win::INADDR_LOOPBACK, p.port, 5000, &error);
  ASSERT_NE(p.client, win::INVALID_SOCKET) << platform::SocketErrorText(error);
  p.server = win::accept(p.listener, nullptr, nullptr);
  ASSERT_NE(p.server, win::INVALID_SOCKET);
  ASSERT_TRUE(stream::SetNonBlocking(p.server));

  char byte = 0;
  EXPECT_EQ(win::recv(p.server, &byte, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  win::WSAPOLLFD fd{p.server, win::POLLIN, 0};
  EXPECT_EQ(win::WSAPoll(&fd, 1, 0), 0);

  const std::uint8_t message[] = "scanmon";
  ASSERT_TRUE(stream::SendAllWithin(p.client, message, sizeof message, 5000, &error));
  fd.revents = 0;
  ASSERT_EQ(win::WSAPoll(&fd, 1, 5000), 1);
  EXPECT_NE(fd.revents & win::POLLIN, 0);
  char got[sizeof message] = {};
  std::size_t have = 0;
  while (have < sizeof message) {
    const int n = win::recv(p.server, got + have, static_cast<int>(sizeof message - have), 0);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
    } else {
      win::WSAPOLLFD again{p.server, win::POLLIN, 0};
      ASSERT_EQ(win::WSAPoll(&again, 1, 5000), 1);
    }
  }
  EXPECT_EQ(std::memcmp(got, message, sizeof message), 0);

  // The client leaves: the server reads 0 bytes, and a send to it fails
  // sooner or later with an error, never a signal.
  win::closesocket(p.client);
  p.client = win::INVALID_SOCKET;
  win::WSAPOLLFD gone{p.server, win::POLLIN, 0};
  ASSERT_EQ(win::WSAPoll(&gone, 1, 5000), 1);
  EXPECT_EQ(win::recv(p.server, &byte, 1, 0), 0);
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    failed = win::send(p.server, "x", 1, 0) == win::SOCKET_ERROR;
    if (!failed) {
      win::WSAPOLLFD wait{p.server, win::POLLIN, 0};
      win::WSAPoll(&wait, 1, 10);
    }
  }
  EXPECT_TRUE(failed);
}

TEST(PlatformSockets, ConnectingToAClosedPortIsRefused) {
  Pair p;
  Listen(&p);
  const std::uint16_t port = p.port;
  win::closesocket(p.listener);
  p.listener = win::INVALID_SOCKET;
  int error = 0;
  p.client = stream::ConnectWithin(win::INADDR_LOOPBACK, port, 5000, &error);
  EXPECT_EQ(p.client, win::INVALID_SOCKET);
  EXPECT_EQ(error, win::WSAECONNREFUSED) << platform::SocketErrorText(error);
  // Named as the system names it (Linux messages ended in Winsock's names).
  const std::string text = platform::SocketErrorText(error);
  EXPECT_NE(
      text.find(platform::kSocketErrorsNamedAsWinsock ? "(WSAECONNREFUSED)" : "(ECONNREFUSED)"),
      std::string::npos)
      << text;
}

TEST(PlatformSockets, AddressesAsText) {
  struct Case {
    std::uint8_t bytes[16];
    const char* text;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "[::1]:7464"},
      {{0}, "[::]:7464"},
      {{0x20, 1, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "[2001:db8:0:1::1]:7464"},
  };
  for (const Case& c : cases) {
    win::sockaddr_in6 in{};
    in.sin6_family = static_cast<std::uint16_t>(win::AF_INET6);
    in.sin6_port = win::htons(7464);
    std::memcpy(in.sin6_addr.s6_bytes, c.bytes, 16);
    char text[64];
    stream::FormatAddress(reinterpret_cast<const win::sockaddr*>(&in), text, sizeof text);
    EXPECT_STREQ(text, c.text);
  }
  win::sockaddr_in in = stream::MakeAddress(win::INADDR_LOOPBACK, 80);
  char text[64];
  stream::FormatAddress(reinterpret_cast<const win::sockaddr*>(&in), text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1:80");
}

}  // namespace
