// net/C_WSClient.h: one outgoing TCP connection to a numeric IPv4 address.
//
// Line reads take one byte per recv, so that nothing beyond a line end is
// taken from the socket. CloseConnection tears down in the listener's order:
// shutdown, drain, linger, close. The socket layer is started per object.
//
// After StartTls every send and receive goes through the TLS channel until
// the connection is closed (with the TLS goodbye first).
//
// Threading: an object is used by one thread at a time (its owner).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Socket.h"
#include "platform/TlsChannel.h"

class C_WSClient {
 public:
  static constexpr int kDefaultTimeoutMs = 30000;
  static constexpr int kHostSize = 28;

  C_WSClient();
  C_WSClient(const C_WSClient&) = delete;
  C_WSClient& operator=(const C_WSClient&) = delete;
  virtual ~C_WSClient();

  // 0 connected, 1 no socket, 2 connection failed (the socket is closed then).
  int Connect(int port, const char* address);
  // 0 all went well, 1 the shutdown failed, 2 the close failed.
  int CloseConnection();

  int Send(const char* buffer, int length);  // length < 1: the text's length
  int SendText(const char* text);
  int Receive(char* buffer, int size);
  // One line without its line end into `buffer` (room for size + 1 bytes);
  // 0 with an empty buffer on end of connection, error or time-out.
  int ReadLine(char* buffer, int size);

  // Shakes hands as the TLS client of `hostName` (the name checked against the
  // certificate when the context verifies) within `milliseconds`. False with
  // `error` (fit for a log); the connection is then of no further use.
  bool StartTls(CTlsContext& context, const std::string& hostName, int milliseconds, std::string& error);
  bool TlsActive() const { return m_Tls != nullptr; }
  std::string TlsVersion() const { return m_Tls ? m_Tls->Version() : std::string(); }
  // 1 when a Receive has bytes (TLS data already decrypted counts), 0 when
  // none came within `milliseconds`, SOCKET_ERROR on failure.
  int WaitReadable(int milliseconds);

  int SetReceiveTimeout(int milliseconds);
  int SetSendTimeout(int milliseconds);
  bool DataWaiting();
  int DrainInput();

  int m_Port = 0;
  char m_Host[kHostSize] = {};
  int m_Protocol = 0;
  SOCKET m_Socket = 0;  // 0: not connected
  SockAddrIn m_RemoteAddress{};
  int m_SendTimeout = kDefaultTimeoutMs;
  int m_ReceiveTimeout = kDefaultTimeoutMs;

 private:
  bool m_SocketsStarted = false;
  std::unique_ptr<CTlsChannel> m_Tls;  // from StartTls to CloseConnection
};
