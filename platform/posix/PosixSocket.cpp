// platform/posix/PosixSocket.cpp: the Winsock-shaped socket calls over BSD
// sockets.
//
// Failures leave the Winsock code as the thread's last error. A receive or
// send that runs out its SO_RCVTIMEO / SO_SNDTIMEO time comes back from Linux
// as EAGAIN; Winsock calls that WSAETIMEDOUT, and WSAEWOULDBLOCK only on a
// non-blocking socket, so the two are told apart by the socket's O_NONBLOCK.
// Sends use MSG_NOSIGNAL: a peer that went away is an error, never SIGPIPE.
// Thread-safe (no state of our own).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/Socket.h"
#include "platform/posix/PosixErrors.h"

namespace {
// The descriptor of a SOCKET, or -1 when the value cannot be one.
int Fd(SOCKET s) { return (s < 0 || s > INT_MAX) ? -1 : static_cast<int>(s); }

int Fail(int err) {
  PlatformSetLastError(SocketErrorCode(err));
  return SOCKET_ERROR;
}

int FailNotSocket() {
  PlatformSetLastError(WSAENOTSOCK);
  return SOCKET_ERROR;
}

// EAGAIN after a time-out on a blocking socket is Winsock's WSAETIMEDOUT.
int FailTransfer(int fd, int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
      PlatformSetLastError(WSAETIMEDOUT);
      return SOCKET_ERROR;
    }
  }
  return Fail(err);
}

sockaddr_in ToSockaddr(const SockAddrIn& addr) {
  sockaddr_in sa{};
  sa.sin_family = addr.family == AF_INET_CODE ? AF_INET : static_cast<sa_family_t>(addr.family);
  sa.sin_port = addr.port;
  sa.sin_addr.s_addr = addr.addr;
  return sa;
}

void FromSockaddr(const sockaddr_in& sa, SockAddrIn& out) {
  out = SockAddrIn{};
  out.family = sa.sin_family == AF_INET ? AF_INET_CODE : sa.sin_family;
  out.port = sa.sin_port;
  out.addr = sa.sin_addr.s_addr;
}

int SetTimeout(SOCKET s, int option, int milliseconds) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  timeval tv{};
  if (milliseconds > 0) {  // 0 (or less) waits for ever, as on Winsock
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
  }
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return Fail(errno);
  return 0;
}
}  // namespace

std::uint16_t HostToNet16(std::uint16_t v) { return htons(v); }
std::uint32_t HostToNet32(std::uint32_t v) { return htonl(v); }
std::uint16_t NetToHost16(std::uint16_t v) { return ntohs(v); }
std::uint32_t NetToHost32(std::uint32_t v) { return ntohl(v); }

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return kInAddrNone;
  return ::inet_addr(text);  // the same forms Winsock's inet_addr takes
}

int SockLookupHost(const char* name, std::uint32_t* addr) {
  if (name == nullptr || addr == nullptr) return Fail(EINVAL);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    long code = WSANO_RECOVERY;
    if (rc == EAI_NONAME) code = WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    if (rc == EAI_NODATA) code = WSANO_DATA;
#endif
    if (rc == EAI_ADDRFAMILY) code = WSANO_DATA;
    if (rc == EAI_AGAIN) code = WSATRY_AGAIN;
    if (rc == EAI_MEMORY) code = WSAENOBUFS;
    if (found != nullptr) ::freeaddrinfo(found);
    PlatformSetLastError(static_cast<DWORD>(code));
    return SOCKET_ERROR;
  }
  *addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return 0;
}

int SockStartup(std::uint16_t /*version*/) { return 0; }
int SockCleanup() { return 0; }

SOCKET SockCreate(int family, int protocol) {
  const int domain = family == AF_INET_CODE ? AF_INET : family;
  const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    Fail(errno);
    return INVALID_SOCKET;
  }
  return fd;
}

int SockBind(SOCKET s, const SockAddrIn& addr) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  // Lets a restarted server take its port while old connections sit in
  // TIME_WAIT; Linux still refuses a port that another socket listens on.
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in sa = ToSockaddr(addr);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail(errno);
  return 0;
}

int SockListen(SOCKET s, int backlog) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  if (::listen(fd, backlog) != 0) return Fail(errno);
  return 0;
}

SOCKET SockAccept(SOCKET s, SockAddrIn* peer, int* peerLen) {
  const int fd = Fd(s);
  if (fd < 0) {
    FailNotSocket();
    return INVALID_SOCKET;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int conn;
  do {
    conn = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (conn < 0 &&
           (errno == EINTR || errno == ECONNABORTED));  // a client gone before accept is not our failure
  if (conn < 0) {
    FailTransfer(fd, errno);
    return INVALID_SOCKET;
  }
  if (peer != nullptr) FromSockaddr(sa, *peer);
  if (peerLen != nullptr) *peerLen = static_cast<int>(sizeof(SockAddrIn));
  return conn;
}

int SockConnect(SOCKET s, const SockAddrIn& addr) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  const sockaddr_in sa = ToSockaddr(addr);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
  int err = errno;
  if (err == EINTR) {
    // The connection goes on in the background: wait for its outcome.
    pollfd pfd{fd, POLLOUT, 0};
    while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) return 0;
  }
  // A blocking connect cut short by SO_SNDTIMEO reports EINPROGRESS.
  if (err == EINPROGRESS) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) err = ETIMEDOUT;
  }
  return Fail(err);
}

int SockSend(SOCKET s, const void* buffer, int length) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(EINVAL);
  const char* data = static_cast<const char*>(buffer);
  int done = 0;
  // A blocking Winsock send hands over everything; short sends are continued.
  while (done < length) {
    const ssize_t n = ::send(fd, data + done, static_cast<std::size_t>(length - done), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A time-out part way through is a failed send, as on Windows: the
      // peer got only part of what was meant for it.
      return FailTransfer(fd, errno);
    }
    done += static_cast<int>(n);
  }
  return done;
}

int SockRecv(SOCKET s, void* buffer, int length, bool peek) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(EINVAL);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, static_cast<std::size_t>(length), peek ? MSG_PEEK : 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    return FailTransfer(fd, errno);
  }
}

int SockShutdown(SOCKET s, SocketShutdown how) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  const int mode = how == SocketShutdown::kReceive ? SHUT_RD
                   : how == SocketShutdown::kSend  ? SHUT_WR
                                                   : SHUT_RDWR;
  if (::shutdown(fd, mode) != 0) return Fail(errno);
  return 0;
}

int SockClose(SOCKET s) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  // Linux leaves a thread blocked in accept() asleep when its socket is
  // closed; Windows wakes it. Shutting a listening socket down first wakes it.
  int listening = 0;
  socklen_t len = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0)
    (void)::shutdown(fd, SHUT_RDWR);
  // Not retried on EINTR: the descriptor is released either way on Linux.
  if (::close(fd) != 0) {
    if (errno == EBADF) return FailNotSocket();
    if (errno != EINTR) return Fail(errno);
  }
  return 0;
}

int SockSetReceiveTimeout(SOCKET s, int milliseconds) { return SetTimeout(s, SO_RCVTIMEO, milliseconds); }
int SockSetSendTimeout(SOCKET s, int milliseconds) { return SetTimeout(s, SO_SNDTIMEO, milliseconds); }

int SockSetLinger(SOCKET s, bool on, int seconds) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds < 0 ? 0 : seconds;
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) return Fail(errno);
  return 0;
}

int SockSetNoDelay(SOCKET s, bool on) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  const int value = on ? 1 : 0;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) return Fail(errno);
  return 0;
}

int SockSetNonBlocking(SOCKET s, bool on) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return Fail(errno);
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return Fail(errno);
  return 0;
}

int SockGetLocalAddress(SOCKET s, SockAddrIn& out) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail(errno);
  FromSockaddr(sa, out);
  return 0;
}

int SockWaitReadable(SOCKET s, int milliseconds) {
  const int fd = Fd(s);
  if (fd < 0) return FailNotSocket();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
  for (;;) {
    int wait = -1;
    if (milliseconds >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int rc = ::poll(&pfd, 1, wait);
    if (rc > 0) {
      if ((pfd.revents & POLLNVAL) != 0) return FailNotSocket();
      return 1;  // data, end of stream or an error: the next recv tells which
    }
    if (rc == 0) return 0;
    if (errno != EINTR) return Fail(errno);
  }
}
