// platform/Socket.h: the TCP sockets of the connection classes (Winsock 1.1
// shape over BSD sockets).
//
// Every call that fails returns SOCKET_ERROR (-1) or INVALID_SOCKET and leaves
// the Winsock code as the thread's last error (WinCodes.h), as WSAGetLastError
// would. Sends never raise SIGPIPE. Thread-safe.
#pragma once

#include <cstdint>

#include "platform/WinCodes.h"

// SOCKET is the system's type: Winsock's UINT_PTR on Windows (declared the
// same way as <winsock2.h> does), a descriptor elsewhere. Once <winsock2.h> is
// in, INVALID_SOCKET and SOCKET_ERROR are its macros (same values), so either
// header may come first.
#if defined(_WIN32)
using SOCKET = std::uintptr_t;
#else
using SOCKET = std::intptr_t;
#endif
#if !defined(INVALID_SOCKET)
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;
#endif

constexpr int AF_INET_CODE = 2;                     // AF_INET
constexpr std::uint32_t kInAddrAny = 0;             // INADDR_ANY
constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;  // INADDR_NONE

enum class SocketShutdown { kReceive, kSend, kBoth };  // SD_RECEIVE, SD_SEND, SD_BOTH

// The 16-byte IPv4 socket address in the layout of sockaddr_in on Windows:
// family, port (network order), address (network order), 8 zero bytes.
struct SockAddrIn {
  std::uint16_t family = 0;
  std::uint16_t port = 0;  // network byte order
  std::uint32_t addr = 0;  // network byte order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

std::uint16_t HostToNet16(std::uint16_t v);
std::uint32_t HostToNet32(std::uint32_t v);
std::uint16_t NetToHost16(std::uint16_t v);
std::uint32_t NetToHost32(std::uint32_t v);
// inet_addr: dotted IPv4 text to network order; kInAddrNone when not valid.
std::uint32_t InetAddr(const char* text);

// gethostbyname: the first IPv4 address of `name` (a host name or a dotted
// address) into *addr, network order. 0 on success; SOCKET_ERROR with
// WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA as the last
// error. Blocks for as long as the system's resolver takes.
int SockLookupHost(const char* name, std::uint32_t* addr);

// The Winsock version the gateway asks for: 2.2, which has getaddrinfo and
// the rest of what the backends use (1.1 would lack them).
constexpr std::uint16_t kWinsockVersion = 0x0202;
// WSAStartup / WSACleanup. Return 0 on success; a system that cannot give
// `version` fails (WSAVERNOTSUPPORTED).
int SockStartup(std::uint16_t version);
int SockCleanup();

SOCKET SockCreate(int family, int protocol);  // stream socket
int SockBind(SOCKET s, const SockAddrIn& addr);
int SockListen(SOCKET s, int backlog);
// accept; `peer`/`peerLen` may be null. The address length is 16 on success.
// A shutdown of the listening socket ends a waiting accept, which fails.
SOCKET SockAccept(SOCKET s, SockAddrIn* peer, int* peerLen);
int SockConnect(SOCKET s, const SockAddrIn& addr);
int SockSend(SOCKET s, const void* buffer, int length);
// recv; `peek` is MSG_PEEK. 0 when the peer closed; SOCKET_ERROR with
// WSAETIMEDOUT when the receive time-out passed.
int SockRecv(SOCKET s, void* buffer, int length, bool peek = false);
// shutdown. Once the receiving side is shut, a receive on the socket, one
// already waiting in another thread too, returns 0 at once; so does an accept
// on a listening socket, which fails.
int SockShutdown(SOCKET s, SocketShutdown how);
// closesocket. Closing a listening socket wakes a thread blocked in its
// accept (which then fails), as on Windows.
int SockClose(SOCKET s);
int SockSetReceiveTimeout(SOCKET s, int milliseconds);  // SO_RCVTIMEO
int SockSetSendTimeout(SOCKET s, int milliseconds);     // SO_SNDTIMEO
int SockSetLinger(SOCKET s, bool on, int seconds);      // SO_LINGER
int SockSetNoDelay(SOCKET s, bool on);                  // TCP_NODELAY: small sends go out at once
int SockSetNonBlocking(SOCKET s, bool on);              // ioctlsocket FIONBIO
// getsockname: the local address and port (network order) of a bound socket,
// e.g. the port the system chose for a bind to port 0.
int SockGetLocalAddress(SOCKET s, SockAddrIn& out);
// Waits up to `milliseconds` for the socket to become readable: 1 readable,
// 0 time-out, SOCKET_ERROR on failure.
int SockWaitReadable(SOCKET s, int milliseconds);
