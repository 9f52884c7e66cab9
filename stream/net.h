// Small portable helpers on the platform's sockets (platform/socket.h) that
// the server and the remote source share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace stream {

// WSAStartup once per process (later calls do nothing); false when it failed.
bool StartSockets();

// Non-blocking mode on; false on failure.
bool SetNonBlocking(win::SOCKET s);

// An IPv4 address (host order) and port as Winsock's sockaddr_in.
win::sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port);

// An IPv4 or IPv6 address with its port as text: "127.0.0.1:7464",
// "[::1]:7464" (IPv6 in its short form, the longest run of zero groups as
// "::"). "?" for another family.
void FormatAddress(const win::sockaddr* address, char* out, std::size_t size);

// Connects within timeout_ms; the socket returned is non-blocking with
// TCP_NODELAY set. INVALID_SOCKET on failure, *error the Winsock code
// (WSAETIMEDOUT when the time ran out).
win::SOCKET ConnectWithin(std::uint32_t address, std::uint16_t port, int timeout_ms, int* error);
// The same for an address of either family (sockaddr_in or sockaddr_in6).
win::SOCKET ConnectWithin(const win::sockaddr* address, int length, int timeout_ms, int* error);

// Connects to `host` (a dotted IPv4 address, an IPv6 address bare or in
// brackets, or a name) at `port`, trying each address the name has in the
// system's order, all within timeout_ms. *where names the address connected
// to ("[::1]:7464"), or on failure the host and port as given; *error as
// ConnectWithin's, or getaddrinfo's code when the name has no address.
win::SOCKET ConnectToHost(const char* host, std::uint16_t port, int timeout_ms, char* where,
                          std::size_t where_size, int* error);

// Sends all `bytes` on a non-blocking socket, waiting for room at most until
// timeout_ms has passed. false on failure or time-out (*error set).
bool SendAllWithin(win::SOCKET s, const std::uint8_t* data, std::size_t bytes, int timeout_ms,
                   int* error);

}  // namespace stream
