// platform/posix/PosixTls.cpp: the TLS channel over OpenSSL (libssl).
//
// OpenSSL reads and writes through a BIO of our own that calls SockRecv and
// SockSend, so sends never raise SIGPIPE, errors keep their Winsock codes and
// the handshake's time limit is kept by waiting for readability before each
// receive. Only TLS 1.2 and 1.3; no renegotiation (a client could make the
// server do a handshake's work again and again); an encrypted key is refused
// rather than asked for on a terminal the service does not have.
//
// Threading: contexts are made once and then only read (OpenSSL's SSL_CTX is
// safe for that); each channel is used by one thread. OpenSSL's error queue is
// per thread and cleared before each call whose errors are read.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/TlsChannel.h"

namespace {

using Clock = std::chrono::steady_clock;

// Idle sessions give their read and write buffers back (some 70 KB each).
constexpr long kContextMode = SSL_MODE_RELEASE_BUFFERS;
// Resumable sessions the server keeps; a full cache drops its oldest.
constexpr long kServerSessionCache = 1024;
// Certificates a chain may have before the client stops looking at it.
constexpr int kVerifyDepth = 10;

// The reason of OpenSSL's last error on this thread; the queue is emptied.
std::string OpenSslError(const char* fallback) {
  unsigned long code = 0;
  unsigned long last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return fallback;
  char text[256];
  ERR_error_string_n(last, text, sizeof text);
  return text;
}

// Refuses to ask for the pass phrase of an encrypted key.
int NoPassword(char*, int, int, void*) { return 0; }

// A file that cannot be opened, said with the system's reason.
bool Readable(const std::string& path, const char* what, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::string(what) + " \"" + path + "\" cannot be read: " + std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

bool LooksLikeAddress(const std::string& host) {
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

struct CTlsContext::Impl {
  SSL_CTX* ctx = nullptr;
  bool verify = false;
  ~Impl() { SSL_CTX_free(ctx); }
};

struct CTlsChannel::Impl {
  SSL* ssl = nullptr;
  SOCKET socket = INVALID_SOCKET;
  bool server = false;
  bool failed = false;       // a fatal error: no further I/O, no close_notify
  bool hasDeadline = false;  // during the handshake
  Clock::time_point deadline{};
  bool timedOut = false;
  DWORD socketError = 0;  // of the BIO's last failed call; 0: none (or end of stream)
  ~Impl() { SSL_free(ssl); }
};

namespace {

using ChannelImpl = CTlsChannel::Impl;

int BioRead(BIO* bio, char* out, int size) {
  auto* channel = static_cast<ChannelImpl*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  channel->socketError = 0;
  if (channel->hasDeadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(channel->deadline - Clock::now()).count();
    if (left <= 0 || SockWaitReadable(channel->socket, static_cast<int>(left)) != 1) {
      channel->timedOut = true;
      channel->socketError = WSAETIMEDOUT;
      return -1;
    }
  }
  const int received = SockRecv(channel->socket, out, size);
  if (received == SOCKET_ERROR) {
    channel->socketError = PlatformGetLastError();
    if (channel->socketError == static_cast<DWORD>(WSAETIMEDOUT)) channel->timedOut = true;
    return -1;
  }
  return received;
}

int BioWrite(BIO* bio, const char* in, int length) {
  auto* channel = static_cast<ChannelImpl*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  channel->socketError = 0;
  const int sent = SockSend(channel->socket, in, length);
  if (sent == SOCKET_ERROR) {
    channel->socketError = PlatformGetLastError();
    return -1;
  }
  return sent;
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once, kept for the process's life.
BIO_METHOD* SocketBioMethod() {
  static std::once_flag once;
  static BIO_METHOD* method = nullptr;
  std::call_once(once, [] {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "cvsmtpgw socket");
    if (method == nullptr) return;
    BIO_meth_set_read(method, BioRead);
    BIO_meth_set_write(method, BioWrite);
    BIO_meth_set_ctrl(method, BioControl);
    BIO_meth_set_create(method, BioCreate);
  });
  return method;
}

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ctx, kContextMode);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassword);
  return ctx;
}

}  // namespace

bool TlsAvailable() { return true; }

CTlsContext::CTlsContext(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsContext::~CTlsContext() = default;

std::unique_ptr<CTlsContext> CTlsContext::ForServer(const std::string& certificateFile, const std::string& keyFile,
                                                     const std::string& certificateThumbprint, std::string& error) {
  if (!certificateThumbprint.empty()) {
    error = "TlsCertificateThumbprint names a certificate of a Windows machine store; this system takes "
            "TlsCertificateFile and TlsKeyFile";
    return nullptr;
  }
  if (!Readable(certificateFile, "TlsCertificateFile", error) || !Readable(keyFile, "TlsKeyFile", error))
    return nullptr;
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  impl->ctx = NewContext(TLS_server_method());
  if (impl->ctx == nullptr) {
    error = OpenSslError("no TLS context");
    return nullptr;
  }
  SSL_CTX_sess_set_cache_size(impl->ctx, kServerSessionCache);
  if (SSL_CTX_use_certificate_chain_file(impl->ctx, certificateFile.c_str()) != 1) {
    error = "TlsCertificateFile \"" + certificateFile + "\" holds no usable PEM certificate: " +
            OpenSslError("unknown reason");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(impl->ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "TlsKeyFile \"" + keyFile + "\" holds no usable PEM key (an encrypted key is not taken): " +
            OpenSslError("unknown reason");
    return nullptr;
  }
  if (SSL_CTX_check_private_key(impl->ctx) != 1) {
    error = "TlsKeyFile \"" + keyFile + "\" is not the key of the certificate: " + OpenSslError("mismatch");
    return nullptr;
  }
  return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

std::unique_ptr<CTlsContext> CTlsContext::ForClient(bool verify, std::string& error) {
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  impl->ctx = NewContext(TLS_client_method());
  if (impl->ctx == nullptr) {
    error = OpenSslError("no TLS context");
    return nullptr;
  }
  impl->verify = verify;
  if (verify) {
    if (SSL_CTX_set_default_verify_paths(impl->ctx) != 1) {
      error = "the system's trust store cannot be read: " + OpenSslError("unknown reason");
      return nullptr;
    }
    SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_verify_depth(impl->ctx, kVerifyDepth);
  } else {
    SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_NONE, nullptr);
  }
  return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

CTlsChannel::CTlsChannel(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsChannel::~CTlsChannel() = default;

std::unique_ptr<CTlsChannel> CTlsChannel::Make(CTlsContext& context, SOCKET socket, bool server,
                                               const std::string& hostName) {
  BIO_METHOD* method = SocketBioMethod();
  if (method == nullptr) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->socket = socket;
  impl->server = server;
  impl->ssl = SSL_new(context.Backend().ctx);
  if (impl->ssl == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, impl.get());
  SSL_set_bio(impl->ssl, bio, bio);  // the SSL owns it now
  if (server) {
    SSL_set_accept_state(impl->ssl);
  } else {
    SSL_set_connect_state(impl->ssl);
    if (!hostName.empty() && !LooksLikeAddress(hostName)) SSL_set_tlsext_host_name(impl->ssl, hostName.c_str());
    if (context.Backend().verify) {
      const bool set = LooksLikeAddress(hostName)
                           ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(impl->ssl), hostName.c_str()) == 1
                           : SSL_set1_host(impl->ssl, hostName.c_str()) == 1;
      if (!set) return nullptr;
    }
  }
  return std::unique_ptr<CTlsChannel>(new CTlsChannel(std::move(impl)));
}

bool CTlsChannel::Handshake(int milliseconds, std::string& error) {
  Impl& c = *m_Impl;
  ERR_clear_error();
  c.hasDeadline = true;
  c.timedOut = false;
  c.deadline = Clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 1);
  const int result = c.server ? SSL_accept(c.ssl) : SSL_connect(c.ssl);
  c.hasDeadline = false;
  if (result == 1) return true;
  c.failed = true;
  const int code = SSL_get_error(c.ssl, result);
  const long verified = SSL_get_verify_result(c.ssl);
  if (c.timedOut) {
    error = "no handshake within " + std::to_string(milliseconds) + " ms";
    ERR_clear_error();
  } else if (!c.server && verified != X509_V_OK) {
    error = std::string("the server's certificate did not verify: ") + X509_verify_cert_error_string(verified);
    ERR_clear_error();
  } else if (code == SSL_ERROR_SYSCALL && c.socketError == 0) {
    error = "the connection was closed during the handshake" + std::string(ERR_peek_error() ? ": " : "") +
            (ERR_peek_error() ? OpenSslError("") : "");
  } else if (code == SSL_ERROR_SYSCALL) {
    error = "socket error " + std::to_string(c.socketError) + " during the handshake";
    ERR_clear_error();
  } else {
    error = OpenSslError("handshake failed");
  }
  return false;
}

int CTlsChannel::Receive(char* buffer, int size) {
  Impl& c = *m_Impl;
  if (c.failed) {
    PlatformSetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  ERR_clear_error();
  const int result = SSL_read(c.ssl, buffer, size);
  if (result > 0) return result;
  const int code = SSL_get_error(c.ssl, result);
  if (code == SSL_ERROR_ZERO_RETURN) return 0;  // the peer's close_notify
  c.failed = true;
  ERR_clear_error();
  if (code == SSL_ERROR_SYSCALL && c.socketError == 0) return 0;  // closed without close_notify
  PlatformSetLastError(c.socketError != 0 ? c.socketError : static_cast<DWORD>(WSAECONNRESET));
  return SOCKET_ERROR;
}

int CTlsChannel::Send(const char* buffer, int length) {
  Impl& c = *m_Impl;
  if (length <= 0) return 0;
  if (c.failed) {
    PlatformSetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  ERR_clear_error();
  const int result = SSL_write(c.ssl, buffer, length);
  if (result == length) return result;
  c.failed = true;
  ERR_clear_error();
  PlatformSetLastError(c.socketError != 0 ? c.socketError : static_cast<DWORD>(WSAECONNRESET));
  return SOCKET_ERROR;
}

bool CTlsChannel::Pending() const { return !m_Impl->failed && SSL_pending(m_Impl->ssl) > 0; }

void CTlsChannel::Shutdown() {
  Impl& c = *m_Impl;
  if (c.failed || !SSL_is_init_finished(c.ssl)) return;
  ERR_clear_error();
  SSL_shutdown(c.ssl);
  ERR_clear_error();
  c.failed = true;  // nothing more goes through it
}

std::string CTlsChannel::Version() const {
  return SSL_is_init_finished(m_Impl->ssl) ? SSL_get_version(m_Impl->ssl) : "";
}

std::string CTlsChannel::Cipher() const {
  const char* name = SSL_is_init_finished(m_Impl->ssl) ? SSL_get_cipher_name(m_Impl->ssl) : nullptr;
  return name != nullptr ? name : "";
}
