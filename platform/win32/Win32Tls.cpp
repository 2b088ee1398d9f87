// platform/win32/Win32Tls.cpp: the Windows build's TLS channel, which for now
// has no backend: no context can be made, so the SMTP server offers no
// STARTTLS (and answers it 454) and the client goes on without TLS where that
// is allowed. The system's own TLS (Schannel, SSPI) is to come here.
//
// Threading: no state.
#include "platform/TlsChannel.h"

namespace {
constexpr char kNotAvailable[] = "TLS is not available in the Windows build yet";
}  // namespace

struct CTlsContext::Impl {};
struct CTlsChannel::Impl {};

bool TlsAvailable() { return false; }

CTlsContext::CTlsContext(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsContext::~CTlsContext() = default;

std::unique_ptr<CTlsContext> CTlsContext::ForServer(const std::string&, const std::string&, std::string& error) {
  error = kNotAvailable;
  return nullptr;
}

std::unique_ptr<CTlsContext> CTlsContext::ForClient(bool, std::string& error) {
  error = kNotAvailable;
  return nullptr;
}

CTlsChannel::CTlsChannel(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}
CTlsChannel::~CTlsChannel() = default;

std::unique_ptr<CTlsChannel> CTlsChannel::Make(CTlsContext&, SOCKET, bool, const std::string&) { return nullptr; }

bool CTlsChannel::Handshake(int, std::string& error) {
  error = kNotAvailable;
  return false;
}

int CTlsChannel::Receive(char*, int) {
  PlatformSetLastError(WSAECONNRESET);
  return SOCKET_ERROR;
}

int CTlsChannel::Send(const char*, int) {
  PlatformSetLastError(WSAECONNRESET);
  return SOCKET_ERROR;
}

bool CTlsChannel::Pending() const { return false; }
void CTlsChannel::Shutdown() {}
std::string CTlsChannel::Version() const { return ""; }
std::string CTlsChannel::Cipher() const { return ""; }
