// smtpout/SMTPOut.cpp: the outbound deliverer's settings, its main thread and
// the delivery run of one message.
//
// Threading: see SMTPOut.h. The main thread runs every delivery itself.
#include "smtpout/SMTPOut.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "mime/Address.h"
#include "mime/MimeEncoder.h"
#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "smtpout/Compose.h"
#include "spool/CFileMan.h"
#include "spool/Ports.h"

namespace {

// Where MX lookups start when DNSName is missing.
constexpr const char kDefaultDnsServer[] = "a.root-servers.net";
constexpr std::size_t kDefaultDnsBuffer = 100;
constexpr std::size_t kPathBuffer = 260;

unsigned MainThreadEntry(void* argument) { return SMTPMainThread(static_cast<SMTPOut*>(argument)); }

// Gives an undeliverable message its error name and reports it (event 435),
// whether or not the move succeeded. True when the file was moved.
bool MoveToErrorName(const std::string& path, const char* suffix, bool upper, const char* failureText) {
  const std::string target = OutboundErrorName(path, suffix, upper);
  const bool moved = FileMove(path, target);
  if (!moved) {
    DebugLog(failureText, CV_SRC, __LINE__);
    LogLastError();
  }
  ReportServiceEvent(kEventTypeError, GatewayEvent::kMessageNotDelivered, {kEventSourceName, path.c_str(), target.c_str()});
  return moved;
}

// The outbound mail file after its message is done with: the debug copy while
// the primary log is on, else deleted.
void FinishMailFile(CFile& mail, const std::string& path) {
  mail.Close();
  if (IsPrimaryLogOn()) {
    KeepDebugCopy(path.c_str());
  } else {
    FileDelete(path);
  }
}

void DropMailFile(CFile& mail, const std::string& path) {
  mail.Close();
  FileDelete(path);
}

void DeleteSources(const std::vector<std::string>& sources) {
  for (const std::string& source : sources) {
    if (!FileDelete(source))
      DebugLogStr("SMTPOut- Error: attachment file not deleted: ", source.c_str(), CV_SRC, __LINE__);
  }
}

// Mail files (IN/<n>.zqx and the parts IN/At<n>.zqx) are made and removed by
// one delivery run; at the start none runs, so those found were left by a
// run that a crash cut short. Their messages are still in IN and are sent again.
void RemoveInterruptedMailFiles(const CFileMan& files) {
  const std::string in = std::string(files.ProgramPath()) + "IN";
  std::vector<std::string> names;
  if (FindFiles(in, "*.zqx", names) != ERROR_SUCCESS) return;
  for (const std::string& name : names) {
    const std::string path = in + kPathSeparatorText + name;
    DebugLogStr("SMTPOut- Removing the mail file of an interrupted delivery: ", name.c_str(), CV_SRC,
                __LINE__);
    if (!FileDelete(path)) LogLastError();
  }
}

}  // namespace

SMTPOut::SMTPOut() : m_IdentifierSource(os_genid) {
  CRegKey key;
  CRegKey::Create(kGatewayKey, key);  // a key that cannot be had leaves the defaults
  maxDeliveries = 1;

  DWORD size = 0;
  if (key.IsOpen() && key.QueryValue("DNSName", nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    dnsServerName.reset(new char[size + 1]());
    RegReadString(key, "DNSName", dnsServerName.get(), static_cast<DWORD>(size + 1));
  } else {
    dnsServerName.reset(new char[kDefaultDnsBuffer]());
    std::snprintf(dnsServerName.get(), kDefaultDnsBuffer, "%s", kDefaultDnsServer);
  }
  if (dnsServerName[0] == '\0') {
    DebugLog("SMTPOut- DNS Server IP Address: <empty>", CV_SRC, __LINE__);
  } else {
    DebugLogStr("SMTPOut- DNS Server IP Address: ", dnsServerName.get(), CV_SRC, __LINE__);
  }

  rfcMode = 0;
  DWORD mode = 0;
  if (RegReadDword(key, "RFCMode", &mode) == ERROR_SUCCESS) rfcMode = static_cast<std::uint8_t>(mode & 0xFF);
  key.Close();

  remotePort = GetSmtpTxPort();
  char text[64];
  std::snprintf(text, sizeof text, "SMTPOut using remote port %d", static_cast<int>(remotePort));
  DebugLog(text, CV_SRC, __LINE__);

  CRegKey from;
  if (CRegKey::Open(kGatewayKey, from) == ERROR_SUCCESS) {
    mailFromFound = RegReadString(from, "MailFrom", mailFromValue,
                                  static_cast<DWORD>(sizeof mailFromValue)) == ERROR_SUCCESS;
    DWORD set = 0;
    setMailFrom =
        RegReadDword(from, "SetMailFrom", &set) == ERROR_SUCCESS && static_cast<std::int32_t>(set) > 0;
  }
  if (mailFromFound && setMailFrom) {
    DebugLog("SMTPOut- Found 'from' address and SetMailFrom defined in registry", CV_SRC, __LINE__);
  }

  if (const std::uint32_t test = TestDurationMs("CVSMTPGW_REPLY_TIMEOUT_MS", kReplyTimeoutMs);
      test != static_cast<std::uint32_t>(kReplyTimeoutMs)) {
    m_ReplyTimeoutMs = static_cast<int>(test);
    std::snprintf(text, sizeof text, "SMTPOut- test build: reply time-out %d ms", m_ReplyTimeoutMs);
    DebugLog(text, CV_SRC, __LINE__);
  }

  m_DeliveryThreads.reset(new ThreadHandle[static_cast<std::size_t>(maxDeliveries)]());
  fileMan = nullptr;
  shutdownFlag = 0;
  activeDeliveries = 0;
}

SMTPOut::~SMTPOut() {
  {
    std::scoped_lock lock(m_IdleMutex);
    shutdownFlag = 1;
  }
  m_IdleWake.notify_all();
  if (m_MainThreadID != 0) {
    // The texts and buffers the thread uses are freed only after it ended.
    if (!WaitThreadHandle(m_MainThreadID, kStopWaitMs)) {
      DebugLog("SMTPOut- delivery still running, waiting for its end", CV_SRC, __LINE__);
      WaitThreadHandle(m_MainThreadID, kWaitForever);
    }
    CloseThreadHandle(m_MainThreadID);
    m_MainThreadID = 0;
  }
}

std::uint32_t SMTPOut::Start() {
  if (shutdownFlag != 0) {
    DebugLog("SMTPOut- Error: Shutdown flag is set so unable to start.", CV_SRC, __LINE__);
    return 1;
  }
  if (fileMan == nullptr) {
    DebugLog("SMTPOut- Error: no file manager.", CV_SRC, __LINE__);
    return 2;
  }
  m_MainThreadID = BeginThread(0, MainThreadEntry, this, false);
  if (m_MainThreadID == 0) {
    DebugLog("SMTPOut- Unable to Create thread.", CV_SRC, __LINE__);
    return 2;
  }
  return 0;
}

int SMTPOut::Stop() {
  DebugLog("SMTPOut- Stop().", CV_SRC, __LINE__);
  return 0;
}

int SMTPOut::Pause() {
  DebugLog("SMTPOut- Pause().", CV_SRC, __LINE__);
  return 0;
}

int SMTPOut::Resume() {
  DebugLog("SMTPOut- Resume().", CV_SRC, __LINE__);
  return 0;
}

void SMTPOut::IdleWait(std::uint32_t milliseconds) {
  std::unique_lock lock(m_IdleMutex);
  m_IdleWake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return shutdownFlag != 0; });
}

unsigned SMTPMainThread(SMTPOut* self) {
  DebugLog("SMTPOut- SMTPMainThread() begin.", CV_SRC, __LINE__);
  RemoveInterruptedMailFiles(*self->fileMan);
  bool idle = false;
  bool unreadable = false;  // IN could not be read at the last poll
  while (self->shutdownFlag == 0) {
    int waiting = 0;
    // A directory that is away is said once when it goes and once when it is
    // back, not at every poll.
    const int counted = self->fileMan->Que_CountMsgs(waiting);
    if ((counted != 0) != unreadable) {
      unreadable = counted != 0;
      DebugLog(unreadable ? "SMTPOut- Error: IN cannot be read; messages wait until it can"
                          : "SMTPOut- IN can be read again",
               CV_SRC, __LINE__);
    }
    if (waiting > self->activeDeliveries && self->activeDeliveries < self->maxDeliveries) {
      DebugLog("SMTPOut- New message thread started", CV_SRC, __LINE__);
      ++self->activeDeliveries;
      const bool moved = SMTPOutThread(self);
      idle = false;
      // A message that stays (held by the fax server, not writable, not
      // renamable) is looked at again after a poll interval, not at once.
      if (!moved) self->IdleWait(SMTPOut::kPollMs);
      continue;
    }
    if (!idle) {
      DebugLog("SMTPOut- No messages to send.", CV_SRC, __LINE__);
      idle = true;
    }
    self->IdleWait(SMTPOut::kPollMs);
  }
  DebugLog("SMTPOut::SMTPMainThread() end.", CV_SRC, __LINE__);
  return 0;
}

bool SMTPOutThread(SMTPOut* self) {
  CFileMan& files = *self->fileMan;
  DebugLog("SMTPOut::SMTPOutThread() Begin.", CV_SRC, __LINE__);
  int attempts = 0;
  bool moved = false;
  bool deleteSources = false;  // only once the message itself is gone
  std::vector<std::string> sources;
  for (;;) {
    CFile message;
    char path[kPathBuffer] = "";
    const int opened = files.Que_OpenMsg(message, path, sizeof path);
    if (opened != 0) {
      if (opened == ERROR_SHARING_VIOLATION) self->IdleWait(SMTPOut::kInUsePauseMs);
      DebugLog("SMTPOut- no files to send", CV_SRC, __LINE__);
      break;
    }
    const std::string messagePath = path;
    const std::string mailPath =
        std::string(files.ProgramPath()) + "IN" + kPathSeparatorText + std::to_string(message.Id()) + ".zqx";
    CFile mail = CFile::Open(mailPath, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways);
    if (!mail.IsValid()) {
      DebugLog("SMTPOut- SMTPOutThread() : Unable to create & new file for send.", CV_SRC, __LINE__);
      LogLastError();
      files.Que_CloseMsg(message);  // released, so that a later run can take it
      break;
    }

    const int composed = ComposeMessage(message, mail, *self, sources);
    if (composed == kComposeFailed) {
      files.Que_CloseMsg(message);
      DropMailFile(mail, mailPath);
      break;
    }
    if (composed == kComposeNotToBeSent) {
      DebugLog("SMTPOut- encoding not done.", CV_SRC, __LINE__);
      files.Que_CloseAndDeleteMsg(message);
      FinishMailFile(mail, mailPath);
      moved = deleteSources = !FileExists(messagePath);
      break;
    }

    char receiver[kWorkBufferSize] = "";
    if (FindRecipient(mail, receiver, sizeof receiver) != 0) {
      files.Que_CloseMsg(message);
      DropMailFile(mail, mailPath);
      DebugLog("SMTPOut- ERROR: no rcpt name", CV_SRC, __LINE__);
      // The attachments stay with the renamed message, which is kept for a person to look at.
      moved = MoveToErrorName(messagePath, ".NoName.Err", false,
                              "SMTPOut- ERROR: Could not rename the message file.");
      break;
    }
    DebugLogStr("SMTPOut- receiver name: ", receiver, CV_SRC, __LINE__);
    const std::string bare = BareAddress(receiver);

    // The message and its attachment files go the moment the receiver has
    // the mail, before QUIT: a crash while QUIT waits for its reply must not
    // make the next start send the mail again.
    bool settled = false;
    const auto settle = [&] {
      if (settled) return;
      settled = true;
      files.Que_CloseAndDeleteMsg(message);
      moved = !FileExists(messagePath);
      if (moved) DeleteSources(sources);
    };
    self->SetAcceptedHook(settle);
    const std::uint32_t sent = self->SendOutboundMsg(mail, bare.c_str(), receiver, kWorkBufferSize);
    self->SetAcceptedHook(nullptr);
    if (sent == 0 || settled) {
      settle();
      FinishMailFile(mail, mailPath);
      break;
    }
    files.Que_CloseMsg(message);
    DropMailFile(mail, mailPath);
    ++attempts;
    if (self->shutdownFlag != 0) break;  // the message waits for the next start
    if (attempts < SMTPOut::kAttempts) continue;
    moved = MoveToErrorName(messagePath, sent == 2 ? ".ConnFailed.Err" : ".ConnTermin.Err", true,
                            "SMTPOut- Could not rename the message file.");
    break;
  }
  if (deleteSources) DeleteSources(sources);
  --self->activeDeliveries;
  DebugLog("SMTPOut- SMTPOutThread() end.", CV_SRC, __LINE__);
  return moved;
}

// "abc.tmp" becomes "abc<suffix>" (with `upper`: "ABC<suffix>"). Only the file
// name changes: the directories keep their letters, and a ".tmp" in a
// directory name is not the extension.
std::string OutboundErrorName(const std::string& path, const char* suffix, bool upper) {
  const std::size_t cut = path.find_last_of(kPathSeparator);
  const std::size_t start = cut == std::string::npos ? 0 : cut + 1;
  std::string name = path.substr(start);
  if (upper) {
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
  }
  // Messages match "*.tmp", so the name ends in the extension, in any case.
  std::size_t extension = name.size() >= 4 ? name.size() - 4 : std::string::npos;
  if (extension == std::string::npos ||
      (name[extension] != '.' || (name[extension + 1] | 0x20) != 't' || (name[extension + 2] | 0x20) != 'm' ||
       (name[extension + 3] | 0x20) != 'p'))
    extension = name.size();
  return path.substr(0, start) + name.substr(0, extension) + suffix;
}
