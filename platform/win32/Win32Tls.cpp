// platform/win32/Win32Tls.cpp: the TLS channel over the system's own TLS,
// Schannel (SSPI).
//
// Credentials are asked for with SCH_CREDENTIALS (TLS 1.2 and 1.3, whatever
// else the system has is switched off); a system that does not take that
// structure (older Windows, wine) gets SCHANNEL_CRED with TLS 1.2 alone, as
// TLS 1.3 is not offered through it. The client always validates by hand
// (SCH_CRED_MANUAL_CRED_VALIDATION): with OutboundTls 2 the chain is checked
// against the system's trust store and the host name once the handshake is
// done, so that the check is the same wherever Schannel runs.
//
// Buffers are bounded: the handshake's input may grow to kHandshakeLimit,
// records afterwards to the size the stream sizes report; a peer that claims
// more is cut off. Decryption is done in place in the one input buffer.
//
// A server context proves at its making that the certificate and key work: a
// ClientHello made in memory goes through AcceptSecurityContext, so that a key
// Schannel cannot use, or a system whose Schannel has no server side (wine 8's),
// stops the start instead of failing every STARTTLS after its 220.
//
// Threading: a context is shared read-only once made; a channel belongs to one
// thread. Making and deleting security contexts and credentials is serialised,
// as wine's Schannel keeps its handle table without a lock.
#include "platform/TlsChannel.h"

#include "platform/win32/Win32Api.h"
#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS, which need UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32/Win32TlsCertificate.h"

namespace {

using Clock = std::chrono::steady_clock;

// Input held during a handshake: a certificate chain of a few dozen
// certificates fits; a peer that sends more without finishing is cut off.
constexpr std::size_t kHandshakeLimit = 128 * 1024;
// Certificates a verified chain may have.
constexpr DWORD kVerifyDepth = 10;
// Rounds of a handshake that moved it on (reads of a message not yet whole
// do not count: the time limit and kHandshakeLimit bound those); a real one
// needs a handful, so more means a peer that never finishes.
constexpr int kHandshakeRounds = 64;

constexpr ULONG kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                               ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr ULONG kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM | ASC_REQ_EXTENDED_ERROR;

std::mutex g_HandleLock;

std::string Hex(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", code);
  return text;
}

std::string StatusText(SECURITY_STATUS status) {
  struct Known {
    SECURITY_STATUS status;
    const char* text;
  };
  static constexpr Known kKnown[] = {
      {SEC_E_ILLEGAL_MESSAGE, "the peer's handshake message was malformed"},
      {SEC_E_INVALID_TOKEN, "the peer's data is not a TLS handshake"},
      {SEC_E_ALGORITHM_MISMATCH, "no protocol version or cipher in common (TLS 1.2 or 1.3 only)"},
      {SEC_E_UNSUPPORTED_FUNCTION, "not supported by the system's TLS"},
      {SEC_E_DECRYPT_FAILURE, "a record did not decrypt"},
      {SEC_E_MESSAGE_ALTERED, "a record was altered"},
      {SEC_E_NO_CREDENTIALS, "no usable credentials"},
      {SEC_E_UNKNOWN_CREDENTIALS, "the credentials are not usable"},
      {SEC_E_INTERNAL_ERROR, "internal error of the system's TLS"},
      {SEC_E_CERT_EXPIRED, "the certificate has expired"},
      {SEC_E_UNTRUSTED_ROOT, "the certificate's root is not trusted"},
      {SEC_E_WRONG_PRINCIPAL, "the certificate is not for this host"},
  };
  for (const Known& known : kKnown)
    if (known.status == status) return std::string(known.text) + " (" + Hex(static_cast<unsigned long>(status)) + ")";
  return "status " + Hex(static_cast<unsigned long>(status));
}

std::wstring Widened(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide.push_back(static_cast<unsigned char>(c));  // host names are ASCII
  return wide;
}

bool LooksLikeAddress(const std::string& host) {
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// True when `certificate` names the IPv4 address `host` among its subject
// alternative names.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& host) {
  const std::uint32_t wanted = InetAddr(host.c_str());  // network order, as the certificate holds it
  if (wanted == kInAddrNone && host != "255.255.255.255") return false;
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof wanted &&
            std::memcmp(entry.IPAddress.pbData, &wanted, sizeof wanted) == 0;
  }
  LocalFree(names);
  return found;
}

// Credentials for one side; `modern` says which structure the system took.
SECURITY_STATUS AcquireCredentials(bool server, PCCERT_CONTEXT certificate, CredHandle& handle, bool& modern) {
  PCCERT_CONTEXT certificates[1] = {certificate};
  const DWORD flags = server ? SCH_CRED_NO_SYSTEM_MAPPER : SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  const DWORD tls12 = server ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
  const DWORD tls13 = server ? SP_PROT_TLS1_3_SERVER : SP_PROT_TLS1_3_CLIENT;
  ULONG use = server ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND;
  TimeStamp expiry{};
  std::lock_guard<std::mutex> lock(g_HandleLock);

  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = ~(tls12 | tls13);
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags | SCH_USE_STRONG_CRYPTO;
  current.cCreds = certificate != nullptr ? 1 : 0;
  current.paCred = certificates;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), use, nullptr,
                                                     &current, nullptr, nullptr, &handle, &expiry);
  modern = status == SEC_E_OK;
  if (modern) return status;

  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.cCreds = certificate != nullptr ? 1 : 0;
  legacy.paCred = certificates;
  legacy.grbitEnabledProtocols = tls12;
  legacy.dwFlags = flags | SCH_USE_STRONG_CRYPTO;
  return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), use, nullptr, &legacy, nullptr,
                                   nullptr, &handle, &expiry);
}

void FreeCredentials(CredHandle& handle) {
  std::lock_guard<std::mutex> lock(g_HandleLock);
  FreeCredentialsHandle(&handle);
}

void DeleteContext(CtxtHandle& handle) {
  std::lock_guard<std::mutex> lock(g_HandleLock);
  DeleteSecurityContext(&handle);
}

// One step of a handshake on either side. `context` is null on the first.
SECURITY_STATUS HandshakeStep(bool server, CredHandle& credentials, CtxtHandle* context, CtxtHandle& made,
                              const wchar_t* target, SecBufferDesc* input, SecBufferDesc* output) {
  ULONG attributes = 0;
  std::unique_lock<std::mutex> lock(g_HandleLock, std::defer_lock);
  if (context == nullptr) lock.lock();  // this call makes the context
  if (server)
    return AcceptSecurityContext(&credentials, context, input, kServerFlags, 0, &made, output, &attributes, nullptr);
  return InitializeSecurityContextW(&credentials, context, const_cast<wchar_t*>(target), kClientFlags, 0, 0, input, 0,
                                    &made, output, &attributes, nullptr);
}

bool SendAll(SOCKET socket, const char* data, std::size_t length) {
  while (length > 0) {
    const int sent = SockSend(socket, data, static_cast<int>(std::min<std::size_t>(length, 1 << 20)));
    if (sent == SOCKET_ERROR || sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

// A ClientHello made in memory, put to the server credentials: false with
// `error` when Schannel cannot answer it with them.
bool ServerSideWorks(CredHandle& serverCredentials, std::string& error) {
  CredHandle client{};
  bool modern = false;
  if (AcquireCredentials(false, nullptr, client, modern) != SEC_E_OK) return true;  // nothing to try it with
  CtxtHandle clientContext{}, serverContext{};
  SecBuffer hello{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc helloDesc{SECBUFFER_VERSION, 1, &hello};
  SECURITY_STATUS status =
      HandshakeStep(false, client, nullptr, clientContext, L"localhost", nullptr, &helloDesc);
  const bool haveClient = status == SEC_I_CONTINUE_NEEDED;
  bool works = true;
  if (haveClient && hello.pvBuffer != nullptr) {
    SecBuffer in[2] = {{hello.cbBuffer, SECBUFFER_TOKEN, hello.pvBuffer}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer reply{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc replyDesc{SECBUFFER_VERSION, 1, &reply};
    status = HandshakeStep(true, serverCredentials, nullptr, serverContext, nullptr, &inDesc, &replyDesc);
    if (reply.pvBuffer != nullptr) FreeContextBuffer(reply.pvBuffer);
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) {
      DeleteContext(serverContext);
    } else {
      works = false;
      error = status == SEC_E_UNSUPPORTED_FUNCTION
                  ? "this system's TLS (Schannel) has no server side: AcceptSecurityContext is not supported"
                  : "the certificate cannot be used for TLS: " + StatusText(status);
    }
  }
  if (hello.pvBuffer != nullptr) FreeContextBuffer(hello.pvBuffer);
  if (haveClient) DeleteContext(clientContext);
  FreeCredentials(client);
  return works;
}

}  // namespace

struct CTlsContext::Impl {
  CredHandle credentials{};
  bool haveCredentials = false;
  bool verify = false;
  CServerCertificate certificate;
  ~Impl() {
    if (haveCredentials) FreeCredentials(credentials);
  }
};

struct CTlsChannel::Impl {
  CTlsContext::Impl* context = nullptr;
  SOCKET socket = INVALID_SOCKET;
  bool server = false;
  std::string hostName;
  std::wstring target;  // the name sent (SNI) and verified; empty for an address
  CtxtHandle handle{};
  bool haveHandle = false;
  bool established = false;
  bool failed = false;  // no further I/O, no close_notify
  bool closed = false;  // the peer's close_notify came
  SecPkgContext_StreamSizes sizes{};
  std::string version;
  std::string cipher;
  // Received bytes: in[0, inLength). After a decryption, in[plainOffset, +
  // plainLength) is plaintext not yet given out and in[extraOffset, inLength)
  // the records after it.
  std::vector<char> in;
  std::size_t inLength = 0;
  std::size_t plainOffset = 0;
  std::size_t plainLength = 0;
  std::size_t extraOffset = 0;
  std::vector<char> out;

  ~Impl() {
    if (haveHandle) DeleteContext(handle);
  }

  // Sends what a handshake call put into `buffer` and frees it.
  bool SendToken(SecBuffer& buffer) {
    bool sent = true;
    if (buffer.pvBuffer != nullptr) {
      if (buffer.cbBuffer > 0) sent = SendAll(socket, static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      FreeContextBuffer(buffer.pvBuffer);
      buffer.pvBuffer = nullptr;
    }
    return sent;
  }

  // Keeps only the last `extra` bytes of the input (those a call did not use).
  void KeepExtra(std::size_t extra) {
    if (extra > inLength) extra = inLength;
    std::memmove(in.data(), in.data() + inLength - extra, extra);
    inLength = extra;
  }

  // Moves the records after given-out plaintext to the front.
  void Compact() {
    if (plainLength > 0 || extraOffset == 0) return;
    std::memmove(in.data(), in.data() + extraOffset, inLength - extraOffset);
    inLength -= extraOffset;
    extraOffset = plainOffset = 0;
  }

  // The length of the record at the front, header included; 0 when its
  // header has not all come.
  std::size_t FrontRecord() const {
    if (inLength < sizes.cbHeader || sizes.cbHeader < 5) return 0;
    const auto* header = reinterpret_cast<const unsigned char*>(in.data());
    return sizes.cbHeader + (static_cast<std::size_t>(header[3]) << 8 | header[4]);
  }

  bool Fail(DWORD code) {
    failed = true;
    PlatformSetLastError(code);
    return false;
  }

  bool PostHandshake();
  bool Decrypt();
  void QueryAttributes();
  bool VerifyPeer(std::string& error);
};

bool TlsAvailable() { return true; }

CTlsContext::CTlsContext(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsContext::~CTlsContext() = default;

std::unique_ptr<CTlsContext> CTlsContext::ForServer(const std::string& certificateFile, const std::string& keyFile,
                                                     const std::string& certificateThumbprint, std::string& error) {
  auto impl = std::make_unique<Impl>();
  const bool found = certificateThumbprint.empty()
                         ? impl->certificate.FromPemFiles(certificateFile, keyFile, error)
                         : impl->certificate.FromMachineStore(certificateThumbprint, error);
  if (!found) return nullptr;
  bool modern = false;
  const SECURITY_STATUS status = AcquireCredentials(true, impl->certificate.Get(), impl->credentials, modern);
  if (status != SEC_E_OK) {
    error = "the certificate cannot be used for TLS: " + StatusText(status);
    return nullptr;
  }
  impl->haveCredentials = true;
  if (!ServerSideWorks(impl->credentials, error)) return nullptr;
  return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

std::unique_ptr<CTlsContext> CTlsContext::ForClient(bool verify, std::string& error) {
  auto impl = std::make_unique<Impl>();
  bool modern = false;
  const SECURITY_STATUS status = AcquireCredentials(false, nullptr, impl->credentials, modern);
  if (status != SEC_E_OK) {
    error = "the system's TLS gives no client credentials: " + StatusText(status);
    return nullptr;
  }
  impl->haveCredentials = true;
  impl->verify = verify;
  return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

CTlsChannel::CTlsChannel(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsChannel::~CTlsChannel() = default;

std::unique_ptr<CTlsChannel> CTlsChannel::Make(CTlsContext& context, SOCKET socket, bool server,
                                               const std::string& hostName) {
  auto impl = std::make_unique<Impl>();
  impl->context = &context.Backend();
  impl->socket = socket;
  impl->server = server;
  impl->hostName = hostName;
  if (!server && !LooksLikeAddress(hostName)) impl->target = Widened(hostName);
  return std::unique_ptr<CTlsChannel>(new CTlsChannel(std::move(impl)));
}

bool CTlsChannel::Handshake(int milliseconds, std::string& error) {
  Impl& c = *m_Impl;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 1);
  const wchar_t* target = c.target.empty() ? nullptr : c.target.c_str();
  c.in.assign(kHandshakeLimit, 0);
  c.inLength = 0;
  c.failed = true;  // until it is done
  bool needInput = c.server;
  for (int round = 0; round < kHandshakeRounds;) {
    if (needInput) {
      if (c.inLength == c.in.size()) {
        error = "the peer's handshake is over " + std::to_string(kHandshakeLimit / 1024) + " KB";
        return false;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || SockWaitReadable(c.socket, static_cast<int>(left)) != 1) {
        error = "no handshake within " + std::to_string(milliseconds) + " ms";
        return false;
      }
      const int got = SockRecv(c.socket, c.in.data() + c.inLength, static_cast<int>(c.in.size() - c.inLength));
      if (got == 0) {
        error = "the connection was closed during the handshake";
        return false;
      }
      if (got == SOCKET_ERROR) {
        error = "socket error " + std::to_string(PlatformGetLastError()) + " during the handshake";
        return false;
      }
      c.inLength += static_cast<std::size_t>(got);
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(c.inLength), SECBUFFER_TOKEN, c.in.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    const bool first = !c.haveHandle;
    const SECURITY_STATUS status =
        HandshakeStep(c.server, c.context->credentials, first ? nullptr : &c.handle, c.handle, target,
                      c.server || !first ? &inDesc : nullptr, &outDesc);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS))
      c.haveHandle = true;
    if (!c.SendToken(out) && status != SEC_E_INCOMPLETE_MESSAGE && !FAILED(status)) {
      error = "socket error " + std::to_string(PlatformGetLastError()) + " during the handshake";
      return false;
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      needInput = true;
      continue;
    }
    ++round;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {  // a client certificate asked for: we have none
      needInput = false;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      error = "handshake failed: " + StatusText(status);
      return false;
    }
    const bool first_call_of_client = !c.server && first;
    const std::size_t extra = !first_call_of_client && in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
    if (!first_call_of_client) c.KeepExtra(extra);
    if (status == SEC_E_OK) {
      c.QueryAttributes();
      // Not every system honours the protocols asked for (wine ignores SCH_CREDENTIALS' list).
      if (c.version != "TLSv1.2" && c.version != "TLSv1.3") {
        error = "the peer agreed " + c.version + ", and only TLS 1.2 and 1.3 are taken";
        return false;
      }
      if (!c.server && c.context->verify && !c.VerifyPeer(error)) return false;
      // From here on records are bounded by what the stream sizes say.
      const std::size_t recordLimit = c.sizes.cbHeader + c.sizes.cbMaximumMessage + c.sizes.cbTrailer;
      std::vector<char> records(std::max(recordLimit, c.inLength));
      std::memcpy(records.data(), c.in.data(), c.inLength);
      c.in.swap(records);
      c.out.assign(recordLimit, 0);
      c.failed = false;
      c.established = true;
      return true;
    }
    needInput = extra == 0;
  }
  error = "the handshake did not end after " + std::to_string(kHandshakeRounds) + " rounds";
  return false;
}

void CTlsChannel::Impl::QueryAttributes() {
  QueryContextAttributesW(&handle, SECPKG_ATTR_STREAM_SIZES, &sizes);
  SecPkgContext_ConnectionInfo info{};
  if (QueryContextAttributesW(&handle, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    if (info.dwProtocol & SP_PROT_TLS1_3)
      version = "TLSv1.3";
    else if (info.dwProtocol & SP_PROT_TLS1_2)
      version = "TLSv1.2";
    else if (info.dwProtocol & SP_PROT_TLS1_1)
      version = "TLSv1.1";
    else if (info.dwProtocol & SP_PROT_TLS1_0)
      version = "TLSv1";
    else
      version = "TLS (" + Hex(info.dwProtocol) + ")";
    const char* name = info.aiCipher == CALG_AES_128   ? "AES128"
                       : info.aiCipher == CALG_AES_256 ? "AES256"
                       : info.aiCipher == CALG_AES     ? "AES"
                                                       : nullptr;
    cipher = name != nullptr ? name : "cipher " + Hex(info.aiCipher);
  }
  if (version.empty()) version = "TLS";
  // The suite's full name where the system gives it (Windows, not wine).
  SecPkgContext_CipherInfo suite{};
  if (QueryContextAttributesW(&handle, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK && suite.szCipherSuite[0] != 0) {
    cipher.clear();
    for (std::size_t i = 0; i < SZ_ALG_MAX_SIZE && suite.szCipherSuite[i] != 0; ++i)
      cipher.push_back(suite.szCipherSuite[i] < 0x80 ? static_cast<char>(suite.szCipherSuite[i]) : '?');
  }
  // Stream sizes a system did not give: those of TLS itself.
  if (sizes.cbHeader == 0 || sizes.cbMaximumMessage == 0) sizes = {5, 256 + 64, 16384, 4, 16};
}

bool CTlsChannel::Impl::VerifyPeer(std::string& error) {
  PCCERT_CONTEXT peer = nullptr;
  if (QueryContextAttributesW(&handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK || peer == nullptr) {
    error = "the server's certificate did not verify: the server sent none";
    return false;
  }
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const bool built = CertGetCertificateChain(nullptr, peer, nullptr, peer->hCertStore, &chainPara, 0, nullptr, &chain);
  // An address is matched against the certificate's IP entries here: not
  // every system's name check knows them (wine's does not).
  const bool address = LooksLikeAddress(hostName);
  const bool addressMatches = address && NamesAddress(peer, hostName);
  CertFreeCertificateContext(peer);
  if (!built || chain == nullptr) {
    error = "the server's certificate did not verify: no chain (" + Hex(GetLastError()) + ")";
    return false;
  }
  bool ok = false;
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement > kVerifyDepth) {
    error = "the server's certificate did not verify: its chain is longer than " + std::to_string(kVerifyDepth);
  } else {
    std::wstring name = Widened(hostName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = address ? nullptr : name.data();  // null: the chain alone
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      error = "the server's certificate did not verify: the check failed (" + Hex(GetLastError()) + ")";
    } else if (status.dwError != 0 || (address && !addressMatches)) {
      const DWORD code = status.dwError != 0 ? status.dwError : static_cast<DWORD>(CERT_E_CN_NO_MATCH);
      const char* why = code == static_cast<DWORD>(CERT_E_CN_NO_MATCH)        ? "it is not for host "
                        : code == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)    ? "its root is not trusted"
                        : code == static_cast<DWORD>(CERT_E_EXPIRED)          ? "it has expired or is not yet valid"
                        : code == static_cast<DWORD>(CERT_E_CHAINING)         ? "its chain does not reach a root"
                        : code == static_cast<DWORD>(CERT_E_WRONG_USAGE)      ? "it is not for TLS servers"
                        : code == static_cast<DWORD>(TRUST_E_CERT_SIGNATURE)  ? "a signature in its chain is wrong"
                                                                              : "error ";
      error = std::string("the server's certificate did not verify: ") + why +
              (code == static_cast<DWORD>(CERT_E_CN_NO_MATCH) ? hostName
               : std::strcmp(why, "error ") == 0             ? Hex(code)
                                                             : std::string());
    } else {
      ok = true;
    }
  }
  CertFreeCertificateChain(chain);
  return ok;
}

// A TLS 1.3 message after the handshake (a session ticket, a key update), as
// Schannel hands it back to the client: it goes through the handshake call.
bool CTlsChannel::Impl::PostHandshake() {
  SecBuffer inBuffers[2] = {
      {static_cast<unsigned long>(inLength - extraOffset), SECBUFFER_TOKEN, in.data() + extraOffset},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
  SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
  const SECURITY_STATUS status = HandshakeStep(false, context->credentials, &handle, handle,
                                               target.empty() ? nullptr : target.c_str(), &inDesc, &outDesc);
  if (!SendToken(outBuffer) || (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)) return false;
  const std::size_t extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0;
  extraOffset = inLength - std::min(extra, inLength - extraOffset);
  return true;
}

// Decrypts the complete record at the front of the input.
bool CTlsChannel::Impl::Decrypt() {
  SecBuffer buffers[4] = {{static_cast<unsigned long>(inLength), SECBUFFER_DATA, in.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = DecryptMessage(&handle, &desc, 0, nullptr);
  if (status == SEC_I_CONTEXT_EXPIRED) {
    closed = true;
    return true;
  }
  if (status != SEC_E_OK && !(status == SEC_I_RENEGOTIATE && !server)) return Fail(WSAECONNRESET);
  plainOffset = plainLength = 0;
  extraOffset = inLength;
  for (const SecBuffer& buffer : buffers) {
    const auto* at = static_cast<const char*>(buffer.pvBuffer);
    const bool inside = at != nullptr && at >= in.data() && at + buffer.cbBuffer <= in.data() + inLength;
    if (buffer.BufferType == SECBUFFER_DATA && inside) {
      plainOffset = static_cast<std::size_t>(at - in.data());
      plainLength = buffer.cbBuffer;
    } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
      extraOffset = inLength - std::min<std::size_t>(buffer.cbBuffer, inLength);
    }
  }
  if (status == SEC_I_RENEGOTIATE && !PostHandshake()) return Fail(WSAECONNRESET);
  return true;
}

int CTlsChannel::Receive(char* buffer, int size) {
  Impl& c = *m_Impl;
  if (c.failed || !c.established) {
    PlatformSetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  while (true) {
    if (c.plainLength > 0) {
      const std::size_t n = std::min<std::size_t>(c.plainLength, size > 0 ? static_cast<std::size_t>(size) : 0);
      std::memcpy(buffer, c.in.data() + c.plainOffset, n);
      c.plainOffset += n;
      c.plainLength -= n;
      return static_cast<int>(n);
    }
    if (c.closed) return 0;
    c.Compact();
    const std::size_t record = c.FrontRecord();
    if (record > c.in.size()) {  // more than a record may be: a hostile or broken peer
      c.Fail(WSAECONNRESET);
      return SOCKET_ERROR;
    }
    if (record > 0 && c.inLength >= record) {
      if (!c.Decrypt()) return SOCKET_ERROR;
      continue;
    }
    const int got = SockRecv(c.socket, c.in.data() + c.inLength, static_cast<int>(c.in.size() - c.inLength));
    if (got == 0) {  // closed without close_notify
      c.failed = true;
      return 0;
    }
    if (got == SOCKET_ERROR) {
      c.failed = true;
      return SOCKET_ERROR;  // the socket's own last error (WSAETIMEDOUT and the like)
    }
    c.inLength += static_cast<std::size_t>(got);
  }
}

int CTlsChannel::Send(const char* buffer, int length) {
  Impl& c = *m_Impl;
  if (length <= 0) return 0;
  if (c.failed || !c.established) {
    PlatformSetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  const std::size_t header = c.sizes.cbHeader;
  for (int done = 0; done < length;) {
    const auto piece = static_cast<unsigned long>(std::min<std::size_t>(length - done, c.sizes.cbMaximumMessage));
    std::memcpy(c.out.data() + header, buffer + done, piece);
    SecBuffer buffers[4] = {{c.sizes.cbHeader, SECBUFFER_STREAM_HEADER, c.out.data()},
                            {piece, SECBUFFER_DATA, c.out.data() + header},
                            {c.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, c.out.data() + header + piece},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&c.handle, 0, &desc, 0) != SEC_E_OK) {
      c.Fail(WSAECONNRESET);
      return SOCKET_ERROR;
    }
    const std::size_t total = std::size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if (total > c.out.size() || !SendAll(c.socket, c.out.data(), total)) {
      const DWORD code = PlatformGetLastError();
      c.Fail(code != 0 ? code : static_cast<DWORD>(WSAECONNRESET));
      return SOCKET_ERROR;
    }
    done += static_cast<int>(piece);
  }
  return length;
}

bool CTlsChannel::Pending() const {
  const Impl& c = *m_Impl;
  if (c.failed || !c.established) return false;
  if (c.plainLength > 0 || c.closed) return true;
  // A whole record already received gives data (or its end) without the socket.
  const std::size_t start = c.extraOffset;
  if (c.inLength - start < c.sizes.cbHeader || c.sizes.cbHeader < 5) return false;
  const auto* header = reinterpret_cast<const unsigned char*>(c.in.data() + start);
  return c.inLength - start >= c.sizes.cbHeader + (static_cast<std::size_t>(header[3]) << 8 | header[4]);
}

void CTlsChannel::Shutdown() {
  Impl& c = *m_Impl;
  if (c.failed || !c.established) return;
  c.failed = true;  // nothing more goes through it
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&c.handle, &controlDesc) != SEC_E_OK) return;  // wine has none: the socket's close ends it
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  HandshakeStep(c.server, c.context->credentials, &c.handle, c.handle, c.target.empty() ? nullptr : c.target.c_str(),
                nullptr, &outDesc);
  c.SendToken(out);
}

std::string CTlsChannel::Version() const { return m_Impl->established ? m_Impl->version : ""; }

std::string CTlsChannel::Cipher() const { return m_Impl->established ? m_Impl->cipher : ""; }
