// smtpout/Compose.cpp: ComposeMessage, FindRecipient and EncodeAttachment.
//
// Threading: outbound main thread only; each call keeps its state in locals.
#include "smtpout/Compose.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

#include "base/PatternList.h"
#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "mime/Address.h"
#include "mime/MimeEncoder.h"
#include "mime/TextEncoding.h"
#include "smtpout/HeaderFields.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

constexpr std::size_t kMessageLineSize = 259;  // longer lines come in pieces of this size
constexpr std::size_t kReadBlock = 16 * 1024;
constexpr std::size_t kIdentifierSize = 260;
constexpr std::size_t kMaxFromLine = 258;
constexpr std::size_t kSubjectReserve =
    33;  // spaces kept in the Subject header for the body's "Subject : " text
constexpr std::size_t kSubjectTextMax = 29;
// Limits of an attachment line ("<<display:file>>"): the text after the first
// ':' (with ">>" and CR), the text after "<<", and the path formed from it.
constexpr std::size_t kFileNameTextMax = 24;
constexpr std::size_t kDisplayTextMax = 99;
constexpr std::size_t kAttachmentPathMax = 99;
// A header line is folded before it reaches the 998 octets a line may hold.
constexpr std::size_t kFoldAt = 990;
constexpr const char kCrLf[] = "\r\n";
constexpr const char kBoundaryPrefix[] = "----= Message-ID:";
// Header fields whose display names are phrases (RFC 5322 3.4).
constexpr const char* kAddressFields[] = {"FROM", "TO", "CC", "BCC", "REPLY-TO", "SENDER"};

bool Holds(std::string_view line, std::string_view key) { return line.find(key) != std::string_view::npos; }

// The message file's empty line; a fax server that writes bare LFs has them too.
bool IsEmptyLine(std::string_view line) { return line == kCrLf || line == "\n"; }

// The line without its line end (LF, or CR LF).
std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A quoted-string as RFC 5322 reads it: in quotes, any quote inside escaped.
bool IsQuotedString(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
      if (i + 1 >= text.size()) return false;  // the closing quote escaped
    } else if (text[i] == '"') {
      return false;
    }
  }
  return true;
}

std::string_view Unquoted(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

// True when `line` begins with a field name (printable ASCII but ':', blanks
// allowed before the colon, as old mail writes "Subject :") and its colon.
bool HasFieldName(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view name = TrimBlanks(line.substr(0, colon));
  return !name.empty() && line.front() != ' ' &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// One header line (no line end) as a 7-bit receiver takes it: 8-bit or
// control bytes in a display name or an unstructured value become encoded
// words, and a display name whose quotes do not pair is quoted again.
std::string MendedHeaderLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || line[0] == ' ' || line[0] == '\t') {  // a continuation: text
    if (IsPlainAscii(line)) return std::string(line);
    const std::string_view text = TrimBlanks(line);
    return " " + EncodedWords(text, CharsetOf(text));
  }
  const std::string_view name = line.substr(0, colon), value = line.substr(colon + 1);
  const bool address = std::any_of(std::begin(kAddressFields), std::end(kAddressFields),
                                   [&](const char* field) { return EqualsNoCase(TrimBlanks(name), field); });
  const std::size_t open = value.rfind('<');
  // (An address with 8-bit bytes is no mailbox: the whole value is then text.)
  if (address && open != std::string_view::npos && IsPlainAscii(value.substr(open))) {
    const std::string_view display = TrimBlanks(value.substr(0, open));
    const std::string_view rest = value.substr(open);
    if (!IsPlainAscii(display)) {
      const std::string_view text = Unquoted(display);
      return std::string(name) + ": " + EncodedWords(text, CharsetOf(text)) + " " + std::string(rest);
    }
    if (display.find('"') != std::string_view::npos && !IsQuotedString(display))
      return std::string(name) + ": " + QuotedString(Unquoted(display)) + " " + std::string(rest);
    return std::string(line);
  }
  if (IsPlainAscii(value)) return std::string(line);
  const std::string_view text = TrimBlanks(value);
  return std::string(name) + ": " + EncodedWords(text, CharsetOf(text));
}

// `line` broken into lines of at most kFoldAt octets, each continuation
// beginning with a space (a folded field).
std::string Folded(std::string_view line) {
  std::string out;
  while (line.size() > kFoldAt) {
    // At the last blank of the line's allowance, or, with none, anywhere.
    std::size_t cut = line.substr(0, kFoldAt).find_last_of(" \t");
    if (cut == std::string_view::npos || cut == 0) cut = kFoldAt;
    out.append(line.substr(0, cut));
    out += "\r\n";
    line.remove_prefix(cut);
    if (line.empty() || (line.front() != ' ' && line.front() != '\t')) out += ' ';
  }
  out.append(line);
  return out;
}

void ReportNotEncoded(const std::string& what) {
  ReportServiceEvent(kEventTypeError, GatewayEvent::kAttachmentNotEncoded, {kEventSourceName, what.c_str()});
  DebugLog("SMTPOut- Unable to encode the Attachment file", CV_SRC, __LINE__);
}

// One ComposeMessage call: the phases of the message file and the mail written
// so far. A write that fails is remembered (sticky): such a mail is never sent.
class CComposer {
 public:
  CComposer(CFile& message, CFile& mail, SMTPOut& object, std::vector<std::string>& paths)
      : m_Message(message), m_Mail(mail), m_Object(object), m_Paths(paths) {}

  int Run();

 private:
  bool ReadLine(std::string& line);
  bool Write(std::string_view bytes);
  void WriteMimeBlock();
  void HeaderLine(const std::string& line);
  void FlushHeaderLine();
  void BodyLine(const std::string& line);
  void WriteText(std::string_view bytes);
  void WriteTextPart();
  void RewriteSubject(std::string_view text);
  void TakeAttachment(const std::string& line);
  void CloseParts();

  CFile& m_Message;
  CFile& m_Mail;
  SMTPOut& m_Object;
  std::vector<std::string>& m_Paths;

  std::int64_t m_Limit = 0;  // the message's size when composition began
  std::int64_t m_Read = 0;   // bytes of it read into m_Buffer
  std::string m_Buffer;      // m_Buffer[m_Used, m_Buffered) is read, not yet taken as lines
  std::size_t m_Used = 0;
  std::size_t m_Buffered = 0;
  int m_Send = kComposeNotToBeSent;
  bool m_ReceivedFax = false;
  bool m_Multipart = false;  // fixed once the MIME block has announced it
  std::int32_t m_SubjectLine = 0;
  std::int32_t m_NotifyOnSuccess = 1;
  std::int32_t m_NotifyOnFailure = 1;
  std::string m_MailFrom;
  bool m_SubjectPending = false;
  bool m_MimeWritten = false;
  bool m_InBody = false;
  bool m_BodyEnded = false;
  bool m_AttachmentSeen = false;
  bool m_AttachmentsClosed = false;
  bool m_HasDate = false;
  bool m_HasMessageId = false;
  std::string m_HeaderLine;  // a header line read in pieces, not yet written
  std::string m_Previous;
  std::string m_Identifier;
  std::string m_BoundaryLine;
  std::int64_t m_SubjectPosition = -1;
  std::string m_FileName;
  std::string m_DisplayName;
  // The text part, kept until it is whole: only then is it known whether it
  // can go out as it stands, which its header fields must say first.
  std::string m_Text;
  bool m_TextWritten = false;
  bool m_WriteFailed = false;
};

// A line of the message file (through its LF, or a piece of kMessageLineSize
// bytes), never past m_Limit: a file that grows while it is read cannot make
// composition go on for ever. A last line without a LF is not a line.
bool CComposer::ReadLine(std::string& line) {
  line.clear();
  // The file is read a block at a time: a read per line cost two system calls a line.
  if (m_Buffered - m_Used < kMessageLineSize && m_Read < m_Limit) {
    m_Buffer.erase(0, m_Used);
    m_Buffered -= m_Used;
    m_Used = 0;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kReadBlock, m_Limit - m_Read));
    m_Buffer.resize(m_Buffered + want);
    const std::int64_t got = FileRead(m_Message, m_Buffer.data() + m_Buffered, want);
    m_Read += got;
    m_Buffered += static_cast<std::size_t>(got);
    if (got <= 0) m_Read = m_Limit;  // what is there is all there is
  }
  const std::size_t left = m_Buffered - m_Used;
  if (left == 0) return false;
  const std::size_t span = std::min(left, kMessageLineSize);
  const void* lineFeed = std::memchr(m_Buffer.data() + m_Used, '\n', span);
  std::size_t length = span;
  if (lineFeed != nullptr) {
    length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - (m_Buffer.data() + m_Used)) + 1;
  } else if (span < kMessageLineSize) {
    return false;
  }
  line.assign(m_Buffer, m_Used, length);
  m_Used += length;
  return true;
}

bool CComposer::Write(std::string_view bytes) {
  if (bytes.empty()) return true;
  if (FileWrite(m_Mail, bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size())) return true;
  if (!m_WriteFailed) LogLastError();
  m_WriteFailed = true;
  return false;
}

void CComposer::WriteMimeBlock() {
  if (!Write("Return-Receipt-To:") || !Write(kCrLf))
    DebugLog("SMTPOut- Error: write failed", CV_SRC, __LINE__);
  if (!m_HasDate) Write("Date: " + m_Object.MakeDate() + kCrLf);
  if (!m_HasMessageId) Write("Message-ID: " + m_Object.MakeMessageId() + kCrLf);
  Write("MIME-Version: 1.0\r\n");
  Write(m_Multipart ? "Content-Type: multipart/mixed;\r\n" : "Content-Type: text/plain;\r\n");
  char identifier[kIdentifierSize] = {};
  if (m_Object.MakeIdentifier(identifier, sizeof identifier) < 0) {
    DebugLog("SMTPOut- Error retrieving os_genid()", CV_SRC, __LINE__);
  }
  identifier[kIdentifierSize - 1] = '\0';
  m_Identifier = identifier;
  if (m_Multipart) {
    Write("        boundary=\"" + std::string(kBoundaryPrefix) + m_Identifier + "\"\r\n\r\n");
    m_BoundaryLine = kBoundaryPrefix + m_Identifier + kCrLf;
  }
  // A text/plain mail's remaining fields wait for its text (WriteTextPart).
  m_MimeWritten = true;
  m_InBody = true;
}

// The text part once it is whole: as it stands when it is plain 7-bit text of
// short lines, else quoted-printable with its charset; line ends CR LF.
void CComposer::WriteTextPart() {
  if (m_TextWritten || !m_MimeWritten) return;
  m_TextWritten = true;
  CTextScan scan;
  scan.Add(m_Text);
  const bool encoded = scan.NeedsEncoding();
  const std::string charset = scan.Charset();
  std::string out;
  if (m_Multipart) {
    out = "--" + m_BoundaryLine + "Content-Type: text/plain";
    out += encoded ? "; charset=" + charset + "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" : "\r\n\r\n";
  } else {
    if (encoded) out = "        charset=" + charset + ";\r\n";
    out += "        boundary=\"" + std::string(kBoundaryPrefix) + m_Identifier + "\"\r\n";
    if (encoded) out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += kCrLf;
  }
  CTextBodyEncoder encoder(encoded);
  encoder.Add(m_Text, out);
  encoder.Finish(out);
  std::string().swap(m_Text);
  Write(out);
}

void CComposer::HeaderLine(const std::string& line) {
  if (Holds(line, "BEGIN BODY")) {
    // The marker counts only between two empty lines; the line after it is
    // consumed either way.
    FlushHeaderLine();
    std::string next;
    ReadLine(next);
    if (IsEmptyLine(m_Previous) && IsEmptyLine(next)) WriteMimeBlock();
  } else if (IsEmptyLine(line) && m_HeaderLine.empty()) {
    // empty lines among the header lines are dropped
  } else {
    m_HeaderLine += line;
    if (line.back() == '\n') FlushHeaderLine();
  }
  m_Previous = line;
}

// Writes the header line gathered so far, mended, with CR LF.
void CComposer::FlushHeaderLine() {
  if (m_HeaderLine.empty()) return;
  std::string text(WithoutLineEnd(m_HeaderLine));
  m_HeaderLine.clear();
  // A CR or a NUL inside would end the field early or cut it.
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
  // A line that is neither a field nor the continuation of one would end the
  // header there for the receiver, and the MIME fields would become text.
  if (text.empty()) return;
  if (text[0] != ' ' && text[0] != '\t' && !HasFieldName(text)) {
    DebugLogStr("SMTPOut- Error: header line without a field name left out: ", PrintableText(text).c_str(), CV_SRC,
                __LINE__);
    return;
  }
  if (StartsWithNoCase(text, "Date:")) m_HasDate = true;
  if (StartsWithNoCase(text, "Message-ID:")) m_HasMessageId = true;
  text = Folded(MendedHeaderLine(text));
  if (m_SubjectPending && m_SubjectLine == 1 && !m_ReceivedFax) {
    // Room for " - " and the body's "Subject : " text, filled in later.
    Write(text);
    m_SubjectPosition = m_WriteFailed ? -1 : m_Mail.Seek(0, FileSeek::kCurrent);
    Write(std::string(kSubjectReserve, ' ') + kCrLf);
    m_SubjectPending = false;
  } else {
    Write(text + kCrLf);
  }
}

// The Subject header's reserved spaces become " - " and the first 29
// characters of `text` (without its line end), padded to the same width;
// 8-bit text as one encoded word of what fits.
void CComposer::RewriteSubject(std::string_view text) {
  text = WithoutLineEnd(text);
  text = text.substr(0, std::min(text.size(), kSubjectTextMax));
  std::string block = " - ";
  if (IsPlainAscii(text)) {
    block.append(text);
  } else {
    const char* charset = CharsetOf(text);
    const std::size_t room = kSubjectReserve - block.size() - std::strlen(charset) - 7;  // "=?" "?B?" "?="
    std::size_t take = std::min(text.size(), room / 4 * 3);
    while (take > 0 && take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) --take;
    if (take > 0) block += EncodedWords(text.substr(0, take), charset);
  }
  block.resize(kSubjectReserve, ' ');
  block += kCrLf;
  const std::int64_t here = m_Mail.Seek(0, FileSeek::kCurrent);
  if (here < 0 || m_Mail.Seek(m_SubjectPosition, FileSeek::kBegin) < 0) {
    m_WriteFailed = true;
    return;
  }
  Write(block);
  if (m_Mail.Seek(here, FileSeek::kBegin) < 0) m_WriteFailed = true;
}

void CComposer::WriteText(std::string_view bytes) {
  if (m_TextWritten) return;  // (nothing is text after the first part)
  m_Text.append(bytes);
}

void CComposer::BodyLine(const std::string& line) {
  const std::size_t subject = line.find("Subject : ");
  if (m_SubjectLine == 1 && !m_ReceivedFax && subject != std::string::npos && m_SubjectPosition >= 0) {
    RewriteSubject(std::string_view(line).substr(subject + std::strlen("Subject : ")));
  }
  if (Holds(line, "END BODY")) {
    std::string next;
    ReadLine(next);
    if (IsEmptyLine(m_Previous) && IsEmptyLine(next)) m_BodyEnded = true;
  } else {
    WriteText(line);
  }
  m_Previous = line;
}

// The gateway's own files in IN: the messages and the mail files made from
// them. As an attachment one would be deleted with the message (another
// fax's mail lost), or be the very file being written (it would double with
// each naming). Windows drops trailing dots and blanks from a name, so they
// do not hide one.
bool IsGatewayFile(std::string_view name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
  return PatternMatch("*.tmp", name) || PatternMatch("*.zqx", name);
}

// One "<<display:file>>" line. A line whose names exceed their limits, lack
// the file name, or name anything but a plain file in IN that is not one of
// the gateway's own is left out of the mail: its names would overrun the fax
// server's fields or leave IN. A control byte is no part of a file name (a
// NUL would cut it short, to a name that was never checked).
void CComposer::TakeAttachment(const std::string& raw) {
  std::string_view line = raw;
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);

  const std::size_t colon = line.find(':');
  std::string_view fileText = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
  const std::size_t open = line.find("<<");
  std::string_view displayText = open == std::string_view::npos ? std::string_view() : line.substr(open + 2);
  bool usable = colon != std::string_view::npos && fileText.size() <= kFileNameTextMax &&
                displayText.size() <= kDisplayTextMax;
  if (usable) {
    const std::size_t close = fileText.find(">>");
    m_FileName =
        std::string(close == std::string_view::npos ? WithoutLineEnd(fileText) : fileText.substr(0, close));
    if (open != std::string_view::npos)
      m_DisplayName = std::string(displayText.substr(0, displayText.find(':')));
    const std::string program = m_Object.fileMan->ProgramPath();
    const std::string path = program + "IN" + kPathSeparatorText + m_FileName;
    usable = !m_FileName.empty() && m_FileName != "." && m_FileName != ".." &&
             m_FileName.find_first_of("/\\") == std::string::npos && path.size() <= kAttachmentPathMax &&
             std::none_of(m_FileName.begin(), m_FileName.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x20; }) &&
             !IsGatewayFile(m_FileName);
    if (usable) {
      m_Paths.push_back(path);
      if (!m_Multipart) return;
      WriteTextPart();
      const int encoded =
          EncodeAttachment(path.c_str(), m_Mail, m_Object, m_DisplayName.c_str(), "--" + m_BoundaryLine);
      if (encoded == 4) m_WriteFailed = true;  // the mail holds part of a part
      if (encoded >= 1) ReportNotEncoded(path);
      return;
    }
  }
  DebugLogStr("SMTPOut- Error: attachment line not usable: ",
              PrintableText(WithoutLineEnd(line)).c_str(), CV_SRC, __LINE__);
  ReportNotEncoded(std::string(WithoutLineEnd(line)));
}

// The closing delimiter of a multipart mail, after the text and its parts.
void CComposer::CloseParts() {
  WriteTextPart();
  if (m_Multipart) Write("------= Message-ID:" + m_Identifier + "--\r\n");
  m_AttachmentsClosed = true;
}

int CComposer::Run() {
  CFileMan& files = *m_Object.fileMan;
  m_Message.Seek(0, FileSeek::kBegin);
  m_Limit = std::max<std::int64_t>(0, m_Message.Size());
  m_Multipart = files.GetIncludeTIFF() != 0;
  m_SubjectLine = files.GetSubjectLine();
  m_NotifyOnSuccess = files.GetNotifyOnSuccess();
  m_NotifyOnFailure = files.GetNotifyOnFailure();
  char mailFrom[kMailFromBuffer] = "";
  if (files.GetMailFrom(mailFrom, sizeof mailFrom) == 0) m_MailFrom = mailFrom;

  for (std::string line; ReadLine(line);) {
    if (!m_MailFrom.empty() && Holds(line, "FROM:")) {
      // Cut in the address, never in the line end: a line without it would
      // run into the next header line.
      line = "FROM:" + m_MailFrom.substr(0, kMaxFromLine - 7) + kCrLf;
    }
    if (Holds(line, "SUBJECT:")) {
      m_Send = kComposeToBeSent;
      if (Holds(line, "Fax received from")) {
        m_ReceivedFax = true;
        // The mail's structure is fixed once its Content-Type is written.
        if (!m_MimeWritten) m_Multipart = true;
      }
      if (Holds(line, "sent OK") && m_NotifyOnSuccess == 0 && !m_ReceivedFax) m_Send = kComposeNotToBeSent;
      if (Holds(line, "rejected") && m_NotifyOnFailure == 0 && !m_ReceivedFax) m_Send = kComposeNotToBeSent;
      m_SubjectPending = true;
    }

    if (!m_InBody) {
      HeaderLine(line);
    } else if (!m_BodyEnded) {
      BodyLine(line);
    } else if (!m_AttachmentSeen) {
      if (Holds(line, "BEGIN ATTACH")) {
        std::string attachment;
        ReadLine(attachment);
        m_AttachmentSeen = true;
        TakeAttachment(attachment);
      } else {
        WriteText(line);  // after the body, still the text part's
      }
    } else if (m_AttachmentsClosed) {
      // what follows "END ATTACH" is not part of the mail
    } else if (Holds(line, "END ATTACH")) {
      CloseParts();
    } else {
      DebugLog("SMTPOut- Multiple attachments found", CV_SRC, __LINE__);
      TakeAttachment(line);
    }
  }
  FlushHeaderLine();
  // A mail whose message file ended before "END ATTACH" (or had no
  // attachment block) still ends its text, and a multipart one its parts.
  if (m_MimeWritten && !m_AttachmentsClosed) CloseParts();
  Write(".\r\n");
  const bool changed = m_Message.Size() != m_Limit;
  m_Message.Seek(0, FileSeek::kBegin);
  m_Mail.Seek(0, FileSeek::kBegin);
  if (m_WriteFailed) {
    DebugLog("SMTPOut- Error: Unable to write to the output file", CV_SRC, __LINE__);
    return kComposeFailed;
  }
  if (changed) {
    DebugLog("SMTPOut- Error: the message file changed while it was read; it is not sent as it stands", CV_SRC,
             __LINE__);
    return kComposeChanged;
  }
  if (m_Send == kComposeToBeSent && !m_MimeWritten) {
    DebugLog("SMTPOut- Error: the message header does not end (no BEGIN BODY between empty lines)", CV_SRC,
             __LINE__);
    return kComposeNoHeaderEnd;
  }
  return m_Send;
}

}  // namespace

int ComposeMessage(CFile& message, CFile& mail, SMTPOut& object, std::vector<std::string>& attachmentPaths) {
  attachmentPaths.clear();
  CComposer composer(message, mail, object, attachmentPaths);
  return composer.Run();
}

int FindRecipient(CFile& mail, char* receiver, std::size_t size) {
  std::string bare;
  const int found = FindHeaderAddress(mail, "TO:", bare);
  if (found == 1) return 1;
  for (char& c : bare) c = AsciiUpper(c);
  const std::string name = "TO: <" + bare + ">";
  // The first TO: field decides: one that names nobody usable (empty, "<>",
  // a control byte, too long to fit) makes the message undeliverable, never
  // a search for another address.
  if (found != 0 || !IsMailbox(bare) || receiver == nullptr || name.size() >= size) {
    DebugLog("SMTPOut- TO: line without a usable address", CV_SRC, __LINE__);
    return 1;
  }
  std::memcpy(receiver, name.c_str(), name.size() + 1);
  return 0;
}

int EncodeAttachment(const char* path, CFile& mail, SMTPOut& object, const char* displayName,
                     const std::string& delimiter) {
  (void)object;  // the part is made in memory: no work file in the program directory
  // Only a plain file in IN: a directory, a pipe or a link to elsewhere is
  // not an attachment (a pipe would hang the read, a link leave IN).
  CStdioFile source = FileIsPlain(path) ? CStdioFile::Open(path, "rb") : CStdioFile();
  if (!source.IsOpen()) {
    DebugLog("SMTPOut- Error: Unable to open the Attachment file BEFORE Encode", CV_SRC, __LINE__);
    return 1;
  }
  // One buffer for every part this thread makes: a fresh one of a fax's size
  // would be mapped and unmapped, its pages faulted in, for every mail.
  thread_local std::string part;
  part.assign(delimiter);
  EncodePart(source, displayName, kCrLf, part);
  // A source that could not be read to its end would make a part that looks whole.
  const bool sourceFailed = source.Error();
  source.Close();
  if (sourceFailed) return 2;
  part += kCrLf;
  if (FileWrite(mail, part.data(), part.size()) != static_cast<std::int64_t>(part.size())) {
    DebugLog("SMTPOut- Error: Unable to write to the output file", CV_SRC, __LINE__);
    return 4;
  }
  return 0;
}
