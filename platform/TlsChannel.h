// platform/TlsChannel.h: TLS over a connected stream socket, for both roads:
// the SMTP server's STARTTLS (a server session) and the SMTP client's (a
// client session). TLS 1.2 and 1.3 only.
//
// One backend per platform: OpenSSL on POSIX, Schannel (SSPI) on Windows. The
// code above sees only these classes.
//
// A channel takes over its socket's bytes from the moment it is made: the
// caller must have read nothing past the command that started TLS (plaintext
// that came after it is the caller's to throw away). Receive and Send keep
// the socket calls' contract: the count, 0 when the peer closed, SOCKET_ERROR
// with the Winsock code as the last error (WSAETIMEDOUT when the socket's
// time-out ran out).
//
// Threading: a context is shared read-only by any number of channels on any
// threads once made; a channel belongs to one thread.
#pragma once

#include <memory>
#include <string>

#include "platform/Socket.h"

// False when this build has no TLS backend: no context can be made.
bool TlsAvailable();

class CTlsContext {
 public:
  struct Impl;

  // A server's context from a PEM certificate (chain) file and a PEM key file,
  // or, when `certificateThumbprint` is set, from the certificate with that
  // SHA-1 thumbprint in the system's machine store (Windows only; POSIX
  // refuses it). Null with `error` saying which setting and why when the
  // certificate or its key cannot be used.
  static std::unique_ptr<CTlsContext> ForServer(const std::string& certificateFile, const std::string& keyFile,
                                                const std::string& certificateThumbprint, std::string& error);
  // A client's context. With `verify`, the server's chain is checked against
  // the system's trust store and its name against the host name each channel
  // is given. Null with `error` when the backend cannot make one.
  static std::unique_ptr<CTlsContext> ForClient(bool verify, std::string& error);

  ~CTlsContext();
  CTlsContext(const CTlsContext&) = delete;
  CTlsContext& operator=(const CTlsContext&) = delete;

  Impl& Backend() { return *m_Impl; }

 private:
  explicit CTlsContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_Impl;
};

class CTlsChannel {
 public:
  struct Impl;

  // A channel on `socket`, not yet shaken hands. `hostName` (client only) is
  // sent as the server name and, with a verifying context, checked against
  // the certificate. Null when the backend cannot make one.
  static std::unique_ptr<CTlsChannel> Make(CTlsContext& context, SOCKET socket, bool server,
                                           const std::string& hostName = {});

  ~CTlsChannel();
  CTlsChannel(const CTlsChannel&) = delete;
  CTlsChannel& operator=(const CTlsChannel&) = delete;

  // The handshake, over within `milliseconds` whatever the peer does. False
  // with `error` (peer text never in it, so fit for a log) when it failed,
  // timed out, or the peer's certificate did not verify.
  bool Handshake(int milliseconds, std::string& error);
  int Receive(char* buffer, int size);
  // Sends all `length` bytes (one or more records).
  int Send(const char* buffer, int length);
  // Decrypted bytes that a Receive gives at once, without the socket.
  bool Pending() const;
  // Says goodbye (close_notify) without waiting for the peer's; the socket
  // stays open for its owner to close.
  void Shutdown();
  // The protocol agreed, as "TLSv1.2" or "TLSv1.3"; empty before the handshake.
  std::string Version() const;
  // The cipher agreed; empty before the handshake.
  std::string Cipher() const;

 private:
  explicit CTlsChannel(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_Impl;
};
