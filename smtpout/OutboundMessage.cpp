// smtpout/OutboundMessage.cpp: one delivery attempt of one message file in
// IN, and what becomes of the file: deleted once delivered, left for its next
// attempt, or given the error name that says why it cannot be delivered.
//
// A message is settled the moment the receiver confirms it with its 250: its
// file is deleted then, before QUIT. One that cannot be deleted is remembered
// as done for the rest of the process and never sent again; so is one whose
// error name cannot be given.
//
// Threading: outbound main thread only.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "log/MailLog.h"
#include "mime/Address.h"
#include "smtpout/Compose.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

using Clock = CDeliverySchedule::Clock;

constexpr std::size_t kPathBuffer = 260;

// The outbound mail file. While the primary log is on it has its name in IN,
// which becomes its debug copy; otherwise it is a scratch file that costs the
// file system nothing and vanishes when it is closed.
class CMailFile {
 public:
  explicit CMailFile(std::string path) : m_Path(std::move(path)), m_Named(IsPrimaryLogOn()) {
    m_File = m_Named ? CFile::Open(m_Path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways)
                     : CFile::OpenScratch(m_Path);
  }
  CFile& File() { return m_File; }
  // The message is done with: the named mail file becomes the debug copy.
  void Finish() {
    m_File.Close();
    if (m_Named) KeepDebugCopy(m_Path.c_str());
  }
  void Drop() {
    m_File.Close();
    if (m_Named) FileDelete(m_Path);
  }

 private:
  std::string m_Path;
  bool m_Named;
  CFile m_File;
};

// The attachment files of a message that is done with. Only plain files: a
// directory or a link named as one was never attached and is not ours.
void DeleteSources(const std::vector<std::string>& sources) {
  for (const std::string& source : sources) {
    if (!FileIsPlain(source) || !FileDelete(source))
      DebugLogStr("SMTPOut- Error: attachment file not deleted: ", source.c_str(), CV_SRC, __LINE__);
  }
}

// One attempt of one message, from its opening to what becomes of its file.
class CDeliveryRun {
 public:
  CDeliveryRun(SMTPOut& out, std::string name)
      : m_Out(out), m_Files(*out.fileMan), m_Schedule(out.Schedule()), m_Name(std::move(name)) {}

  bool Run();

 private:
  void Defer(const char* why);
  void GiveUp(const char* suffix, bool upper, const std::string& reason);
  void Failed(const char* lastSuffix);
  void Settle();
  // The message's line in the mail log: "delivered", "deferred" or "refused".
  void LogOutcome(const char* outcome, const std::string& reply);

  SMTPOut& m_Out;
  CFileMan& m_Files;
  CDeliverySchedule& m_Schedule;
  const std::string m_Name;
  std::string m_Path;
  CFile m_Message;
  std::vector<std::string> m_Sources;
  bool m_Settled = false;
  std::string m_Recipient;  // the receiver, once read from the message
};

void CDeliveryRun::LogOutcome(const char* outcome, const std::string& reply) {
  COutboundMailRecord record;
  record.messageFile = m_Name;
  record.recipient = m_Recipient;
  record.exchanger = m_Out.LastExchanger();
  record.tls = m_Out.LastTls();
  record.reply = reply;
  record.outcome = outcome;
  MailLogOutbound(record);
}

// Not this time, and no attempt counted: a local trouble (the mail file, the
// disk) that the next poll may not have.
void CDeliveryRun::Defer(const char* why) {
  DebugLogStr(why, m_Name.c_str(), CV_SRC, __LINE__);
  m_Schedule.Defer(m_Name, Clock::now() + std::chrono::milliseconds(m_Out.PollMs()));
}

// The message's error name and one event 435 with the old and the new path
// and why; a message whose name cannot be changed is logged and reported
// once and then left alone for the rest of the process. A message still open
// is renamed through its handle, which no other program's open can stop.
void CDeliveryRun::GiveUp(const char* suffix, bool upper, const std::string& reason) {
  const std::string target = OutboundErrorName(m_Path, suffix, upper);
  const bool moved =
      m_Message.IsValid() ? m_Files.Que_CloseAndRenameMsg(m_Message, target) == 0 : FileMove(m_Path, target);
  if (!moved) {
    DebugLog("SMTPOut- Could not rename the message file.", CV_SRC, __LINE__);
    LogLastError();
    DebugLogStr("SMTPOut- The message is left as it is and not sent again: ", m_Name.c_str(), CV_SRC, __LINE__);
  }
  ReportServiceEvent(kEventTypeError, GatewayEvent::kMessageNotDelivered,
                     {kEventSourceName, m_Path.c_str(), target.c_str(), reason.empty() ? nullptr : reason.c_str()});
  LogOutcome("refused", reason);
  if (moved) {
    m_Schedule.Forget(m_Name);
  } else {
    m_Schedule.Done(m_Name);
  }
}

// A temporary failure: the message waits for its next attempt, or, after its
// last, gets the name that says what the last one met (`lastSuffix`).
void CDeliveryRun::Failed(const char* lastSuffix) {
  const int attempts = m_Schedule.Failed(m_Name, Clock::now());
  if (attempts < CDeliverySchedule::kAttempts) {
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(m_Schedule.DelayAfter(attempts));
    char text[kPathBuffer + 128];
    std::snprintf(text, sizeof text, "SMTPOut- Attempt %d of %d failed, the next in %lld ms: %s", attempts,
                  CDeliverySchedule::kAttempts, static_cast<long long>(delay.count()),
                  PrintableText(m_Name).c_str());
    DebugLog(text, CV_SRC, __LINE__);
    LogOutcome("deferred", m_Out.LastReply());
    if (m_Message.IsValid()) m_Files.Que_CloseMsg(m_Message);
    return;
  }
  GiveUp(lastSuffix, true, m_Out.LastReply());
}

// The receiver has the mail: the message and its attachment files go now.
void CDeliveryRun::Settle() {
  if (m_Settled) return;
  m_Settled = true;
  m_Files.Que_CloseAndDeleteMsg(m_Message);
  if (FileExists(m_Path)) {
    DebugLogStr("SMTPOut- Error: the message is done with but cannot be deleted; it is not sent again: ",
                m_Name.c_str(), CV_SRC, __LINE__);
    m_Schedule.Done(m_Name);
    return;
  }
  m_Schedule.Forget(m_Name);
  DeleteSources(m_Sources);
}

bool CDeliveryRun::Run() {
  char path[kPathBuffer] = "";
  const int opened = m_Files.Que_OpenNamedMsg(m_Name, m_Message, path, sizeof path);
  if (opened == ERROR_SHARING_VIOLATION) {
    DebugLogStr("SMTPOut- Message in use, looked at again later: ", m_Name.c_str(), CV_SRC, __LINE__);
    return false;
  }
  if (opened == 2) {
    DebugLogStr("SMTPOut- Error: not a plain file, left alone: ", m_Name.c_str(), CV_SRC, __LINE__);
    m_Schedule.Done(m_Name);
    return true;
  }
  if (opened != 0) {
    Defer("SMTPOut- no files to send: ");
    return true;
  }
  m_Path = path;
  // An empty message is one whose writer has not written it yet: taken for a
  // message without a subject, it would be dropped.
  if (m_Message.Size() == 0) {
    m_Files.Que_CloseMsg(m_Message);
    Defer("SMTPOut- Message file still empty, looked at again later: ");
    return true;
  }
  CMailFile mailFile(std::string(m_Files.ProgramPath()) + "IN" + kPathSeparatorText +
                     std::to_string(m_Message.Id()) + ".zqx");
  CFile& mail = mailFile.File();
  if (!mail.IsValid()) {
    DebugLog("SMTPOut- SMTPOutThread() : Unable to create & new file for send.", CV_SRC, __LINE__);
    LogLastError();
    m_Files.Que_CloseMsg(m_Message);  // released, so that a later attempt can take it
    Defer("SMTPOut- Message left for the next poll: ");
    return true;
  }

  const int composed = ComposeMessage(m_Message, mail, m_Out, m_Sources);
  if (composed == kComposeFailed) {
    m_Files.Que_CloseMsg(m_Message);
    mailFile.Drop();
    Defer("SMTPOut- Message left for the next poll: ");
    return true;
  }
  if (composed == kComposeChanged) {
    m_Files.Que_CloseMsg(m_Message);
    mailFile.Drop();
    m_Out.SetLastReply("the message file changed while it was read");
    Failed(".Changed.Err");
    return true;
  }
  if (composed == kComposeNotToBeSent) {
    DebugLog("SMTPOut- encoding not done.", CV_SRC, __LINE__);
    Settle();
    mailFile.Finish();
    return true;
  }

  char receiver[kWorkBufferSize] = "";
  if (composed == kComposeNoHeaderEnd || FindRecipient(mail, receiver, sizeof receiver) != 0) {
    m_Files.Que_CloseMsg(m_Message);
    mailFile.Drop();
    DebugLog("SMTPOut- ERROR: no rcpt name", CV_SRC, __LINE__);
    // The attachments stay with the renamed message, which is kept for a person to look at.
    GiveUp(".NoName.Err", false, composed == kComposeNoHeaderEnd ? "the message header does not end"
                                                                  : "no usable TO: line in the message header");
    return true;
  }
  DebugLogStr("SMTPOut- receiver name: ", PrintableText(receiver).c_str(), CV_SRC, __LINE__);
  const std::string bare = BareAddress(receiver);
  m_Recipient = bare;
  const std::string sender = m_Out.EnvelopeSender(mail);

  // The message and its attachment files go the moment the receiver has
  // the mail, before QUIT: a crash while QUIT waits for its reply must not
  // make the next start send the mail again.
  m_Out.SetAcceptedHook([this] { Settle(); });
  const std::uint32_t sent =
      m_Out.SendOutboundMsg(mail, sender.c_str(), bare.c_str(), receiver, kWorkBufferSize);
  m_Out.SetAcceptedHook(nullptr);
  if (sent == kSendDelivered || m_Settled) {
    m_Out.RelayUsable();
    Settle();
    LogOutcome("delivered", m_Out.DataEndReply());
    mailFile.Finish();
    return true;
  }
  m_Files.Que_CloseMsg(m_Message);
  mailFile.Drop();
  if (sent == kSendRefused) {
    DebugLogStr("SMTPOut- ERROR: refused for good: ", m_Out.LastReply().c_str(), CV_SRC, __LINE__);
    GiveUp(".Refused.Err", false, m_Out.LastReply());
    return true;
  }
  if (sent == kSendRelayUnusable) {  // waits for the configuration to be mended; no attempt counted
    m_Out.ReportRelayUnusable(m_Out.LastReply());
    m_Schedule.Defer(m_Name, Clock::now() + m_Schedule.DelayAfter(2));
    return true;
  }
  if (m_Out.shutdownFlag != 0) {  // the message waits for the next start; no attempt counted
    m_Files.Que_CloseMsg(m_Message);
    return true;
  }
  Failed(sent == kSendNoHost ? ".ConnFailed.Err" : ".ConnTermin.Err");
  return true;
}

}  // namespace

bool SMTPOutThread(SMTPOut* self, const std::string& name) {
  DebugLog("SMTPOut- New message thread started", CV_SRC, __LINE__);
  DebugLog("SMTPOut::SMTPOutThread() Begin.", CV_SRC, __LINE__);
  ++self->activeDeliveries;
  self->SetLastReply("");
  CDeliveryRun run(*self, name);
  const bool taken = run.Run();
  --self->activeDeliveries;
  DebugLog("SMTPOut- SMTPOutThread() end.", CV_SRC, __LINE__);
  return taken;
}

// "abc.tmp" becomes "abc<suffix>" (with `upper`: "ABC<suffix>"). Only the file
// name changes: the directories keep their letters, and a ".tmp" in a
// directory name is not the extension.
std::string OutboundErrorName(const std::string& path, const char* suffix, bool upper) {
  const std::size_t cut = path.find_last_of(kPathSeparator);
  const std::size_t start = cut == std::string::npos ? 0 : cut + 1;
  std::string name = path.substr(start);
  if (upper) {
    for (char& c : name) c = AsciiUpper(c);
  }
  // Messages match "*.tmp", so the name ends in the extension, in any case.
  std::size_t extension = name.size() >= 4 ? name.size() - 4 : std::string::npos;
  if (extension == std::string::npos ||
      (name[extension] != '.' || (name[extension + 1] | 0x20) != 't' || (name[extension + 2] | 0x20) != 'm' ||
       (name[extension + 3] | 0x20) != 'p'))
    extension = name.size();
  return path.substr(0, start) + name.substr(0, extension) + suffix;
}
