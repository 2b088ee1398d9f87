// net/C_WSTHREAD.cpp: line reads and sends of an accepted connection.
//
// Threading: see C_WSTHREAD.h; everything but Cancel runs on the connection's
// own thread.
#include "net/C_WSTHREAD.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "log/DebugLog.h"

namespace {
constexpr int kBaseLineSize = 100;
constexpr int kRefuseReceiveSize = 255;
constexpr int kDrainChunk = 50;
constexpr int kTlsGoodbyeMs = 1000;
}  // namespace

// A TLS peer is told goodbye (close_notify) before the listener closes the
// socket; a peer that does not read holds that up for a second at most.
C_WSTHREAD::~C_WSTHREAD() {
  if (m_Tls && m_Socket != INVALID_SOCKET) {
    SockSetSendTimeout(m_Socket, kTlsGoodbyeMs);
    m_Tls->Shutdown();
  }
}

int C_WSTHREAD::Run() {
  char line[kBaseLineSize + 1];
  if (ReadLine(line, kBaseLineSize) > 0) {
    DrainInput();
    SendText("Connect Successful ... Now Disconnecting.");
  }
  return 0;
}

int C_WSTHREAD::Refuse() {
  char buffer[kRefuseReceiveSize];
  if (Receive(buffer, kRefuseReceiveSize) > 0) SendText("Too Many Connections, Please Try Later.");
  return 0;
}

int C_WSTHREAD::Idle() { return 0; }

int C_WSTHREAD::Send(const char* buffer, int length) {
  if (length < 1) length = static_cast<int>(std::strlen(buffer));
  if (!WaitAllowed(true)) return SOCKET_ERROR;
  const int sent = SendAll(buffer, length);
  if (sent == SOCKET_ERROR) NoteFailure(true);
  return sent;
}

int C_WSTHREAD::SendText(const char* text) { return Send(text, -1); }

int C_WSTHREAD::FillReadBuffer() {
  if (!m_ReadBuffer) {
    m_ReadBuffer.reset(new (std::nothrow) char[kReadBufferSize]);
    if (!m_ReadBuffer) {
      PlatformSetLastError(ERROR_NOT_ENOUGH_MEMORY);
      LogLastError();
      return SOCKET_ERROR;
    }
  }
  m_ReadStart = 0;
  m_ReadEnd = 0;
  if (!WaitAllowed(false)) return SOCKET_ERROR;
  const int received = ReceiveSome(m_ReadBuffer.get(), kReadBufferSize);
  if (received == SOCKET_ERROR) NoteFailure(false);
  if (received > 0) m_ReadEnd = static_cast<std::size_t>(received);
  return received;
}

int C_WSTHREAD::Receive(char* buffer, int size) {
  if (size < 1) return 0;
  if (m_ReadStart < m_ReadEnd) {
    const std::size_t n = std::min(m_ReadEnd - m_ReadStart, static_cast<std::size_t>(size));
    std::memcpy(buffer, m_ReadBuffer.get() + m_ReadStart, n);
    m_ReadStart += n;
    return static_cast<int>(n);
  }
  if (!WaitAllowed(false)) return SOCKET_ERROR;
  const int received = ReceiveSome(buffer, size);
  if (received == SOCKET_ERROR) NoteFailure(false);
  return received;
}

int C_WSTHREAD::ReceiveSome(char* buffer, int size) {
  if (m_TlsBroken) return 0;
  return m_Tls ? m_Tls->Receive(buffer, size) : SockRecv(m_Socket, buffer, size);
}

int C_WSTHREAD::SendAll(const char* buffer, int length) {
  if (m_TlsBroken) {
    PlatformSetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  return m_Tls ? m_Tls->Send(buffer, length) : SockSend(m_Socket, buffer, length);
}

bool C_WSTHREAD::StartTls(CTlsContext& context, int milliseconds, std::string& error, std::size_t& discarded) {
  // Plaintext that came with or after the command is not the client's to
  // have run: it is dropped, not kept for after the handshake.
  discarded = m_ReadEnd - m_ReadStart;
  m_ReadStart = m_ReadEnd = 0;
  int allowed = milliseconds;
  if (m_HasDeadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(m_Deadline - std::chrono::steady_clock::now()).count();
    if (left < allowed) allowed = static_cast<int>(std::max<long long>(left, 0));
  }
  m_TlsBroken = true;  // until the handshake is done
  if (allowed <= 0) {
    m_DeadlinePassed = true;
    error = "the session's time limit passed before the handshake";
    return false;
  }
  // A handshake flight is several records, each its own send: held back for
  // the client's delayed acknowledgement (Nagle), each costs some 40 ms.
  SockSetNoDelay(m_Socket, true);
  std::unique_ptr<CTlsChannel> channel = CTlsChannel::Make(context, m_Socket, true);
  if (!channel) {
    error = "no TLS session could be made";
    return false;
  }
  if (!channel->Handshake(allowed, error)) {
    if (allowed < milliseconds) m_DeadlinePassed = true;
    return false;
  }
  m_Tls = std::move(channel);
  m_TlsBroken = false;
  return true;
}

int C_WSTHREAD::ReadUpToLineFeed(char* buffer, int size, bool& lineFeed) {
  int count = 0;
  lineFeed = false;
  for (;;) {
    if (m_ReadStart == m_ReadEnd && FillReadBuffer() < 1) return -1;
    if (m_Cancelled.load(std::memory_order_relaxed) != 0) {
      m_ReadStart++;  // the byte that a byte-wise read would have taken
      return -1;
    }
    const char* from = m_ReadBuffer.get() + m_ReadStart;
    const std::size_t room = static_cast<std::size_t>(size - count);
    const std::size_t available = std::min(m_ReadEnd - m_ReadStart, room);
    const char* found = static_cast<const char*>(std::memchr(from, '\n', available));
    const std::size_t take = found ? static_cast<std::size_t>(found - from) + 1 : available;
    std::memcpy(buffer + count, from, take);
    m_ReadStart += take;
    count += static_cast<int>(take);
    lineFeed = found != nullptr;
    if (lineFeed || count == size) return count;
  }
}

int C_WSTHREAD::ReadLine(char* buffer, int size) {
  if (size < 1) {
    buffer[0] = '\0';
    return 0;
  }
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  bool lineFeed = false;
  const int count = ReadUpToLineFeed(buffer, size, lineFeed);
  if (count < 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (!lineFeed) {
    buffer[count] = '\0';
    return count;
  }
  int length = count - 1;  // without the LF
  if (length > 0 && buffer[length - 1] == '\r') length--;
  buffer[length] = '\0';
  buffer[count - 1] = '\0';
  return length;
}

int C_WSTHREAD::ReadDataLine(char* buffer, int size) {
  if (size < 1) {
    buffer[0] = '\0';
    return 0;
  }
  bool lineFeed = false;
  const int count = ReadUpToLineFeed(buffer, size, lineFeed);
  buffer[count < 0 ? 0 : count] = '\0';
  return count < 0 ? 0 : count;
}

int C_WSTHREAD::SkipLine() {
  for (;;) {
    if (m_ReadStart == m_ReadEnd && FillReadBuffer() < 1) return 0;
    if (m_Cancelled.load(std::memory_order_relaxed) != 0) {
      m_ReadStart++;
      return 0;
    }
    const char* from = m_ReadBuffer.get() + m_ReadStart;
    const std::size_t available = m_ReadEnd - m_ReadStart;
    const char* lineFeed = static_cast<const char*>(std::memchr(from, '\n', available));
    if (lineFeed != nullptr) {
      m_ReadStart += static_cast<std::size_t>(lineFeed - from) + 1;
      return 1;
    }
    m_ReadStart = m_ReadEnd;
  }
}

int C_WSTHREAD::SetReceiveTimeout(int milliseconds) {
  m_ReceiveTimeoutMs = m_AppliedReceiveMs = milliseconds;
  return SockSetReceiveTimeout(m_Socket, milliseconds);
}

int C_WSTHREAD::SetSendTimeout(int milliseconds) {
  m_SendTimeoutMs = m_AppliedSendMs = milliseconds;
  return SockSetSendTimeout(m_Socket, milliseconds);
}

void C_WSTHREAD::SetDeadline(std::chrono::steady_clock::time_point deadline) {
  m_HasDeadline = true;
  m_DeadlinePassed = false;
  m_Deadline = deadline;
}

void C_WSTHREAD::ClearDeadline() { m_HasDeadline = false; }

bool C_WSTHREAD::WaitAllowed(bool send) {
  const int configured = send ? m_SendTimeoutMs : m_ReceiveTimeoutMs;
  int wanted = configured;
  if (m_HasDeadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(m_Deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      m_DeadlinePassed = true;
      PlatformSetLastError(WSAETIMEDOUT);
      LogLastError();
      return false;
    }
    if (configured <= 0 || left.count() < configured) wanted = static_cast<int>(left.count());
  }
  // The socket's time-out is touched only when the wait it allows changes:
  // near the deadline, or when the deadline moved or went.
  int& applied = send ? m_AppliedSendMs : m_AppliedReceiveMs;
  if (wanted != applied) {
    if (send) {
      SockSetSendTimeout(m_Socket, wanted);
    } else {
      SockSetReceiveTimeout(m_Socket, wanted);
    }
    applied = wanted;
  }
  return true;
}

void C_WSTHREAD::NoteFailure(bool send) {
  // A time-out cut short to the deadline is the deadline's.
  const int configured = send ? m_SendTimeoutMs : m_ReceiveTimeoutMs;
  const int applied = send ? m_AppliedSendMs : m_AppliedReceiveMs;
  if (m_HasDeadline && applied != configured && PlatformGetLastError() == static_cast<DWORD>(WSAETIMEDOUT))
    m_DeadlinePassed = true;
  LogLastError();
}

bool C_WSTHREAD::DataWaiting() {
  if (m_ReadStart < m_ReadEnd) return true;
  if (m_Tls && m_Tls->Pending()) return true;
  char peek = 0;
  SockSetNonBlocking(m_Socket, true);
  const int received = SockRecv(m_Socket, &peek, 1, true);
  SockSetNonBlocking(m_Socket, false);
  return received > 0;
}

int C_WSTHREAD::DrainInput() {
  if (!DataWaiting()) return 0;
  char discard[kDrainChunk];
  while (Receive(discard, kDrainChunk) >= 1 && DataWaiting()) {
  }
  return 0;
}

// Sockets here have no blocking call to cancel from outside (Winsock 1.1's
// WSACancelBlockingCall has no counterpart): shutting down the receiving side
// ends a read already waiting (on both platforms), and later reads see the flag.
int C_WSTHREAD::Cancel() {
  m_Cancelled.store(1, std::memory_order_relaxed);
  // The socket stays open for the listener's teardown; only its reading ends.
  if (m_Socket != INVALID_SOCKET) SockShutdown(m_Socket, SocketShutdown::kReceive);
  return 0;
}

void C_WSTHREAD::StopRequested(bool) { Cancel(); }
