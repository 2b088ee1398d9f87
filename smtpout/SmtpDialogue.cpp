// smtpout/SmtpDialogue.cpp: the SMTP client dialogue of one delivery (HELO,
// MAIL, RCPT, DATA, QUIT) on the connection that SendOutboundMsg made, and
// the reading of reply codes.
//
// Every wait for the remote server has an end: each reply line must arrive
// within the reply time-out, each awaited code within kMaxLinesPerWait lines,
// and the whole dialogue within kDialogueLimitMs, so a server that trickles
// bytes or sends endless lines of another code cannot hold the outbound
// thread. Threading: outbound main thread only.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "log/DebugLog.h"
#include "platform/Text.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxLinesPerWait = 100;
constexpr int kDialogueLimitMs = 20 * 60 * 1000;
constexpr std::size_t kDomainBuffer = 80;
constexpr std::size_t kMailChunk = 16 * 1024;
constexpr std::size_t kReplyBlock = 512;
constexpr std::size_t kLoggedReplyMax = 199;
constexpr int kMaxCodeDigits = 9;

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
        // Nothing changes before the next line end or "<": one run, copied whole.
        std::size_t end = i;
        while (end < count && bytes[end] != '\n' && bytes[end] != '<') ++end;
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
  CDialogue(SMTPOut& client, char* work, int size, int replyTimeoutMs)
      : m_Client(client),
        m_Work(work),
        m_Size(size),
        m_ReplyTimeoutMs(replyTimeoutMs),
        m_End(Clock::now() + std::chrono::milliseconds(kDialogueLimitMs)) {}

  std::uint32_t Run(CFile& mailFile, const char* bareAddress);

 private:
  bool ReadReply();                   // one line into m_Work; false on failure or time-out
  bool ReadUntil(std::int32_t code);  // lines until one with `code`
  bool Send(std::string_view bytes);
  void MailFrom(const char* attempt, const char* other, const char* otherText);
  bool SendMail(CFile& mailFile);
  std::uint32_t Broken();

  SMTPOut& m_Client;
  char* m_Work;
  int m_Size;
  int m_ReplyTimeoutMs;
  Clock::time_point m_End;
  bool m_Postfix = false;
  std::string m_Domain;
  char m_Reply[kReplyBlock];  // received, not yet read: m_Reply[m_ReplyStart, m_ReplyEnd)
  int m_ReplyStart = 0;
  int m_ReplyEnd = 0;
};

bool CDialogue::ReadReply() {
  // Replies are read a block at a time into m_Reply, which lives as long as
  // the connection: a byte per receive cost two system calls a byte. The line
  // (at most m_Size - 1 bytes) has one deadline.
  const int limit = m_Size - 1;
  const auto deadline = std::min(m_End, Clock::now() + std::chrono::milliseconds(m_ReplyTimeoutMs));
  int count = 0;
  m_Work[0] = '\0';
  for (;;) {
    if (m_ReplyStart == m_ReplyEnd) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int ready = left > 0 ? SockWaitReadable(m_Client.m_Socket, static_cast<int>(left)) : 0;
      if (ready == 0) PlatformSetLastError(WSAETIMEDOUT);
      const int got = ready == 1 ? m_Client.Receive(m_Reply, static_cast<int>(sizeof m_Reply)) : 0;
      if (got < 1) {
        m_Work[0] = '\0';
        return false;
      }
      m_ReplyStart = 0;
      m_ReplyEnd = got;
    }
    const char c = m_Reply[m_ReplyStart++];
    m_Work[count] = c;
    if (c == '\n') {
      const int length = count > 0 && m_Work[count - 1] == '\r' ? count - 1 : count;
      m_Work[length] = '\0';
      return true;
    }
    if (++count == limit) {
      m_Work[limit] = '\0';  // the rest of the line comes as the next line
      return true;
    }
  }
}

bool CDialogue::ReadUntil(std::int32_t code) {
  for (int line = 0; line < kMaxLinesPerWait; ++line) {
    if (!ReadReply()) return false;
    const std::int32_t got = ReadAck(m_Work);
    // Without RFC mode the greeting comes among the HELO replies.
    if (got == 220 && std::strstr(m_Work, "Postfix") != nullptr) {
      m_Postfix = true;
      DebugLog("SMTPOut- This is a postfix server", CV_SRC, __LINE__);
    }
    if (got == code) return true;
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

// "Mail from:<...>": `attempt` names the attempt in the log; the registry
// address when both settings say so, else `other` (described by `otherText`).
void CDialogue::MailFrom(const char* attempt, const char* other, const char* otherText) {
  std::string text = "SMTPOut-[SendOutboundMsg] Setting 'Mail from' address to ";
  const bool registry = m_Client.mailFromFound && m_Client.setMailFrom;
  text += registry ? "registry value" : otherText;
  text += attempt;
  DebugLog(text.c_str(), CV_SRC, __LINE__);
  // One send per command: a command in pieces waits for the receiver's
  // delayed acknowledgement of the first piece (Nagle), some 40 ms a mail.
  Send(std::string("Mail from:<") + (registry ? m_Client.mailFromValue : other) + ">\r\n");
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
  // The connection is of no further use; the next attempt makes a new one.
  m_Client.CloseConnection();
  return 3;
}

std::uint32_t CDialogue::Run(CFile& mailFile, const char* bareAddress) {
  char domain[kDomainBuffer] = "";
  m_Client.fileMan->GetDomainName(domain, sizeof domain);
  m_Domain = domain;

  DebugLog("SMTPOut- Connecting", CV_SRC, __LINE__);
  m_Client.SetReceiveTimeout(m_ReplyTimeoutMs);
  m_Client.SetSendTimeout(m_ReplyTimeoutMs);
  // Commands go out whole and the mail in large blocks, so nothing is gained
  // by holding a send back until the last one is acknowledged (Nagle); the
  // end of the data would wait for the receiver's delayed acknowledgement.
  if (SockSetNoDelay(m_Client.m_Socket, true) == SOCKET_ERROR) LogLastError();
  if (m_Client.rfcMode != 0) {
    // The greeting is read, not drained: a fast server's greeting may already
    // be waiting.
    if (!ReadUntil(220)) return Broken();
  } else {
    m_Client.DrainInput();
  }

  DebugLog("SMTPOut- Sending HELO - Waiting for ack (250)", CV_SRC, __LINE__);
  Send("HELO " + m_Domain + "\r\n");
  if (!ReadUntil(250)) return Broken();

  DebugLog("SMTPOut- Sending MAIL - Waiting for ack (250)", CV_SRC, __LINE__);
  if (!m_Postfix) MailFrom(" (not Postfix)", m_Domain.c_str(), "domain name");
  bool accepted = false;
  // A server named Postfix gets no first attempt: this wait then ends by the
  // reply time-out and the second attempt follows.
  for (int line = 0; line < kMaxLinesPerWait && !accepted; ++line) {
    if (!ReadReply()) break;
    accepted = ReadAck(m_Work) == 250;
  }
  if (!accepted) {
    MailFrom(" (world mail)", bareAddress, "'to' address");
    if (!ReadUntil(250)) return Broken();
  }

  DebugLog("SMTPOut- Sending RCPT - Waiting for ack (250)", CV_SRC, __LINE__);
  Send(std::string("RCPT to:<") + bareAddress + ">\r\n");
  if (!ReadUntil(250)) return Broken();

  DebugLog("SMTPOut- Sending DATA - Waiting for ack (354)", CV_SRC, __LINE__);
  Send("DATA\r\n");
  if (!ReadUntil(354)) return Broken();

  DebugLog("SMTPOut- Sending Message", CV_SRC, __LINE__);
  if (!SendMail(mailFile)) return Broken();
  DebugLog("SMTPOut- Waiting for DATA end ack (250)", CV_SRC, __LINE__);
  if (!ReadUntil(250)) return Broken();
  m_Client.MailAccepted();

  // From here the mail is the receiver's: a QUIT without its reply does not
  // make it undelivered (a retry would deliver it again).
  DebugLog("SMTPOut- Sending QUIT - Waiting for ack (221)", CV_SRC, __LINE__);
  Send("QUIT\r\n");
  if (ReadUntil(221)) {
    DebugLogStr("QUIT Ack - ", Printable(m_Work).c_str(), CV_SRC, __LINE__);
  } else {
    LogLastError();
  }
  m_Client.CloseConnection();
  return 0;
}

}  // namespace

std::int32_t ReadAck(const char* line) {
  DebugLogStr("SMTPOut- Ack: ", Printable(line).c_str(), CV_SRC, __LINE__);
  std::int32_t code = 0;
  for (int i = 0; i < kMaxCodeDigits && line[i] >= '0' && line[i] <= '9'; ++i)
    code = code * 10 + (line[i] - '0');
  return code;
}

std::uint32_t SMTPOut::RunDialogue(CFile& mailFile, const char* bareAddress, char* work, int size) {
  if (work == nullptr || size < 2) return 3;
  CDialogue dialogue(*this, work, size, m_ReplyTimeoutMs);
  return dialogue.Run(mailFile, bareAddress);
}
