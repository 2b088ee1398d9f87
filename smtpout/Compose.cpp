// smtpout/Compose.cpp: ComposeMessage, FindRecipient and EncodeAttachment.
//
// Threading: outbound main thread only; each call keeps its state in locals.
#include "smtpout/Compose.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "mime/Address.h"
#include "mime/MimeEncoder.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

constexpr int kMessageLineSize = 259;  // longer lines come in pieces of this size
constexpr int kMailLineSize = 200;
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
constexpr std::size_t kCopyChunk = 64 * 1024;
constexpr const char kCrLf[] = "\r\n";
constexpr const char kBoundaryPrefix[] = "----= Message-ID:";

bool Holds(std::string_view line, std::string_view key) { return line.find(key) != std::string_view::npos; }

// The line without its line end (LF, or CR LF).
std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
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
  void BodyLine(const std::string& line);
  void RewriteSubject(std::string_view text);
  void TakeAttachment(const std::string& line);

  CFile& m_Message;
  CFile& m_Mail;
  SMTPOut& m_Object;
  std::vector<std::string>& m_Paths;

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
  std::string m_Previous;
  std::string m_Identifier;
  std::string m_BoundaryLine;
  std::int64_t m_SubjectPosition = -1;
  std::string m_FileName;
  std::string m_DisplayName;
  bool m_WriteFailed = false;
};

bool CComposer::ReadLine(std::string& line) {
  char buffer[kMessageLineSize];
  const int count = FileReadLine(m_Message, buffer, kMessageLineSize);
  line.assign(buffer, static_cast<std::size_t>(count));
  return count > 0;
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
  Write("MIME-Version: 1.0\r\n");
  Write(m_Multipart ? "Content-Type: multipart/mixed;\r\n" : "Content-Type: text/plain;\r\n");
  char identifier[kIdentifierSize] = {};
  if (m_Object.MakeIdentifier(identifier, sizeof identifier) < 0) {
    DebugLog("SMTPOut- Error retrieving os_genid()", CV_SRC, __LINE__);
  }
  identifier[kIdentifierSize - 1] = '\0';
  m_Identifier = identifier;
  Write("        boundary=\"" + std::string(kBoundaryPrefix) + m_Identifier + "\"\r\n\r\n");
  if (m_Multipart) {
    m_BoundaryLine = kBoundaryPrefix + m_Identifier + kCrLf;
    Write("--" + m_BoundaryLine + "Content-Type: text/plain\r\n\r\n");
  }
  m_MimeWritten = true;
  m_InBody = true;
}

void CComposer::HeaderLine(const std::string& line) {
  if (Holds(line, "BEGIN BODY")) {
    // The marker counts only between two empty lines; the line after it is
    // consumed either way.
    std::string next;
    ReadLine(next);
    if (m_Previous == kCrLf && next == kCrLf) WriteMimeBlock();
  } else if (line == kCrLf) {
    // empty lines among the header lines are dropped
  } else if (m_SubjectPending && m_SubjectLine == 1 && !m_ReceivedFax) {
    // Room for " - " and the body's "Subject : " text, filled in later.
    Write(std::string_view(line).substr(0, line.size() >= 2 ? line.size() - 2 : 0));
    m_SubjectPosition = m_WriteFailed ? -1 : m_Mail.Seek(0, FileSeek::kCurrent);
    Write(std::string(kSubjectReserve, ' ') + kCrLf);
    m_SubjectPending = false;
  } else {
    Write(line);
  }
  m_Previous = line;
}

// The Subject header's reserved spaces become " - " and the first 29
// characters of `text` (without its line end), padded to the same width.
void CComposer::RewriteSubject(std::string_view text) {
  text = WithoutLineEnd(text);
  std::string block = " - ";
  block.append(text.substr(0, std::min(text.size(), kSubjectTextMax)));
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

void CComposer::BodyLine(const std::string& line) {
  const std::size_t subject = line.find("Subject : ");
  if (m_SubjectLine == 1 && !m_ReceivedFax && subject != std::string::npos && m_SubjectPosition >= 0) {
    RewriteSubject(std::string_view(line).substr(subject + std::strlen("Subject : ")));
  }
  if (Holds(line, "END BODY")) {
    std::string next;
    ReadLine(next);
    if (m_Previous == kCrLf && next == kCrLf) {
      if (m_Multipart) Write("--" + m_BoundaryLine);
      m_BodyEnded = true;
    }
  } else {
    Write(line);
  }
  m_Previous = line;
}

// One "<<display:file>>" line. A line whose names exceed their limits, lack
// the file name, or name anything but a plain file in IN is left out of the
// mail: its names would overrun the fax server's fields or leave IN.
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
             m_FileName.find_first_of("/\\") == std::string::npos && path.size() <= kAttachmentPathMax;
    if (usable) {
      m_Paths.push_back(path);
      if (!m_Multipart) return;
      const int encoded = EncodeAttachment(path.c_str(), m_Mail, m_Object, m_DisplayName.c_str());
      if (encoded == 4) m_WriteFailed = true;  // the mail holds part of a part
      if (encoded >= 1) ReportNotEncoded(path);
      return;
    }
  }
  DebugLogStr("SMTPOut- Error: attachment line not usable: ", std::string(WithoutLineEnd(line)).c_str(),
              CV_SRC, __LINE__);
  ReportNotEncoded(std::string(WithoutLineEnd(line)));
}

int CComposer::Run() {
  CFileMan& files = *m_Object.fileMan;
  m_Message.Seek(0, FileSeek::kBegin);
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
        Write(line);
      }
    } else if (m_AttachmentsClosed) {
      // what follows "END ATTACH" is not part of the mail
    } else if (Holds(line, "END ATTACH")) {
      if (m_Multipart) Write("------= Message-ID:" + m_Identifier + "--\r\n");
      m_AttachmentsClosed = true;
    } else {
      DebugLog("SMTPOut- Multiple attachments found", CV_SRC, __LINE__);
      if (m_Multipart) Write("--" + m_BoundaryLine);
      TakeAttachment(line);
    }
  }
  // A multipart mail whose message file ended before "END ATTACH" (or had no
  // attachment block) still gets its closing delimiter.
  if (m_MimeWritten && m_Multipart && !m_AttachmentsClosed)
    Write("------= Message-ID:" + m_Identifier + "--\r\n");
  Write(".\r\n");
  m_Message.Seek(0, FileSeek::kBegin);
  m_Mail.Seek(0, FileSeek::kBegin);
  if (m_WriteFailed) {
    DebugLog("SMTPOut- Error: Unable to write to the output file", CV_SRC, __LINE__);
    return kComposeFailed;
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
  mail.Seek(0, FileSeek::kBegin);
  char line[kMailLineSize];
  for (int count; (count = FileReadLine(mail, line, kMailLineSize)) > 0;) {
    std::string text(WithoutLineEnd(std::string_view(line, static_cast<std::size_t>(count))));
    for (char& c : text) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (text.rfind("TO:", 0) != 0) continue;
    // The address after "TO:" (with or without its angle brackets); for the
    // whole line an address without brackets would keep the "TO:".
    const std::string name = "TO: <" + BareAddress(std::string_view(text).substr(3)) + ">";
    // An empty address names nobody; one that does not fit is never cut; one
    // with a control byte would be cut at a NUL or break the RCPT command line.
    const bool control = std::any_of(
        name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
    if (name.size() == 6 || control || receiver == nullptr || name.size() >= size) {
      DebugLog("SMTPOut- TO: line without a usable address", CV_SRC, __LINE__);
      continue;
    }
    std::memcpy(receiver, name.c_str(), name.size() + 1);
    mail.Seek(0, FileSeek::kBegin);
    return 0;
  }
  mail.Seek(0, FileSeek::kBegin);
  return 1;
}

int EncodeAttachment(const char* path, CFile& mail, SMTPOut& object, const char* displayName) {
  const std::string work = std::string(object.fileMan->ProgramPath()) + "IN" + kPathSeparatorText + "At" +
                           std::to_string(mail.Id()) + ".zqx";
  CStdioFile source = CStdioFile::Open(path, "rb");
  if (!source.IsOpen()) {
    DebugLog("SMTPOut- Error: Unable to open the Attachment file BEFORE Encode", CV_SRC, __LINE__);
    return 1;
  }
  const int encoded = EncodeFile(source, path, work.c_str(), displayName);
  // A source that could not be read to its end would make a part that looks whole.
  const bool sourceFailed = source.Error();
  source.Close();
  if (encoded != 0 || sourceFailed) {
    FileDelete(work);
    return 2;
  }
  CStdioFile part = CStdioFile::Open(work, "rb");
  if (!part.IsOpen()) {
    DebugLog("SMTPOut- Error: Unable to open the Attachment file AFTER Encode", CV_SRC, __LINE__);
    FileDelete(work);
    return 3;
  }
  bool written = true;
  std::unique_ptr<char[]> chunk(new char[kCopyChunk]);
  for (std::size_t n; written && (n = part.Read(chunk.get(), kCopyChunk)) > 0;) {
    written = FileWrite(mail, chunk.get(), n) == static_cast<std::int64_t>(n);
  }
  if (part.Error()) written = false;  // what was copied is not the whole part
  part.Close();
  FileDelete(work);
  if (written) written = FileWrite(mail, kCrLf, 2) == 2;
  if (!written) DebugLog("SMTPOut- Error: Unable to write to the output file", CV_SRC, __LINE__);
  return written ? 0 : 4;
}
