// bench/tls_source.cpp: an SMTP load source that sends every mail over
// STARTTLS, for the bench's TLS cell (smtp-source speaks no TLS).
//
//   tls_source <address> <port> <sessions> <mails> <size>
//
// Like smtp-source: `sessions` parallel sessions share `mails` mails, one mail
// per connection (EHLO, STARTTLS, the handshake, EHLO, MAIL, RCPT, DATA,
// QUIT), each mail `size` bytes of 78-character lines. The server's
// certificate is not verified (the bench's is made on the spot). Exits 0 when
// every mail got its 250, else 1 with the first failure on standard error.
//
// Threading: one thread per session; they share only the mail counter and
// the first failure, under a mutex.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/TlsChannel.h"

namespace {

constexpr int kTimeoutMs = 30000;

struct CShared {
  SockAddrIn address{};
  std::string body;
  int mails = 0;
  std::atomic<int> next{0};
  std::mutex mutex;
  std::string failure;

  void Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (failure.empty()) failure = why;
  }
};

// One connection's line reader and writer, in plaintext or over TLS.
class CConnection {
 public:
  explicit CConnection(SOCKET socket) : m_Socket(socket) {}
  ~CConnection() {
    if (m_Tls) m_Tls->Shutdown();
    m_Tls.reset();
    SockClose(m_Socket);
  }

  bool Send(const std::string& text) {
    const int n = m_Tls ? m_Tls->Send(text.data(), static_cast<int>(text.size()))
                        : SockSend(m_Socket, text.data(), static_cast<int>(text.size()));
    return n == static_cast<int>(text.size());
  }

  // The reply's code, after reading all its lines; 0 on a broken connection.
  int Reply(std::string& last) {
    for (;;) {
      const std::size_t end = m_Buffer.find("\r\n");
      if (end != std::string::npos) {
        last = m_Buffer.substr(0, end);
        m_Buffer.erase(0, end + 2);
        if (last.size() >= 4 && last[3] == '-') continue;
        return last.size() >= 3 ? std::atoi(last.substr(0, 3).c_str()) : 0;
      }
      if (m_Buffer.size() > 65536) return 0;
      char chunk[4096];
      const int n = m_Tls ? m_Tls->Receive(chunk, sizeof chunk) : SockRecv(m_Socket, chunk, sizeof chunk);
      if (n <= 0) return 0;
      m_Buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  bool StartTls(CTlsContext& context, std::string& error) {
    m_Tls = CTlsChannel::Make(context, m_Socket, false, "bench.localdomain");
    return m_Tls && m_Tls->Handshake(kTimeoutMs, error);
  }

 private:
  SOCKET m_Socket;
  std::unique_ptr<CTlsChannel> m_Tls;
  std::string m_Buffer;
};

// One mail on its own connection; "" when the server took it.
std::string SendOne(CShared& shared, CTlsContext& context) {
  SOCKET socket = SockCreate(AF_INET_CODE, 0);
  if (socket == INVALID_SOCKET) return "no socket";
  SockSetReceiveTimeout(socket, kTimeoutMs);
  SockSetSendTimeout(socket, kTimeoutMs);
  SockSetNoDelay(socket, true);
  if (SockConnect(socket, shared.address) != 0) {
    SockClose(socket);
    return "connect failed";
  }
  CConnection c(socket);
  std::string line, error;
  const auto step = [&](const std::string& command, int expected) {
    if (!command.empty() && !c.Send(command)) return false;
    return c.Reply(line) == expected;
  };
  if (!step("", 220) || !step("EHLO bench.localdomain\r\n", 250)) return "greeting or EHLO: " + line;
  if (!step("STARTTLS\r\n", 220)) return "STARTTLS: " + line;
  if (!c.StartTls(context, error)) return "handshake: " + error;
  if (!step("EHLO bench.localdomain\r\n", 250) || !step("MAIL FROM:<bench@bench.localdomain>\r\n", 250) ||
      !step("RCPT TO:<5550100@fax.example.com>\r\n", 250) || !step("DATA\r\n", 354))
    return "envelope: " + line;
  if (!step(shared.body, 250)) return "end of data: " + line;
  step("QUIT\r\n", 221);
  return {};
}

void Session(CShared& shared, CTlsContext& context) {
  while (shared.next.fetch_add(1) < shared.mails) {
    const std::string failure = SendOne(shared, context);
    if (!failure.empty()) {
      shared.Fail(failure);
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <address> <port> <sessions> <mails> <size>\n", argv[0]);
    return 2;
  }
  CShared shared;
  shared.address.family = AF_INET_CODE;
  shared.address.port = HostToNet16(static_cast<std::uint16_t>(std::atoi(argv[2])));
  shared.address.addr = InetAddr(argv[1]);
  const int sessions = std::atoi(argv[3]);
  shared.mails = std::atoi(argv[4]);
  const std::size_t size = static_cast<std::size_t>(std::atol(argv[5]));
  shared.body = "From: bench@bench.localdomain\r\nTo: 5550100@fax.example.com\r\nSubject: bench\r\n\r\n";
  while (shared.body.size() < size) shared.body += std::string(76, 'x') + "\r\n";
  shared.body += ".\r\n";

  SockStartup(0x0202);
  std::string error;
  std::unique_ptr<CTlsContext> context = CTlsContext::ForClient(false, error);
  if (!context) {
    std::fprintf(stderr, "tls_source: no TLS: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i) threads.emplace_back(Session, std::ref(shared), std::ref(*context));
  for (std::thread& t : threads) t.join();
  SockCleanup();
  if (!shared.failure.empty()) {
    std::fprintf(stderr, "tls_source: %s\n", shared.failure.c_str());
    return 1;
  }
  return 0;
}
