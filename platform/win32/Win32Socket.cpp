// platform/win32/Win32Socket.cpp: the socket calls over Winsock.
//
// Thin: Winsock already has the shape and the codes of Socket.h. What is
// added: sends continue until everything is handed over, a listening socket
// refuses to share its port (SO_EXCLUSIVEADDRUSE, so no other program can
// take connections meant for the gateway), and sockets are not inherited by
// child processes.
//
// A receive that runs out its SO_RCVTIMEO leaves a Winsock socket in an
// undefined state (under wine the abandoned read may still take the next bytes
// that arrive), yet the SMTP client goes on with the connection after such a
// wait. So a blocking receive first waits for data with select for the
// socket's receive time-out and only then calls recv: a time-out never cuts a
// recv short. Non-blocking sockets are remembered (Winsock cannot be asked),
// since they must not wait.
//
// Shutting down the receiving side does not wake a thread already waiting in
// select for that socket (under wine it waits on to its time-out), while the
// gateway's stop relies on that to end idle sessions at once. So sockets shut
// for receiving are remembered too, waits are made in short slices that look
// at that set, and a receive on such a socket ends as at the end of the
// connection (0), as on POSIX. Thread-safe: the sets are guarded by g_Mutex.
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/Socket.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
::SOCKET Native(SOCKET s) { return static_cast<::SOCKET>(s); }

std::mutex g_Mutex;
std::set<SOCKET>& NonBlocking() {               // guarded by g_Mutex
  static auto* sockets = new std::set<SOCKET>;  // never destroyed: sockets may close at exit
  return *sockets;
}

std::set<SOCKET>& ReceiveShut() {               // guarded by g_Mutex
  static auto* sockets = new std::set<SOCKET>;  // never destroyed, as above
  return *sockets;
}

// How long one select waits before looking whether the socket was shut.
constexpr int kWaitSliceMs = 50;

bool IsReceiveShut(SOCKET s) {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return ReceiveShut().count(s) != 0;
}

bool IsNonBlocking(SOCKET s) {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return NonBlocking().count(s) != 0;
}

// The socket's receive time-out in milliseconds (0: none).
DWORD ReceiveTimeout(SOCKET s) {
  DWORD value = 0;
  int size = sizeof value;
  if (::getsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&value), &size) != 0) return 0;
  return value;
}

int Fail() {
  TakeSocketError();
  return SOCKET_ERROR;
}

sockaddr_in ToSockaddr(const SockAddrIn& addr) {
  sockaddr_in sa{};
  sa.sin_family = static_cast<ADDRESS_FAMILY>(addr.family);
  sa.sin_port = addr.port;
  sa.sin_addr.s_addr = addr.addr;
  return sa;
}

void FromSockaddr(const sockaddr_in& sa, SockAddrIn& out) {
  out = SockAddrIn{};
  out.family = sa.sin_family;
  out.port = sa.sin_port;
  out.addr = sa.sin_addr.s_addr;
}

int SetTimeout(SOCKET s, int option, int milliseconds) {
  // Winsock takes milliseconds as a DWORD; 0 waits for ever.
  const DWORD value = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
  if (::setsockopt(Native(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) != 0)
    return Fail();
  return 0;
}
}  // namespace

std::uint16_t HostToNet16(std::uint16_t v) { return ::htons(v); }
std::uint32_t HostToNet32(std::uint32_t v) { return ::htonl(v); }
std::uint16_t NetToHost16(std::uint16_t v) { return ::ntohs(v); }
std::uint32_t NetToHost32(std::uint32_t v) { return ::ntohl(v); }

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return kInAddrNone;
  return ::inet_addr(text);
}

int SockLookupHost(const char* name, std::uint32_t* addr) {
  if (name == nullptr || addr == nullptr) {
    PlatformSetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  // Windows resolves an empty name to this host; it names no host, as on POSIX.
  if (*name == '\0') {
    PlatformSetLastError(WSAHOST_NOT_FOUND);
    return SOCKET_ERROR;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  // getaddrinfo's results are Winsock codes (WSAHOST_NOT_FOUND, WSATRY_AGAIN, ...).
  const int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    if (found != nullptr) ::freeaddrinfo(found);
    PlatformSetLastError(rc != 0 ? static_cast<DWORD>(rc) : static_cast<DWORD>(WSANO_DATA));
    return SOCKET_ERROR;
  }
  *addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return 0;
}

int SockStartup(std::uint16_t version) {
  WSADATA data;
  const int rc = ::WSAStartup(version, &data);
  if (rc != 0) {
    PlatformSetLastError(static_cast<DWORD>(rc));
    return rc;
  }
  // A Winsock older than the version asked for starts anyway, with its own.
  if (data.wVersion != version) {
    ::WSACleanup();
    PlatformSetLastError(WSAVERNOTSUPPORTED);
    return WSAVERNOTSUPPORTED;
  }
  return 0;
}

int SockCleanup() {
  if (::WSACleanup() != 0) return Fail();
  return 0;
}

SOCKET SockCreate(int family, int protocol) {
  const ::SOCKET s = ::socket(family, SOCK_STREAM, protocol);
  if (s == INVALID_SOCKET) {
    TakeSocketError();
    return INVALID_SOCKET;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

int SockBind(SOCKET s, const SockAddrIn& addr) {
  const BOOL on = TRUE;
  (void)::setsockopt(Native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                     sizeof on);
  const sockaddr_in sa = ToSockaddr(addr);
  if (::bind(Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int SockListen(SOCKET s, int backlog) {
  if (::listen(Native(s), backlog) != 0) return Fail();
  return 0;
}

SOCKET SockAccept(SOCKET s, SockAddrIn* peer, int* peerLen) {
  for (;;) {
    // Windows does not end a waiting accept when the socket is shut down; the
    // wait in slices does, as a shutdown ends one on POSIX. (A socket that is
    // not listening is left to accept, which refuses it at once.)
    BOOL listening = FALSE;
    int size = sizeof listening;
    if (!IsNonBlocking(s) &&
        ::getsockopt(Native(s), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &size) == 0 &&
        listening) {
      if (SockWaitReadable(s, -1) == SOCKET_ERROR) return INVALID_SOCKET;
      if (IsReceiveShut(s)) {
        PlatformSetLastError(WSAEINTR);
        return INVALID_SOCKET;
      }
    }
    sockaddr_in sa{};
    int len = sizeof sa;
    const ::SOCKET conn = ::accept(Native(s), reinterpret_cast<sockaddr*>(&sa), &len);
    if (conn != INVALID_SOCKET) {
      ::SetHandleInformation(reinterpret_cast<HANDLE>(conn), HANDLE_FLAG_INHERIT, 0);
      if (peer != nullptr) FromSockaddr(sa, *peer);
      if (peerLen != nullptr) *peerLen = static_cast<int>(sizeof(SockAddrIn));
      return conn;
    }
    // A client gone before its accept is not the listener's failure.
    if (::WSAGetLastError() == WSAECONNRESET) continue;
    TakeSocketError();
    return INVALID_SOCKET;
  }
}

int SockConnect(SOCKET s, const SockAddrIn& addr) {
  const sockaddr_in sa = ToSockaddr(addr);
  if (::connect(Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int SockSend(SOCKET s, const void* buffer, int length) {
  if (length < 0 || (buffer == nullptr && length > 0)) {
    PlatformSetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  const char* data = static_cast<const char*>(buffer);
  int done = 0;
  while (done < length) {
    const int n = ::send(Native(s), data + done, length - done, 0);
    if (n == SOCKET_ERROR) return Fail();
    done += n;
  }
  return done;
}

int SockRecv(SOCKET s, void* buffer, int length, bool peek) {
  if (length < 0 || (buffer == nullptr && length > 0)) {
    PlatformSetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  if (!IsNonBlocking(s)) {
    const DWORD timeout = ReceiveTimeout(s);
    const int ready = SockWaitReadable(s, timeout > 0 ? static_cast<int>(timeout) : -1);
    if (ready == SOCKET_ERROR) return SOCKET_ERROR;
    if (ready == 0) {
      PlatformSetLastError(WSAETIMEDOUT);
      return SOCKET_ERROR;
    }
    if (IsReceiveShut(s)) return 0;
  }
  const int n = ::recv(Native(s), static_cast<char*>(buffer), length, peek ? MSG_PEEK : 0);
  if (n == SOCKET_ERROR) return Fail();
  return n;
}

int SockShutdown(SOCKET s, SocketShutdown how) {
  const int mode = how == SocketShutdown::kReceive ? SD_RECEIVE
                   : how == SocketShutdown::kSend  ? SD_SEND
                                                   : SD_BOTH;
  // Marked even when Windows refuses the shutdown (it does for a listening
  // socket): the caller wants the waits on it to end all the same.
  if (how != SocketShutdown::kSend) {
    std::lock_guard<std::mutex> lock(g_Mutex);
    ReceiveShut().insert(s);
  }
  if (::shutdown(Native(s), mode) != 0) return Fail();
  return 0;
}

int SockClose(SOCKET s) {
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    NonBlocking().erase(s);
    ReceiveShut().erase(s);
  }
  if (::closesocket(Native(s)) != 0) return Fail();
  return 0;
}

int SockSetReceiveTimeout(SOCKET s, int milliseconds) { return SetTimeout(s, SO_RCVTIMEO, milliseconds); }
int SockSetSendTimeout(SOCKET s, int milliseconds) { return SetTimeout(s, SO_SNDTIMEO, milliseconds); }

int SockSetLinger(SOCKET s, bool on, int seconds) {
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = static_cast<u_short>(seconds < 0 ? 0 : seconds);
  if (::setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value) !=
      0)
    return Fail();
  return 0;
}

int SockSetNoDelay(SOCKET s, bool on) {
  const BOOL value = on ? TRUE : FALSE;
  if (::setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0)
    return Fail();
  return 0;
}

int SockSetNonBlocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  if (::ioctlsocket(Native(s), FIONBIO, &mode) != 0) return Fail();
  std::lock_guard<std::mutex> lock(g_Mutex);
  if (on)
    NonBlocking().insert(s);
  else
    NonBlocking().erase(s);
  return 0;
}

int SockGetLocalAddress(SOCKET s, SockAddrIn& out) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
  FromSockaddr(sa, out);
  return 0;
}

int SockWaitReadable(SOCKET s, int milliseconds) {
  // A negative time waits for ever, as on POSIX. A socket shut for receiving
  // is readable: its receive returns 0 at once.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
  for (;;) {
    if (IsReceiveShut(s)) return 1;
    int slice = kWaitSliceMs;
    if (milliseconds >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      slice = static_cast<int>(left < 0 ? 0 : left < kWaitSliceMs ? left : kWaitSliceMs);
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(s), &readable);
    timeval limit{};
    limit.tv_sec = 0;
    limit.tv_usec = slice * 1000;
    const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
    if (rc == SOCKET_ERROR) return Fail();
    if (rc > 0) return 1;
    if (milliseconds >= 0 && Clock::now() >= end) return 0;
  }
}
