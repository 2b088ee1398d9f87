// smtpin/SMTPInThread.cpp: the inbound SMTP session.
//
// Threading: see SMTPInThread.h. QUE_AddMsg takes the file manager's lock; the
// hand-off takes the server's submission lock.
#include "smtpin/SMTPInThread.h"

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/NetworkList.h"
#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "mime/Address.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SpoolWriter.h"
#include "spool/CFileMan.h"

namespace {

constexpr unsigned StateBit(int state) { return 1u << state; }
constexpr unsigned kInHelo = StateBit(SMTPInThread::kWaitHelo);
constexpr unsigned kInMail = StateBit(SMTPInThread::kWaitMail);
constexpr unsigned kInRcpt = StateBit(SMTPInThread::kWaitRcptOrData);
constexpr unsigned kAnyState = kInHelo | kInMail | kInRcpt;

constexpr char kBadSequence[] = "503 Bad Sequence Of Commands.\r\n";
constexpr char kLineTooLong[] = "500 Line too long.\r\n";
constexpr std::size_t kLoggedLineLimit = 100;
constexpr std::size_t kLongestVerb = 8;  // STARTTLS
constexpr char kHelpText[] =
    "214- SMTP Fax Gateway Service \r\n"
    "214- ================================================ \r\n"
    "214- Commands Accepted: \r\n"
    "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n"
    "214-    NOOP   RSET  \r\n"
    "214- Normal Communication Sequence: \r\n"
    "214-    HELO example.com \r\n"
    "214-    MAIL From:<sender@example.com> \r\n"
    "214-    RCPT To:<recipient@example.net> \r\n"
    "214-    DATA \r\n"
    "214-          << send email message here>> \r\n"
    "214-\t\tQUIT \r\n"
    "214  ================================================ \r\n";

void LogBoth(const char* text, const std::string& value, int line) {
  DebugLogStr(text, value.c_str(), CV_SRC, line);
  DebugLog2Str(text, value.c_str(), CV_SRC, line);
}

std::string FileNamePart(const char* path) {
  char part[SMTPInThread::kSpoolPathSize];
  PathFileNamePart(path, part, sizeof part);
  return part;
}

std::int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A data piece that is exactly the end line "." CR LF.
bool IsEndLine(const char* piece, int count) {
  return count == 3 && piece[0] == '.' && piece[1] == '\r' && piece[2] == '\n';
}

}  // namespace

const SMTPInThread::CommandEntry SMTPInThread::kCommandTable[kCommandCount] = {
    {nullptr, kAnyState, false, &SMTPInThread::OnUnknown}, {"HELO", kInHelo, true, &SMTPInThread::OnHelo},
    {"MAIL", kInMail, true, &SMTPInThread::OnMail},        {"RCPT", kInRcpt, true, &SMTPInThread::OnRcpt},
    {"DATA", kInRcpt, true, &SMTPInThread::OnData},        {"HELP", kAnyState, false, &SMTPInThread::OnHelp},
    {"QUIT", kAnyState, false, &SMTPInThread::OnQuit},     {"NOOP", kAnyState, false, &SMTPInThread::OnNoop},
    {"RSET", kAnyState, false, &SMTPInThread::OnRset},
    {"EHLO", kInHelo, true, &SMTPInThread::OnEhlo},
    {"STARTTLS", kInHelo | kInMail, false, &SMTPInThread::OnStartTls},
};

namespace {
// The test build lets a test shorten the limit (platform/FaultInjection.h).
std::uint32_t MailTimeLimitMs() {
  static const std::uint32_t limit =
      TestDurationMs("CVSMTPGW_MAIL_TIME_LIMIT_MS", SMTPInThread::kMailTimeLimitMs);
  return limit;
}
std::uint32_t TlsHandshakeMs() {
  static const std::uint32_t limit = TestDurationMs("CVSMTPGW_TLS_HANDSHAKE_MS", SMTPInThread::kTlsHandshakeMs);
  return limit;
}
std::uint32_t DeniedWaitMs() {
  static const std::uint32_t wait = TestDurationMs("CVSMTPGW_DENIED_WAIT_MS", SMTPInThread::kDeniedWaitMs);
  return wait;
}

constexpr char kAccessDenied[] = "554 Access denied\r\n";
constexpr char kNumberNotPermitted[] = "550 Fax number not permitted\r\n";
constexpr char kTooManyMails[] = "451 Too many mails from your address, try again later\r\n";
constexpr char kFaxLimitReached[] = "451 Fax limit reached, try again later\r\n";

// A reply as the mail log shows it: without its line end.
std::string ReplyShown(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
  return std::string(reply);
}
}  // namespace

SMTPInThread::SMTPInThread() : m_MailTimeLimitMs(MailTimeLimitMs()) {}

SMTPInThread::~SMTPInThread() = default;

SMTPIn* SMTPInThread::Server() const { return static_cast<SMTPIn*>(m_Server); }

int SMTPInThread::RecognizeCommand(const char* line) {
  // Only the first four characters count (a shorter line ends at its
  // terminator); a longer verb must be a word of its own.
  char verb[kLongestVerb + 1] = {};
  for (std::size_t i = 0; i < kLongestVerb && line[i] != '\0'; ++i) verb[i] = AsciiUpper(line[i]);
  for (int code = kHelo; code < kCommandCount; ++code) {
    const char* name = kCommandTable[code].verb;
    const std::size_t length = std::strlen(name);
    if (std::memcmp(verb, name, length) != 0) continue;
    if (length > 4 && line[length] != '\0' && line[length] != ' ') continue;
    return code;
  }
  return kUnknown;
}

int SMTPInThread::Refuse() { return 0; }

int SMTPInThread::Run() {
  DebugLog("SMTPIn - New Connection", CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn - New Connection", "", CV_SRC, __LINE__);
  m_Access = CurrentAccessSettings();
  m_ClientAddress = NetToHost32(m_PeerAddress.addr);
  m_MailLog.client = Ipv4Text(m_ClientAddress);
  if (!m_Access->ClientPermitted(m_ClientAddress)) {
    RefuseClient();
    return 0;
  }
  if (Server() != nullptr && Server()->FileMan() != nullptr) {
    Server()->FileMan()->GetDomainName(m_DomainName, sizeof m_DomainName);
  }
  RenewTimeLimit();
  Reply(std::string("220 ") + m_DomainName + " Service Ready\r\n");

  char line[kCommandLineSize + 1];
  while (!m_Ending) {
    if (m_StopAfterData || m_Cancelled.load() != 0) break;
    if (m_State == kReceivingData) {
      ReceiveMessage();
      continue;
    }
    LogWait();
    int length = ReadLine(line, kCommandLineSize);
    // A line that does not fit is refused whole, however long: taken in
    // pieces, its tail would run as a command of its own, and a client would
    // get replies to commands it never sent.
    const bool tooLong = length == kCommandLineSize;
    if (tooLong && SkipLine() != 1) length = 0;
    if (length <= 0) {
      if (DeadlinePassed()) EndAtTimeLimit();
      break;
    }
    if (tooLong) {
      LogBoth("SMTPIn- Command line too long, refused: ", PrintableText(line, kLoggedLineLimit), __LINE__);
      Reply(kLineTooLong);
      continue;
    }
    Dispatch(line);
  }

  m_HandOffSlot.Release();
  if (m_MailLogOpen) EndMailLog("the client left before the end of DATA");
  LogBoth("SMTPIn- Message processing complete: ", FileNamePart(m_SpoolFile), __LINE__);
  return 0;
}

void SMTPInThread::RefuseClient() {
  LogBoth("SMTPIn- Client not in ClientNetworks, refused: ", m_MailLog.client, __LINE__);
  Reply(kAccessDenied);
  EndMailLog(ReplyShown(kAccessDenied) + " (client not in ClientNetworks)");
  // The client may say QUIT (and hear 221) or anything else (503); either
  // way, or when it says nothing, the connection then ends.
  SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(DeniedWaitMs()));
  char line[kCommandLineSize + 1];
  const int length = m_Ending ? 0 : ReadLine(line, kCommandLineSize);
  if (length <= 0) return;
  ClearDeadline();
  SetSendTimeout(kFarewellSendMs);
  Reply(RecognizeCommand(line) == kQuit ? "221 Goodbye\r\n" : kBadSequence);
}

void SMTPInThread::NoteRecipient(std::string_view argument, bool accepted, std::string_view why) {
  if (!m_MailLogOpen) return;
  if (m_MailLog.recipients.size() >= kMaxLoggedRecipients) {
    ++m_MailLog.unlisted;
    return;
  }
  m_MailLog.recipients.push_back({std::string(argument), accepted, ReplyShown(why)});
}

void SMTPInThread::EndMailLog(std::string noSubmission) {
  m_MailLog.noSubmission = std::move(noSubmission);
  MailLogInbound(m_MailLog);
  m_MailLogOpen = false;
}

void SMTPInThread::LogWait() const {
  switch (m_State) {
    case kWaitHelo:
      DebugLog("SMTPIn- Wait for HELO", CV_SRC, __LINE__);
      break;
    case kWaitMail:
      DebugLog("SMTPIn- Wait for MAIL", CV_SRC, __LINE__);
      break;
    default:
      DebugLog("SMTPIn- Wait for RCPT or DATA", CV_SRC, __LINE__);
      break;
  }
}

void SMTPInThread::LogUnexpected(const char* line) const {
  switch (m_State) {
    case kWaitHelo:
      DebugLog("SMTPIn- HELO not received", CV_SRC, __LINE__);
      break;
    case kWaitMail:
      LogBoth("SMTPIn- MAIL not received: ", PrintableText(line), __LINE__);
      break;
    default:
      LogBoth("SMTPIn- RCPT or DATA not received: ", PrintableText(line), __LINE__);
      break;
  }
}

void SMTPInThread::Dispatch(const char* line) {
  const int code = RecognizeCommand(line);
  const CommandEntry& entry = kCommandTable[code];
  const bool allowed = (entry.allowedStates & StateBit(m_State)) != 0;
  if (!(entry.sequenceStep && allowed)) LogUnexpected(line);
  if (!allowed) {
    Reply(kBadSequence);
    return;
  }
  // The argument: everything after the four command characters, leading
  // spaces (not tabs) removed, up to the line's terminator.
  std::string_view argument;
  if (code != kUnknown) {
    argument = std::string_view(line + std::strlen(entry.verb));
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
  }
  (this->*entry.handler)(argument, line);
}

void SMTPInThread::OnHelo(std::string_view argument, const char*) {
  DebugLog("SMTPIn- HELO received", CV_SRC, __LINE__);
  m_Helo.assign(argument);
  DebugLogStr("SMTPIn- Acknowledged HELO (RelayDomainName): ", PrintableText(m_Helo).c_str(), CV_SRC,
              __LINE__);
  Reply(std::string("250 ") + m_DomainName + " " + m_Helo + "\r\n");
  m_State = kWaitMail;
}

void SMTPInThread::OnEhlo(std::string_view argument, const char*) {
  DebugLog("SMTPIn- EHLO received", CV_SRC, __LINE__);
  m_Helo.assign(argument);
  DebugLogStr("SMTPIn- Acknowledged EHLO (RelayDomainName): ", PrintableText(m_Helo).c_str(), CV_SRC, __LINE__);
  const CFileMan* fileMan = Server() != nullptr ? Server()->FileMan() : nullptr;
  const std::uint32_t size = fileMan != nullptr ? fileMan->GetMaxMessageSize() : 0;
  const bool offerTls = !TlsActive() && Server() != nullptr && Server()->TlsContext() != nullptr;
  // SIZE 0 says there is no fixed limit (RFC 1870).
  std::string reply = std::string("250-") + m_DomainName + "\r\n250-SIZE " + std::to_string(size) + "\r\n";
  reply += offerTls ? "250-8BITMIME\r\n250 STARTTLS\r\n" : "250 8BITMIME\r\n";
  Reply(reply);
  m_State = kWaitMail;
}

void SMTPInThread::OnStartTls(std::string_view argument, const char*) {
  DebugLog("SMTPIn- STARTTLS received", CV_SRC, __LINE__);
  CTlsContext* context = Server() != nullptr ? Server()->TlsContext() : nullptr;
  if (TlsActive()) {
    Reply("503 Bad sequence of commands\r\n");
    return;
  }
  if (!argument.empty()) {
    Reply("501 Syntax error (no parameters allowed)\r\n");
    return;
  }
  if (context == nullptr) {
    Reply("454 TLS not available\r\n");
    return;
  }
  Reply("220 Ready to start TLS\r\n");
  if (m_Ending) return;
  std::string error;
  std::size_t discarded = 0;
  const bool started = StartTls(*context, static_cast<int>(TlsHandshakeMs()), error, discarded);
  if (discarded > 0)
    LogBoth("SMTPIn- Plaintext sent after STARTTLS thrown away unread, bytes: ", std::to_string(discarded), __LINE__);
  if (!started) {
    LogBoth("SMTPIn- TLS handshake failed, connection closed: ", error, __LINE__);
    m_Ending = true;
    return;
  }
  LogBoth("SMTPIn- TLS started: ", TlsVersion() + " " + TlsCipher(), __LINE__);
  // Nothing learnt before the handshake counts (RFC 3207 4.2): the client
  // starts again with EHLO.
  m_Helo.clear();
  m_MailFrom.clear();
  m_Recipients.clear();
  m_State = kWaitHelo;
}

void SMTPInThread::OnMail(std::string_view argument, const char*) {
  DebugLog("SMTPIn- MAIL received", CV_SRC, __LINE__);
  if (Server() != nullptr && Server()->RequireTls() && !TlsActive()) {
    Reply("530 Must issue a STARTTLS command first\r\n");
    return;
  }
  m_MailLog.helo = m_Helo;
  m_MailLog.sender.assign(argument);
  m_MailLog.recipients.clear();
  m_MailLog.unlisted = 0;
  m_MailLog.size = 0;
  m_MailLog.submission.clear();
  if (Server() != nullptr && !Server()->RateLimits().TakeMail(m_ClientAddress, m_Access->clientMailLimit)) {
    LogBoth("SMTPIn- ClientMailLimit reached, mail refused from ", m_MailLog.client, __LINE__);
    Reply(kTooManyMails);
    EndMailLog(ReplyShown(kTooManyMails));
    return;
  }
  m_MailLogOpen = true;
  m_MailFrom.assign(argument);
  m_Recipients.clear();
  LogBoth("SMTPIn- Acknowledged MAIL (From): ", PrintableText(m_MailFrom), __LINE__);
  Reply("250 OK  " + m_MailFrom + " \r\n");
  m_State = kWaitRcptOrData;
}

void SMTPInThread::OnRcpt(std::string_view argument, const char*) {
  DebugLog("SMTPIn- RCPT received", CV_SRC, __LINE__);
  if (m_Recipients.size() >= kMaxRecipients) {
    Reply("452 Too many recipients\r\n");
    NoteRecipient(argument, false, "452 Too many recipients");
    return;
  }
  if (!m_Access->FaxNumberPermitted(FaxNumberKey(argument))) {
    LogBoth("SMTPIn- Fax number not permitted: ", PrintableText(argument), __LINE__);
    Reply(kNumberNotPermitted);
    NoteRecipient(argument, false, kNumberNotPermitted);
    return;
  }
  bool limitReached = false;
  if (Server() != nullptr && !Server()->RateLimits().TakeFaxRecipient(m_Access->faxRecipientLimit, limitReached)) {
    Reply(kFaxLimitReached);
    NoteRecipient(argument, false, kFaxLimitReached);
    return;
  }
  if (limitReached) {
    const std::string limit = std::to_string(m_Access->faxRecipientLimit);
    LogBoth("SMTPIn- FaxRecipientLimit reached for this hour: ", limit, __LINE__);
    ReportServiceEvent(kEventTypeWarning, GatewayEvent::kFaxLimitReached, {kEventSourceName, limit.c_str()});
  }
  NoteRecipient(argument, true, "");
  m_Recipients.emplace_back(argument);
  LogBoth("SMTPIn- Acknowledged RCPT (Recipient): ", PrintableText(m_Recipients.back()), __LINE__);
  Reply("250 OK  " + m_Recipients.back() + " \r\n");
}

void SMTPInThread::OnData(std::string_view, const char*) {
  DebugLog("SMTPIn- DATA received", CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- DATA received", "", CV_SRC, __LINE__);
  if (m_Recipients.empty()) {
    Reply(kBadSequence);
    return;
  }
  // A place in the hand-off queue first: while hand-offs fail the queue
  // fills, and mails that could not be handed off are better left with their
  // senders than piled up here.
  if (Server() != nullptr) {
    m_HandOffSlot = Server()->HandOffs().Reserve();
    if (!m_HandOffSlot) {
      Reply("451 Requested action aborted: local error in processing\r\n");
      return;
    }
  }
  Reply("354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  m_State = kReceivingData;
}

void SMTPInThread::OnHelp(std::string_view, const char*) { Reply(kHelpText); }

void SMTPInThread::OnQuit(std::string_view, const char*) {
  Reply("221 Goodbye\r\n");
  m_Ending = true;
}

void SMTPInThread::OnNoop(std::string_view, const char*) {
  Reply("250 Requested mail action ok, completed\r\n");
}

// RSET keeps the state, the sender and the recipients.
void SMTPInThread::OnRset(std::string_view, const char*) { Reply("250 Ok\r\n"); }

void SMTPInThread::OnUnknown(std::string_view, const char*) {
  Reply("500 Syntax Error, Command Unknown.\r\n");
}

void SMTPInThread::Reply(std::string_view text) {
  // A reply cut short (by the send time-out) was not given: the session ends.
  if (Send(text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())) m_Ending = true;
  if (IsPrimaryLogOn()) DebugLogStr("SMTPIn- Reply: ", PrintableText(text).c_str(), CV_SRC, __LINE__);
}

void SMTPInThread::RenewTimeLimit() {
  m_MailDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_MailTimeLimitMs);
  SetDeadline(m_MailDeadline);
}

void SMTPInThread::EndAtTimeLimit() {
  DebugLog("SMTPIn- Session time limit reached, connection closed", CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- Session time limit reached, connection closed", "", CV_SRC, __LINE__);
  // The farewell is not held up by a peer that does not read.
  ClearDeadline();
  SetSendTimeout(kFarewellSendMs);
  Reply(std::string("421 ") + m_DomainName + " Session time limit reached, closing transmission channel\r\n");
  m_Ending = true;
}

void SMTPInThread::ReceiveMessage() {
  DebugLog("SMTPIn- DATASTREAM start", CV_SRC, __LINE__);
  m_InData = true;
  CFileMan* fileMan = Server() != nullptr ? Server()->FileMan() : nullptr;
  CFile file;
  // Write errors are counted from before the first byte of the mail.
  const CSpoolSyncer::CTicket ticket =
      fileMan != nullptr ? fileMan->SpoolSync().Begin() : CSpoolSyncer::CTicket();
  const bool created = fileMan != nullptr && fileMan->QUE_AddMsg(file, m_SpoolFile, sizeof m_SpoolFile) == 0;
  CFileIdentity identity;
  if (created) file.Identity(identity);
  const std::string name = FileNamePart(m_SpoolFile);
  DebugLogStr("SMTPIn- Write First Message: ", name.c_str(), CV_SRC, __LINE__);

  CSpoolWriter writer(std::move(file));
  const std::string trace = "Received: from " + m_Helo + " by " + m_DomainName + " ; \r\n";
  writer.Write(trace.data(), trace.size());
  const std::uint64_t limit = fileMan != nullptr ? fileMan->GetMaxMessageSize() : 0;
  std::uint64_t received = 0;  // bytes of the mail as sent, the trace line not counted
  bool tooBig = false;

  // The data ends only at a line "." CR LF that follows a CR LF line end (or
  // starts the data): a bare-LF line end, a "." line ended by a bare LF and
  // the tail piece of a long line are data, so that no mail can smuggle
  // commands into the session. A dot that starts a line is the sender's
  // stuffing and is removed.
  char piece[kDataLineSize + 1];
  bool atLineStart = true;  // the next piece starts a line
  bool afterCrLf = true;    // ... and the line before ended with CR LF
  char lastByte = '\n';
  bool ended = false;
  for (;;) {
    const int count = ReadDataLine(piece, kDataLineSize);
    if (count <= 0) break;
    if (atLineStart && afterCrLf && IsEndLine(piece, count)) {
      ended = true;
      break;
    }
    const bool stuffed = atLineStart && piece[0] == '.';
    const std::size_t length = static_cast<std::size_t>(count - (stuffed ? 1 : 0));
    received += length;
    // Past the limit the rest is read but not kept: the client learns at the
    // end of the data, where SMTP lets the server refuse a whole mail.
    if (limit != 0 && received > limit) tooBig = true;
    if (!tooBig) {
      writer.Write(piece + (stuffed ? 1 : 0), length);
      SetDeadline(m_MailDeadline + std::chrono::milliseconds(received * 1000 / kDataBytesPerSecond));
    }
    const char beforeLast = count >= 2 ? piece[count - 2] : lastByte;
    lastByte = piece[count - 1];
    atLineStart = lastByte == '\n';
    afterCrLf = atLineStart && beforeLast == '\r';
  }

  DebugLogStr("SMTPIn- Datastream ended - close file: ", name.c_str(), CV_SRC, __LINE__);
  m_State = kWaitMail;
  m_InData = false;
  if (ended) RenewTimeLimit();
  if (!ended || tooBig) {
    // Nothing was acknowledged: the part received is dropped. After a lost
    // connection the session ends rather than read the rest of a message as
    // commands.
    writer.Abandon();
    m_HandOffSlot.Release();
    if (created) fileMan->QUE_RemoveMsg(m_SpoolFile, identity);
    m_MailLog.size = received;
    if (!ended) {
      EndMailLog("the connection ended during DATA");
      m_Ending = true;
      if (DeadlinePassed()) EndAtTimeLimit();
      return;
    }
    DebugLogStr("SMTPIn- Mail refused, larger than MaxMessageSize: ", name.c_str(), CV_SRC, __LINE__);
    Reply("552 Requested mail action aborted: exceeded storage allocation\r\n");
    EndMailLog("552 larger than MaxMessageSize");
    return;
  }
  CSpoolRecord record;
  record.recipients = m_Recipients;
  record.acknowledgedAt = NowNanoseconds();
  // A 250 is a promise: the mail, its recipients and its name are on disk first.
  // The staged envelope is empty: its name is what must be on disk, and the
  // directory's sync puts it there.
  const bool committed = writer.Commit(record);
  if (committed) FaultStep("spool-sync");
  const std::vector<std::string> synced =
      kGroupSyncOpensFiles ? std::vector<std::string>{} : std::vector<std::string>{m_SpoolFile};
  m_MailLog.size = received;
  if (!committed || !fileMan->SyncSpool(ticket, synced)) {
    m_HandOffSlot.Release();
    EndMailLog("the mail could not be stored (451 or no reply)");
    // The file may be on disk whole, record and all: a sync of its own can
    // succeed and still not vouch for it, when a write error was reported to
    // another sync meanwhile. A refusal whose removal a power cut undid would
    // become a fax job that the client sends again; when the removal cannot
    // be put on disk, no reply is the honest one.
    if (created && !WithdrawSpoolFile(*fileMan, identity)) {
      DebugLogStr("SMTPIn- Error: mail not stored, its spool file not surely removed, closed without a reply: ",
                  name.c_str(), CV_SRC, __LINE__);
      DebugLog2Str("SMTPIn- Error: mail not stored, its spool file not surely removed, closed without a reply: ",
                   name.c_str(), CV_SRC, __LINE__);
      m_Ending = true;
      return;
    }
    DebugLogStr("SMTPIn- Error: mail not stored, refused: ", name.c_str(), CV_SRC, __LINE__);
    Reply("451 Requested action aborted: local error in processing\r\n");
    return;
  }
  Reply("250 Mail Received OK\r\n");
  record.dataLength = writer.Written();
  HandOffSpoolFile(std::move(record), identity);
  if (m_StopAfterData) m_Ending = true;
}

bool SMTPInThread::WithdrawSpoolFile(CFileMan& fileMan, const CFileIdentity& identity) {
  if (!fileMan.QUE_RemoveMsg(m_SpoolFile, identity)) return false;
  // A fresh ticket: only the names are to go to disk now, and an error
  // reported before the removal touches nothing it made.
  for (int attempt = 0; attempt < kWithdrawSyncAttempts; ++attempt) {
    if (fileMan.SyncSpool(fileMan.SpoolSync().Begin(), {})) return true;
  }
  LogLastError();
  return false;
}

void SMTPInThread::HandOffSpoolFile(CSpoolRecord record, const CFileIdentity& identity) {
  // The mail is on disk and acknowledged: the server's hand-off threads take
  // it from here. When they take no more (the gateway stops), the spool file
  // waits for the hand-offs at the next start.
  SMTPIn* server = Server();
  auto line = std::make_shared<CInboundMailRecord>(m_MailLog);
  m_MailLogOpen = false;
  if (server != nullptr &&
      server->HandOffs().Add(m_SpoolFile, std::move(record), identity, std::move(m_HandOffSlot), line))
    return;
  line->noSubmission = "acknowledged, left for the next start as " + FileNamePart(m_SpoolFile);
  MailLogInbound(*line);
  DebugLogStr("SMTPIn- Stopping: received mail left for the next start: ", m_SpoolFile, CV_SRC, __LINE__);
}

void SMTPInThread::StopRequested(bool force) {
  // A mail being received may still be finished and acknowledged; a session
  // waiting for a command ends at once, without a word.
  if (!force && m_InData.load()) {
    m_StopAfterData = true;
    return;
  }
  Cancel();
}
