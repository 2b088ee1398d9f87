// net/C_WSClient.cpp: connect, byte-wise line reads and orderly close of an
// outgoing connection.
//
// Threading: see C_WSClient.h.
#include "net/C_WSClient.h"

#include <cstdio>
#include <cstring>

#include "log/DebugLog.h"

namespace {
constexpr int kDrainBufferSize = 512;
constexpr int kDrainChunk = 50;
constexpr int kLingerSeconds = 1;

void LogClose(const char* format, long long value, int line) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  DebugLogStr("C_WSClient::CloseConnection : ", text, CV_SRC, line);
}
}  // namespace

C_WSClient::C_WSClient() { m_SocketsStarted = SockStartup(kWinsockVersion) == 0; }

C_WSClient::~C_WSClient() {
  if (m_SocketsStarted) SockCleanup();
}

int C_WSClient::Connect(int port, const char* address) {
  m_Port = port;
  std::snprintf(m_Host, sizeof m_Host, "%s", address);
  m_RemoteAddress = SockAddrIn{};
  m_RemoteAddress.family = AF_INET_CODE;
  m_RemoteAddress.port = HostToNet16(static_cast<std::uint16_t>(port & 0xFFFF));
  m_RemoteAddress.addr = InetAddr(address);
  m_Tls.reset();

  m_Socket = SockCreate(AF_INET_CODE, 0);
  if (m_Socket == INVALID_SOCKET) {
    LogLastError();
    m_Socket = 0;
    return 1;
  }
  if (SockConnect(m_Socket, m_RemoteAddress) == SOCKET_ERROR) {
    LogLastError();
    SockClose(m_Socket);
    // Forget the closed descriptor: the number may be reused by another
    // thread's socket or file before a later CloseConnection.
    m_Socket = 0;
    return 2;
  }
  return 0;
}

int C_WSClient::CloseConnection() {
  int result = 0;
  DebugLog("C_WSClient::CloseConnection : Closing connection", CV_SRC, __LINE__);
  if (m_Socket == 0) {
    m_Tls.reset();
    return 0;
  }
  if (m_Tls) {
    m_Tls->Shutdown();
    m_Tls.reset();
  }
  try {
    if (SockShutdown(m_Socket, SocketShutdown::kBoth) == SOCKET_ERROR) {
      LogLastError();
      result = 1;
    } else {
      DebugLog("C_WSClient::CloseConnection : shutdown succeeded.", CV_SRC, __LINE__);
    }

    char drain[kDrainBufferSize];
    for (;;) {
      const int received = SockRecv(m_Socket, drain, kDrainBufferSize);
      if (received > 0) {
        LogClose("Bytes received: %lld", received, __LINE__);
        continue;
      }
      if (received == 0) {
        DebugLog("C_WSClient::CloseConnection : Connection closed", CV_SRC, __LINE__);
      } else {
        LogClose("recv failed: %lld", static_cast<long long>(PlatformGetLastError()), __LINE__);
      }
      break;
    }

    if (SockSetLinger(m_Socket, true, kLingerSeconds) == SOCKET_ERROR) {
      LogClose("setsockopt for SO_LINGER failed with error: %lld", static_cast<long long>(PlatformGetLastError()),
               __LINE__);
    } else {
      DebugLog("C_WSClient::CloseConnection : Set SO_LINGER ON", CV_SRC, __LINE__);
    }

    if (SockClose(m_Socket) == SOCKET_ERROR) {
      LogLastError();
      m_Socket = 0;
      return 2;
    }
    DebugLog("C_WSClient::CloseConnection : closesocket succeeded.", CV_SRC, __LINE__);
  } catch (...) {
    DebugLog("C_WSClient::CloseConnection : Connection closed (exception caught)", CV_SRC, __LINE__);
  }
  m_Socket = 0;
  return result;
}

int C_WSClient::Send(const char* buffer, int length) {
  if (length < 1) length = static_cast<int>(std::strlen(buffer));
  return m_Tls ? m_Tls->Send(buffer, length) : SockSend(m_Socket, buffer, length);
}

int C_WSClient::SendText(const char* text) { return Send(text, -1); }

int C_WSClient::Receive(char* buffer, int size) {
  return m_Tls ? m_Tls->Receive(buffer, size) : SockRecv(m_Socket, buffer, size);
}

bool C_WSClient::StartTls(CTlsContext& context, const std::string& hostName, int milliseconds, std::string& error) {
  std::unique_ptr<CTlsChannel> channel = CTlsChannel::Make(context, m_Socket, false, hostName);
  if (!channel) {
    error = "no TLS session could be made for this host";
    return false;
  }
  if (!channel->Handshake(milliseconds, error)) return false;
  m_Tls = std::move(channel);
  return true;
}

int C_WSClient::WaitReadable(int milliseconds) {
  if (m_Tls && m_Tls->Pending()) return 1;
  return SockWaitReadable(m_Socket, milliseconds);
}

int C_WSClient::ReadLine(char* buffer, int size) {
  if (size < 1) {
    buffer[0] = '\0';
    return 0;
  }
  int count = 0;
  for (;;) {
    if (Receive(buffer + count, 1) < 1) {
      buffer[0] = '\0';
      return 0;
    }
    if (buffer[count] == '\n') {
      const int length = count > 0 && buffer[count - 1] == '\r' ? count - 1 : count;
      buffer[length] = '\0';
      return length;
    }
    count++;
    if (count == size) {
      buffer[size] = '\0';
      return size;
    }
  }
}

int C_WSClient::SetReceiveTimeout(int milliseconds) {
  m_ReceiveTimeout = milliseconds;
  return SockSetReceiveTimeout(m_Socket, milliseconds);
}

int C_WSClient::SetSendTimeout(int milliseconds) {
  m_SendTimeout = milliseconds;
  return SockSetSendTimeout(m_Socket, milliseconds);
}

bool C_WSClient::DataWaiting() {
  if (m_Tls && m_Tls->Pending()) return true;
  char peek = 0;
  SockSetNonBlocking(m_Socket, true);
  const int received = SockRecv(m_Socket, &peek, 1, true);
  SockSetNonBlocking(m_Socket, false);
  return received > 0;
}

int C_WSClient::DrainInput() {
  if (!DataWaiting()) return 0;
  char discard[kDrainChunk];
  while (Receive(discard, kDrainChunk) >= 1 && DataWaiting()) {
  }
  return 0;
}
