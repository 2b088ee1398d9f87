// smtpout/SmtpDialogue.cpp: the SMTP client dialogue of one delivery (the
// greeting, EHLO or HELO, STARTTLS, MAIL, RCPT, DATA, QUIT) on the connection
// that SendOutboundMsg made, and the reading of replies.
//
// EHLO first, HELO after a 5xx to it. STARTTLS whenever the server offers it
// (RFC 3207), then EHLO again over TLS; OutboundTls says whether a host
// without TLS gets the mail in plaintext. Bytes the server sent after its 220
// to STARTTLS are dropped, never read as the answer to a later command.
//
// Nothing is sent before the server's reply to what came before, the
// greeting included (servers drop a client that talks first). A reply is all
// its lines ("250-..." up to "250 ..."); a 5xx to MAIL, RCPT, DATA or the end
// of the data refuses the mail for good, any other unexpected reply is worth
// another attempt later.
//
// Every wait for the remote server has an end: each reply line must arrive
// within the reply time-out (the reply to the end of the data within its own,
// longer one), each reply within kMaxLinesPerWait lines, and the whole
// dialogue within kDialogueLimitMs, so a server that trickles bytes or sends
// endless lines cannot hold the outbound thread. Threading: outbound main
// thread only.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "mime/Base64.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxLinesPerWait = 100;
constexpr int kDialogueLimitMs = 20 * 60 * 1000;  // room for the 10 minutes of the end of the data
constexpr std::size_t kDomainBuffer = 80;
constexpr std::size_t kMailChunk = 16 * 1024;
constexpr std::size_t kReplyBlock = 512;
constexpr std::size_t kLoggedReplyMax = 199;
constexpr int kMaxCodeDigits = 9;

// EHLO keywords the client acts on (bits of CDialogue::m_Extensions).
constexpr unsigned kExtStartTls = 1;
constexpr unsigned kExtAuthPlain = 2;
constexpr unsigned kExtAuthLogin = 4;

// Peer text as it may appear in the log.
std::string Printable(std::string_view text) { return PrintableText(text, kLoggedReplyMax); }

// The mail file as DATA content: "TO:<<" becomes "TO:<", and a line that
// begins with "." gets a second one (RFC 5321 4.5.2), so that the receiver
// takes it back off instead of reading the end of the mail. The state runs
// across blocks.
class CDataStream {
 public:
  void Add(const char* bytes, std::size_t count, std::string& out) {
    out.reserve(out.size() + count + count / 32 + 2);
    std::size_t i = 0;
    while (i < count) {
      if (!m_AtLineStart) {
        // Nothing changes before the next line end or "<": one run, copied
        // whole (both searched for within the line only).
        const void* lineFeed = std::memchr(bytes + i, '\n', count - i);
        const std::size_t lineEnd =
            lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - bytes) : count;
        const void* open = std::memchr(bytes + i, '<', lineEnd - i);
        const std::size_t end = open != nullptr ? static_cast<std::size_t>(static_cast<const char*>(open) - bytes) : lineEnd;
        if (end > i) {
          out.append(bytes + i, end - i);
          for (std::size_t k = end - i > 4 ? end - 4 : i; k < end; ++k) Remember(bytes[k]);
          i = end;
          continue;
        }
      }
      const char c = bytes[i++];
      const bool drop = c == '<' && m_Recent == kToOpen;
      Remember(c);
      if (drop) continue;
      if (m_AtLineStart && c == '.') out.push_back('.');
      out.push_back(c);
      m_AtLineStart = c == '\n';
    }
  }
  bool AtLineStart() const { return m_AtLineStart; }

 private:
  static constexpr std::uint32_t kToOpen = 'T' << 24 | 'O' << 16 | ':' << 8 | '<';
  void Remember(char c) { m_Recent = m_Recent << 8 | static_cast<unsigned char>(c); }
  std::uint32_t m_Recent = 0;  // the last four bytes of the file, before any change
  bool m_AtLineStart = true;
};

class CDialogue {
 public:
  CDialogue(SMTPOut& client, char* work, int size, int replyTimeoutMs, int dataEndTimeoutMs)
      : m_Client(client),
        m_Work(work),
        m_Size(size),
        m_ReplyTimeoutMs(replyTimeoutMs),
        m_DataEndTimeoutMs(dataEndTimeoutMs),
        m_End(Clock::now() + std::chrono::milliseconds(kDialogueLimitMs)) {}

  std::uint32_t Run(CFile& mailFile, const char* sender, const char* bareAddress);

 private:
  bool ReadLine(int timeoutMs, bool& whole);  // a line, or a piece of a long one, into m_Work
  bool ReadReply(int timeoutMs);              // all lines of one reply: m_Code and m_Reply
  bool Send(std::string_view bytes);
  bool SendMail(CFile& mailFile);
  // Sends `command` (none when empty) and reads the reply: kSendDelivered when
  // its code is of the class `expected` (2 or 3), else what it means for the mail.
  std::uint32_t Step(const std::string& command, int expected, bool refusable, int timeoutMs);
  std::uint32_t Broken();
  std::uint32_t Unexpected(bool refusable);
  void Quit();
  // EHLO, or HELO when EHLO is refused with a 5xx.
  std::uint32_t Greet(const std::string& domain);
  // STARTTLS and the handshake when offered; what OutboundTls says when not.
  std::uint32_t SecureConnection(const std::string& domain);
  // SMTP AUTH at the relay host when SmartHostUser is set: over TLS only.
  std::uint32_t Authenticate();
  // Sends a command that holds a credential (never logged).
  bool SendSecret(const std::string& line);
  // A host that cannot be used over TLS: the next exchanger is tried.
  std::uint32_t TlsFailure(const std::string& why, std::uint32_t result);
  void NoteExtension(const char* line);

  SMTPOut& m_Client;
  char* m_Work;
  int m_Size;
  int m_ReplyTimeoutMs;
  int m_DataEndTimeoutMs;
  Clock::time_point m_End;
  std::string m_Step;        // what the awaited reply answers, for the log and the event
  std::int32_t m_Code = 0;   // of the last reply
  std::string m_Reply;       // its text, printable and bounded
  unsigned m_Extensions = 0;  // keywords of the last reply's lines after its first (EHLO's)
  char m_Received[kReplyBlock];  // received, not yet read: m_Received[m_ReceivedStart, m_ReceivedEnd)
  int m_ReceivedStart = 0;
  int m_ReceivedEnd = 0;
};

bool CDialogue::ReadLine(int timeoutMs, bool& whole) {
  // Replies are read a block at a time into m_Received, which lives as long
  // as the connection: a byte per receive cost two system calls a byte. The
  // line (at most m_Size - 1 bytes) has one deadline.
  const int limit = m_Size - 1;
  const auto deadline = std::min(m_End, Clock::now() + std::chrono::milliseconds(timeoutMs));
  int count = 0;
  m_Work[0] = '\0';
  whole = false;
  for (;;) {
    if (m_ReceivedStart == m_ReceivedEnd) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int ready = left > 0 ? m_Client.WaitReadable(static_cast<int>(left)) : 0;
      if (ready == 0) PlatformSetLastError(WSAETIMEDOUT);
      const int got = ready == 1 ? m_Client.Receive(m_Received, static_cast<int>(sizeof m_Received)) : 0;
      if (got < 1) {
        m_Work[0] = '\0';
        return false;
      }
      m_ReceivedStart = 0;
      m_ReceivedEnd = got;
    }
    const char c = m_Received[m_ReceivedStart++];
    m_Work[count] = c;
    if (c == '\n') {
      const int length = count > 0 && m_Work[count - 1] == '\r' ? count - 1 : count;
      m_Work[length] = '\0';
      whole = true;
      return true;
    }
    if (++count == limit) {
      m_Work[limit] = '\0';  // the rest of the line comes as the next piece
      return true;
    }
  }
}

void CDialogue::NoteExtension(const char* line) {
  // "250-STARTTLS" or "250 STARTTLS", the keyword alone or with parameters.
  if (std::strlen(line) < 4) return;
  const std::string_view keyword(line + 4, std::strcspn(line + 4, " "));
  if (EqualsNoCase(keyword, "STARTTLS")) m_Extensions |= kExtStartTls;
  // "AUTH PLAIN LOGIN", or the older "AUTH=LOGIN PLAIN".
  if (StartsWithNoCase(keyword, "AUTH") && (keyword.size() == 4 || keyword[4] == '=')) {
    std::string_view mechanisms(line + 8);  // after "250-AUTH"
    if (!mechanisms.empty()) mechanisms.remove_prefix(1);  // its " " or "="
    while (!mechanisms.empty()) {
      const std::size_t end = std::min(mechanisms.find(' '), mechanisms.size());
      const std::string_view mechanism = mechanisms.substr(0, end);
      if (EqualsNoCase(mechanism, "PLAIN")) m_Extensions |= kExtAuthPlain;
      if (EqualsNoCase(mechanism, "LOGIN")) m_Extensions |= kExtAuthLogin;
      mechanisms.remove_prefix(std::min(end + 1, mechanisms.size()));
    }
  }
}

bool CDialogue::ReadReply(int timeoutMs) {
  m_Code = 0;
  m_Reply.clear();
  m_Extensions = 0;
  for (int pieces = 0, lines = 0; pieces < kMaxLinesPerWait; ++pieces, ++lines) {
    bool whole = false;
    if (!ReadLine(timeoutMs, whole)) return false;
    if (lines > 0) NoteExtension(m_Work);
    const std::int32_t code = ReadAck(m_Work);
    // "250-" goes on, "250 " (or a line without a code) ends the reply.
    bool more = std::strlen(m_Work) >= 4 && m_Work[3] == '-';
    if (m_Reply.size() < kLoggedReplyMax) m_Reply += (m_Reply.empty() ? "" : " ") + Printable(m_Work);
    while (!whole && ++pieces < kMaxLinesPerWait) {
      if (!ReadLine(timeoutMs, whole)) return false;
      if (m_Reply.size() < kLoggedReplyMax) m_Reply += Printable(m_Work);
    }
    if (!whole) break;
    if (code != 0) m_Code = code;
    if (!more) {
      if (m_Reply.size() > kLoggedReplyMax) m_Reply = m_Reply.substr(0, kLoggedReplyMax) + "...";
      return true;
    }
  }
  DebugLog("SMTPOut- Error: too many reply lines", CV_SRC, __LINE__);
  return false;
}

bool CDialogue::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = m_Client.Send(bytes.data(), static_cast<int>(bytes.size()));
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool CDialogue::SendMail(CFile& mailFile) {
  // The mail file ends with its terminating "." line, which is sent as it is.
  const std::int64_t size = mailFile.Size();
  std::int64_t content = size;
  char tail[3] = {};
  if (size >= 3 && mailFile.Seek(size - 3, FileSeek::kBegin) >= 0 && mailFile.Read(tail, 3) == 3 &&
      std::memcmp(tail, ".\r\n", 3) == 0) {
    content = size - 3;
  }
  if (size < 0 || mailFile.Seek(0, FileSeek::kBegin) < 0) return false;

  CDataStream stream;
  std::unique_ptr<char[]> chunk(new char[kMailChunk]);
  std::string out;
  for (std::int64_t done = 0; done < content;) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kMailChunk, content - done));
    const std::int64_t got = mailFile.Read(chunk.get(), want);
    if (got <= 0) return false;
    done += got;
    out.clear();
    stream.Add(chunk.get(), static_cast<std::size_t>(got), out);
    if (done < content && !Send(out)) return false;
  }
  // The end of the data goes out with the last block, not as a small send
  // of its own that would wait for the acknowledgement of that block.
  if (!stream.AtLineStart()) out += "\r\n";
  out += ".\r\n";
  return Send(out);
}

std::uint32_t CDialogue::Broken() {
  LogLastError();
  m_Client.SetLastReply("no reply to " + m_Step + " (connection closed or timed out)");
  // The connection is of no further use; the next attempt makes a new one.
  m_Client.CloseConnection();
  return kSendBroken;
}

void CDialogue::Quit() {
  DebugLog("SMTPOut- Sending QUIT - Waiting for ack (221)", CV_SRC, __LINE__);
  m_Step = "QUIT";
  if (Send("QUIT\r\n") && ReadReply(m_ReplyTimeoutMs)) {
    DebugLogStr("QUIT Ack - ", m_Reply.c_str(), CV_SRC, __LINE__);
  } else {
    LogLastError();
  }
  m_Client.CloseConnection();
}

// A reply other than the one awaited. A 5xx to the mail's commands refuses it
// for good; a 4xx, or a refusing greeting or HELO, is worth another attempt.
std::uint32_t CDialogue::Unexpected(bool refusable) {
  const std::string what = "reply to " + m_Step + ": " + m_Reply;
  m_Client.SetLastReply(what);
  DebugLogStr("SMTPOut- Error: unexpected ", what.c_str(), CV_SRC, __LINE__);
  const std::int32_t code = m_Code;
  Quit();
  if (code >= 500 && code < 600 && refusable) return kSendRefused;
  if (code >= 400 && code < 600) return kSendDeferred;
  return kSendBroken;
}

std::uint32_t CDialogue::Step(const std::string& command, int expected, bool refusable, int timeoutMs) {
  if (!command.empty() && !Send(command)) return Broken();
  if (!ReadReply(timeoutMs)) return Broken();
  if (m_Code / 100 != expected) return Unexpected(refusable);
  return kSendDelivered;
}

std::uint32_t CDialogue::Greet(const std::string& domain) {
  DebugLog("SMTPOut- Sending EHLO - Waiting for ack (250)", CV_SRC, __LINE__);
  m_Step = "EHLO";
  if (!Send("EHLO " + domain + "\r\n") || !ReadReply(m_ReplyTimeoutMs)) return Broken();
  if (m_Code / 100 == 2) return kSendDelivered;
  if (m_Code / 100 != 5) return Unexpected(false);
  DebugLog("SMTPOut- Sending HELO - Waiting for ack (250)", CV_SRC, __LINE__);
  m_Step = "HELO";
  const std::uint32_t result = Step("HELO " + domain + "\r\n", 2, false, m_ReplyTimeoutMs);
  m_Extensions = 0;  // a HELO server has none
  return result;
}

std::uint32_t CDialogue::TlsFailure(const std::string& why, std::uint32_t result) {
  const std::string what = PrintableText(m_Client.CurrentHost()) + ": " + why;
  DebugLogStr("SMTPOut- Error: TLS: ", what.c_str(), CV_SRC, __LINE__);
  m_Client.SetLastReply("TLS with " + what);
  m_Client.SetTryNextHost();
  return result;
}

std::uint32_t CDialogue::SecureConnection(const std::string& domain) {
  const std::uint32_t level = m_Client.OutboundTls();
  CTlsContext* context = m_Client.TlsContext();
  if ((m_Extensions & kExtStartTls) == 0 || context == nullptr) {
    if (level == 0) return kSendDelivered;  // plaintext, as the setting allows
    const char* why = context == nullptr ? "no TLS in this build, and OutboundTls requires it"
                                         : "the host offers no STARTTLS, and OutboundTls requires it";
    Quit();
    return TlsFailure(why, kSendDeferred);
  }
  DebugLog("SMTPOut- Sending STARTTLS - Waiting for ack (220)", CV_SRC, __LINE__);
  m_Step = "STARTTLS";
  if (!Send("STARTTLS\r\n") || !ReadReply(m_ReplyTimeoutMs)) return Broken();
  if (m_Code != 220) {
    if (level == 0) return kSendDelivered;  // a 454 and the like: on in plaintext
    const std::string why = "STARTTLS refused (" + m_Reply + "), and OutboundTls requires TLS";
    Quit();
    return TlsFailure(why, kSendDeferred);
  }
  // Whatever came after the 220 was sent before TLS: it is no reply of the server's.
  m_ReceivedStart = m_ReceivedEnd = 0;
  std::string error;
  if (!m_Client.StartTls(*context, m_Client.CurrentHost(), m_ReplyTimeoutMs, error)) {
    m_Client.CloseConnection();
    return TlsFailure("handshake failed: " + error, kSendBroken);
  }
  m_Client.SetLastTls(m_Client.TlsVersion());
  DebugLogStr("SMTPOut- TLS started: ", m_Client.LastTls().c_str(), CV_SRC, __LINE__);
  return Greet(domain);
}

bool CDialogue::SendSecret(const std::string& line) { return Send(line); }

std::uint32_t CDialogue::Authenticate() {
  const std::string& user = m_Client.SmartHostUser();
  if (user.empty() || m_Client.SmartHost() == nullptr) return kSendDelivered;
  const auto unusable = [&](const std::string& why) {
    m_Client.SetLastReply(why);
    Quit();
    return kSendRelayUnusable;
  };
  // Credentials never cross the network in the clear, whatever else is set.
  if (!m_Client.TlsActive()) return unusable("the relay host offers no TLS: its credentials are not sent in the clear");
  if ((m_Extensions & (kExtAuthPlain | kExtAuthLogin)) == 0)
    return unusable("the relay host offers neither AUTH PLAIN nor AUTH LOGIN");
  std::string password, error;
  if (!m_Client.ReadSmartHostPassword(password, error)) return unusable(error);

  m_Step = "AUTH";
  // Each step sends a line and reads its reply; a reply other than the one
  // awaited ends the exchange and is judged below.
  const auto exchange = [&](const std::string& line, bool secret) {
    return (secret ? SendSecret(line) : Send(line)) && ReadReply(m_ReplyTimeoutMs);
  };
  bool answered = true;
  if ((m_Extensions & kExtAuthPlain) != 0) {
    DebugLog("SMTPOut- Sending AUTH PLAIN - Waiting for ack (235)", CV_SRC, __LINE__);
    std::string token = std::string(1, '\0') + user + std::string(1, '\0') + password;
    answered = exchange("AUTH PLAIN " + Base64EncodeBytes(token.data(), token.size()) + "\r\n", true);
    std::fill(token.begin(), token.end(), '\0');
  } else {
    DebugLog("SMTPOut- Sending AUTH LOGIN - Waiting for ack (235)", CV_SRC, __LINE__);
    answered = exchange("AUTH LOGIN\r\n", false);
    if (answered && m_Code == 334) answered = exchange(Base64EncodeBytes(user.data(), user.size()) + "\r\n", true);
    if (answered && m_Code == 334)
      answered = exchange(Base64EncodeBytes(password.data(), password.size()) + "\r\n", true);
  }
  std::fill(password.begin(), password.end(), '\0');
  if (!answered) return Broken();
  if (m_Code == 235) {
    DebugLogStr("SMTPOut- Authenticated at the relay host as ", PrintableText(user).c_str(), CV_SRC, __LINE__);
    return kSendDelivered;
  }
  // A refusal of the credentials is the configuration's, not the mail's.
  if (m_Code >= 500 && m_Code < 600) return unusable("AUTH refused: " + m_Reply);
  return Unexpected(false);
}

std::uint32_t CDialogue::Run(CFile& mailFile, const char* sender, const char* bareAddress) {
  char domain[kDomainBuffer] = "";
  m_Client.fileMan->GetDomainName(domain, sizeof domain);

  DebugLog("SMTPOut- Connecting", CV_SRC, __LINE__);
  m_Client.SetReceiveTimeout(m_ReplyTimeoutMs);
  m_Client.SetSendTimeout(m_ReplyTimeoutMs);
  // Commands go out whole and the mail in large blocks, so nothing is gained
  // by holding a send back until the last one is acknowledged (Nagle); the
  // end of the data would wait for the receiver's delayed acknowledgement.
  if (SockSetNoDelay(m_Client.m_Socket, true) == SOCKET_ERROR) LogLastError();

  // Nothing goes out before the greeting: a server may drop a client that
  // talks first, and a fast server's greeting may already be waiting.
  DebugLog("SMTPOut- Waiting for the greeting (220)", CV_SRC, __LINE__);
  m_Step = "the connection";
  std::uint32_t result = Step("", 2, false, m_ReplyTimeoutMs);
  if (result != kSendDelivered) return result;

  if ((result = Greet(domain)) != kSendDelivered) return result;
  if ((result = SecureConnection(domain)) != kSendDelivered) return result;
  if ((result = Authenticate()) != kSendDelivered) return result;

  DebugLog("SMTPOut- Sending MAIL - Waiting for ack (250)", CV_SRC, __LINE__);
  DebugLogStr("SMTPOut-[SendOutboundMsg] Setting 'Mail from' address to ", Printable(sender).c_str(), CV_SRC,
              __LINE__);
  m_Step = "MAIL";
  // One send per command: a command in pieces waits for the receiver's
  // delayed acknowledgement of the first piece (Nagle), some 40 ms a mail.
  if ((result = Step(std::string("Mail from:<") + sender + ">\r\n", 2, true, m_ReplyTimeoutMs)) !=
      kSendDelivered)
    return result;

  DebugLog("SMTPOut- Sending RCPT - Waiting for ack (250)", CV_SRC, __LINE__);
  m_Step = "RCPT";
  if ((result = Step(std::string("RCPT to:<") + bareAddress + ">\r\n", 2, true, m_ReplyTimeoutMs)) !=
      kSendDelivered)
    return result;

  DebugLog("SMTPOut- Sending DATA - Waiting for ack (354)", CV_SRC, __LINE__);
  m_Step = "DATA";
  if ((result = Step("DATA\r\n", 3, true, m_ReplyTimeoutMs)) != kSendDelivered) return result;

  DebugLog("SMTPOut- Sending Message", CV_SRC, __LINE__);
  m_Step = "the mail text";
  if (!SendMail(mailFile)) return Broken();
  DebugLog("SMTPOut- Waiting for DATA end ack (250)", CV_SRC, __LINE__);
  m_Step = "the end of the data";
  const std::uint32_t dataEnd = Step("", 2, true, m_DataEndTimeoutMs);
  if (m_Code != 0) m_Client.SetDataEndReply(m_Reply);
  if ((result = dataEnd) != kSendDelivered) return result;
  m_Client.MailAccepted();

  // From here the mail is the receiver's: a QUIT without its reply does not
  // make it undelivered (a retry would deliver it again).
  Quit();
  return kSendDelivered;
}
}  // namespace

std::int32_t ReadAck(const char* line) {
  DebugLogStr("SMTPOut- Ack: ", Printable(line).c_str(), CV_SRC, __LINE__);
  std::int32_t code = 0;
  for (int i = 0; i < kMaxCodeDigits && line[i] >= '0' && line[i] <= '9'; ++i)
    code = code * 10 + (line[i] - '0');
  return code;
}

std::uint32_t SMTPOut::RunDialogue(CFile& mailFile, const char* sender, const char* bareAddress, char* work,
                                   int size) {
  if (work == nullptr || size < 2) return kSendBroken;
  CDialogue dialogue(*this, work, size, m_ReplyTimeoutMs, m_DataEndTimeoutMs);
  return dialogue.Run(mailFile, sender, bareAddress);
}
