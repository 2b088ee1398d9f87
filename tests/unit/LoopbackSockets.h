// tests/unit/LoopbackSockets.h: connected TCP socket pairs on 127.0.0.1 for
// the connection tests, built from the platform's socket calls only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace loopback {

constexpr std::uint32_t kLoopbackHost = 0x7F000001u;  // 127.0.0.1

inline SockAddrIn Address(int port) {
  SockAddrIn address{};
  address.family = AF_INET_CODE;
  address.port = HostToNet16(static_cast<std::uint16_t>(port));
  address.addr = HostToNet32(kLoopbackHost);
  return address;
}

// A port that nothing listens on at this moment: the system's choice for a
// bind to port 0, released again.
inline int FreePort() {
  SOCKET probe = SockCreate(AF_INET_CODE, 0);
  if (probe == INVALID_SOCKET) return -1;
  SockAddrIn local{};
  const bool ok = SockBind(probe, Address(0)) == 0 && SockGetLocalAddress(probe, local) == 0;
  SockClose(probe);
  return ok ? NetToHost16(local.port) : -1;
}

// A listening socket on 127.0.0.1; sets `port`. INVALID_SOCKET on failure.
inline SOCKET Listen(int& port) {
  SOCKET s = SockCreate(AF_INET_CODE, 0);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  SockAddrIn local{};
  if (SockBind(s, Address(0)) == 0 && SockListen(s, 16) == 0 && SockGetLocalAddress(s, local) == 0) {
    port = NetToHost16(local.port);
    return s;
  }
  SockClose(s);
  return INVALID_SOCKET;
}

inline SOCKET Connect(int port) {
  SOCKET s = SockCreate(AF_INET_CODE, 0);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  if (SockConnect(s, Address(port)) != 0) {
    SockClose(s);
    return INVALID_SOCKET;
  }
  return s;
}

// Two connected ends: `server` as accept returned it, `client` the connecting end.
struct Pair {
  SOCKET server = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  bool Open() {
    int port = 0;
    SOCKET listener = Listen(port);
    if (listener == INVALID_SOCKET) return false;
    client = Connect(port);
    if (client != INVALID_SOCKET) server = SockAccept(listener, nullptr, nullptr);
    SockClose(listener);
    return server != INVALID_SOCKET && client != INVALID_SOCKET;
  }
  void CloseClient() {
    if (client != INVALID_SOCKET) SockClose(client);
    client = INVALID_SOCKET;
  }
  ~Pair() {
    if (server != INVALID_SOCKET) SockClose(server);
    CloseClient();
  }
};

inline bool SendAll(SOCKET s, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
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
  while (out.size() < limit) {
    const int n = SockRecv(s, buffer, static_cast<int>(std::min(sizeof buffer, limit - out.size())));
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace loopback
