// tests/unit/LoopbackSockets.h: listening and connected TCP sockets on 127.0.0.1
// for the connection tests, built from the platform's socket calls only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace loopback {

constexpr std::uint32_t kLoopbackHost = 0x7F000001u;  // 127.0.0.1

// Winsock must be started before the first socket (a no-op on POSIX); once
// per process is enough, since the tests never clean it up.
inline void Started() {
  static const int started = SockStartup(kWinsockVersion);
  (void)started;
}

inline SockAddrIn Address(int port, std::uint32_t host = kLoopbackHost) {
  return {AF_INET_CODE, HostToNet16(static_cast<std::uint16_t>(port)), HostToNet32(host)};
}

// A socket listening on a port of the system's choice on `host` (127.0.0.1
// unless told); sets `port`. INVALID_SOCKET on failure.
inline SOCKET Listen(int& port, std::uint32_t host = kLoopbackHost) {
  Started();
  SOCKET s = SockCreate(AF_INET_CODE, 0);
  SockAddrIn local{};
  if (s != INVALID_SOCKET && SockBind(s, Address(0, host)) == 0 && SockListen(s, 16) == 0 &&
      SockGetLocalAddress(s, local) == 0) {
    port = NetToHost16(local.port);
    return s;
  }
  if (s != INVALID_SOCKET) SockClose(s);
  return INVALID_SOCKET;
}

inline SOCKET Connect(int port) {
  Started();
  SOCKET s = SockCreate(AF_INET_CODE, 0);
  if (s != INVALID_SOCKET && SockConnect(s, Address(port)) != 0) {
    SockClose(s);
    return INVALID_SOCKET;
  }
  return s;
}

inline bool SendAll(SOCKET s, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const int n = SockSend(s, bytes.data() + done, static_cast<int>(bytes.size() - done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// What the peer sends until it closes, a receive fails or `limit` bytes have come.
inline std::string Receive(SOCKET s, std::size_t limit = 1 << 20) {
  std::string out;
  char buffer[4096];
  for (int n; out.size() < limit; out.append(buffer, static_cast<std::size_t>(n)))
    if ((n = SockRecv(s, buffer, static_cast<int>(std::min(sizeof buffer, limit - out.size())))) <= 0) break;
  return out;
}

}  // namespace loopback
