// smtpout/SMTPOut.cpp: the outbound deliverer's settings, its main thread and
// the envelope sender of a mail. (The delivery of one message:
// OutboundMessage.cpp.)
//
// Threading: see SMTPOut.h. The main thread runs every delivery itself.
#include "smtpout/SMTPOut.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "mime/Address.h"
#include "mime/MessageHeaders.h"
#include "mime/MimeEncoder.h"
#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "smtpout/HeaderFields.h"
#include "spool/CFileMan.h"
#include "spool/Ports.h"
#include "spool/Settings.h"

namespace {

unsigned MainThreadEntry(void* argument) { return SMTPMainThread(static_cast<SMTPOut*>(argument)); }

// Mail files (IN/<n>.zqx; IN/At<n>.zqx, the attachment parts of older
// versions) are made and removed by one delivery run; at the start none runs,
// so those found were left by a run that a crash cut short. Their messages are
// still in IN and are sent again.
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

std::string CurrentDate() { return MessageDate(std::time(nullptr)); }

constexpr std::size_t kPasswordMax = 512;

}  // namespace

SMTPOut::SMTPOut()
    : m_IdentifierSource(os_genid), m_DateSource(CurrentDate), m_MessageIdSource(NewMessageId) {
  CRegKey key;
  CRegKey::Create(kGatewayKey, key);  // a key that cannot be had leaves the defaults
  maxDeliveries = 1;

  // Any length: the buffer is made for the name.
  const std::string dnsServer = ReadTextSetting(key, Setting::kDNSName).value;
  dnsServerName.reset(new char[dnsServer.size() + 1]());
  std::memcpy(dnsServerName.get(), dnsServer.c_str(), dnsServer.size() + 1);
  if (dnsServerName[0] == '\0') {
    DebugLog("SMTPOut- DNS Server IP Address: <empty>", CV_SRC, __LINE__);
  } else {
    DebugLogStr("SMTPOut- DNS Server IP Address: ", dnsServerName.get(), CV_SRC, __LINE__);
  }

  rfcMode = static_cast<std::uint8_t>(ReadNumberSetting(key, Setting::kRFCMode).value & 0xFF);
  SetOutboundTls(ReadNumberSetting(key, Setting::kOutboundTls).value);
  key.Close();

  remotePort = GetSmtpTxPort();
  char text[64];
  std::snprintf(text, sizeof text, "SMTPOut using remote port %d", static_cast<int>(remotePort));
  DebugLog(text, CV_SRC, __LINE__);
  SetSmartHost(SettingText(Setting::kSmartHost), SettingText(Setting::kSmartHostUser),
               SettingText(Setting::kSmartHostPasswordFile));

  CRegKey from;
  if (CRegKey::Open(kGatewayKey, from) == ERROR_SUCCESS) {
    const CTextSetting mailFrom = ReadTextSetting(from, Setting::kMailFrom);
    mailFromFound = mailFrom.Used() && mailFrom.value.size() < sizeof mailFromValue;
    if (mailFromFound) std::memcpy(mailFromValue, mailFrom.value.c_str(), mailFrom.value.size() + 1);
    setMailFrom = static_cast<std::int32_t>(ReadNumberSetting(from, Setting::kSetMailFrom).value) > 0;
  }
  if (mailFromFound && setMailFrom) {
    DebugLog("SMTPOut- Found 'from' address and SetMailFrom defined in registry", CV_SRC, __LINE__);
  }

  // A test build may run the waits and the retry schedule on a shorter scale.
  m_ReplyTimeoutMs = static_cast<int>(TestDurationMs("CVSMTPGW_REPLY_TIMEOUT_MS", kReplyTimeoutMs));
  m_DataEndTimeoutMs = static_cast<int>(TestDurationMs("CVSMTPGW_DATA_END_TIMEOUT_MS", kDataEndTimeoutMs));
  const std::uint32_t minute = TestDurationMs("CVSMTPGW_RETRY_MINUTE_MS", 60000);
  m_Schedule = CDeliverySchedule(std::chrono::milliseconds(minute));
  if (m_ReplyTimeoutMs != kReplyTimeoutMs || m_DataEndTimeoutMs != kDataEndTimeoutMs || minute != 60000) {
    char scale[160];
    std::snprintf(scale, sizeof scale,
                  "SMTPOut- test build: reply time-out %d ms, end of data %d ms, a retry minute %u ms",
                  m_ReplyTimeoutMs, m_DataEndTimeoutMs, static_cast<unsigned>(minute));
    DebugLog(scale, CV_SRC, __LINE__);
  }

  m_DeliveryThreads.reset(new ThreadHandle[static_cast<std::size_t>(maxDeliveries)]());
  fileMan = nullptr;
  shutdownFlag = 0;
  activeDeliveries = 0;
}

void SMTPOut::SetOutboundTls(std::uint32_t level) {
  m_OutboundTls = level;
  m_TlsContext.reset();
  if (!TlsAvailable()) {
    DebugLog(level == 0 ? "SMTPOut- No TLS in this build: mail is sent in plaintext"
                        : "SMTPOut- No TLS in this build, but OutboundTls requires it: no host is sent mail",
             CV_SRC, __LINE__);
    return;
  }
  std::string error;
  m_TlsContext = CTlsContext::ForClient(level == 2, error);
  if (!m_TlsContext) DebugLogStr("SMTPOut- Error: no TLS for delivery: ", error.c_str(), CV_SRC, __LINE__);
  char text[64];
  std::snprintf(text, sizeof text, "SMTPOut- OutboundTls %u", static_cast<unsigned>(level));
  DebugLog(text, CV_SRC, __LINE__);
}

void SMTPOut::SetSmartHost(const std::string& value, const std::string& user, const std::string& passwordFile) {
  m_SmartHost = CSmartHost{};
  m_SmartHostBroken = false;
  m_SmartHostUser = user;
  m_SmartHostPasswordFile = passwordFile;
  if (value.empty()) return;
  std::string error;
  if (!ParseSmartHost(value, remotePort, m_SmartHost, error)) {
    m_SmartHost = CSmartHost{};
    m_SmartHostBroken = true;
    DebugLogStr("SMTPOut- Error: SmartHost cannot be used, no mail is sent: ", (value + ": " + error).c_str(),
                CV_SRC, __LINE__);
    return;
  }
  DebugLogStr("SMTPOut- Every mail goes to the relay host ", value.c_str(), CV_SRC, __LINE__);
}

bool SMTPOut::ReadSmartHostPassword(std::string& password, std::string& error) const {
  password.clear();
  CFile file = m_SmartHostPasswordFile.empty() ? CFile()
                                               : CFile::Open(m_SmartHostPasswordFile, FileAccess::kRead,
                                                             FileShare::kReadWrite, FileCreation::kOpenExisting);
  if (!file.IsValid()) {
    error = "SmartHostPasswordFile \"" + m_SmartHostPasswordFile + "\" cannot be read";
    return false;
  }
  char buffer[kPasswordMax + 1];
  const std::int64_t got = file.Read(buffer, sizeof buffer);
  const std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
  password.assign(buffer, std::min(length, std::string_view(buffer, length).find_first_of("\r\n")));
  std::fill(buffer, buffer + sizeof buffer, '\0');
  if (password.empty() || password.size() > kPasswordMax) {
    password.clear();
    error = "SmartHostPasswordFile \"" + m_SmartHostPasswordFile + "\" holds no password of at most 512 bytes";
    return false;
  }
  return true;
}

void SMTPOut::ReportRelayUnusable(const std::string& why) {
  DebugLogStr("SMTPOut- Error: the relay host cannot be used, mail waits: ", why.c_str(), CV_SRC, __LINE__);
  if (m_RelayReported) return;
  m_RelayReported = true;
  ReportServiceEvent(kEventTypeError, GatewayEvent::kRelayUnusable, {kEventSourceName, why.c_str()});
}

SMTPOut::~SMTPOut() {
  shutdownFlag = 1;
  m_Watch.Wake();  // an idle main thread sees the flag at once
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

std::string SMTPOut::MessageIdHost() const {
  const char* domain = fileMan != nullptr ? fileMan->DomainName() : nullptr;
  if (domain != nullptr && *domain != '\0') return domain;
  const char* host = std::getenv("HOSTNAME");
  return host != nullptr ? host : "";
}

std::string SMTPOut::EnvelopeSender(CFile& mailFile) const {
  if (mailFromFound && setMailFrom) {
    const std::string configured = BareAddress(mailFromValue);
    if (!configured.empty()) return configured;
  }
  std::string from;
  if (FindHeaderAddress(mailFile, "FROM:", from) == 0 && IsMailbox(from)) return from;
  const char* domain = fileMan != nullptr ? fileMan->DomainName() : "";
  return std::string("postmaster@") + (domain != nullptr ? domain : "");
}

unsigned SMTPMainThread(SMTPOut* self) {
  using Clock = CDeliverySchedule::Clock;
  DebugLog("SMTPOut- SMTPMainThread() begin.", CV_SRC, __LINE__);
  CFileMan& files = *self->fileMan;
  RemoveInterruptedMailFiles(files);
  const std::string in = std::string(files.ProgramPath()) + "IN";
  // New messages are seen the moment they arrive; the poll stays for a
  // directory that cannot be watched and for the retries' times.
  if (!self->Watch().Open(in, "*.tmp")) {
    DebugLog("SMTPOut- IN cannot be watched: it is looked at every 10 seconds", CV_SRC, __LINE__);
    LogLastError();
  }
  bool idle = false;
  bool unreadable = false;  // IN could not be read at the last look
  while (self->shutdownFlag == 0) {
    std::vector<std::string> names;
    // A directory that is away is said once when it goes and once when it is
    // back, not at every look.
    const int listed = files.Que_ListMsgs(names);
    if ((listed != 0) != unreadable) {
      unreadable = listed != 0;
      DebugLog(unreadable ? "SMTPOut- Error: IN cannot be read; messages wait until it can"
                          : "SMTPOut- IN can be read again",
               CV_SRC, __LINE__);
    }
    CDeliverySchedule& schedule = self->Schedule();
    if (listed == 0) schedule.KeepOnly(names);

    // Every message of this look that is due, in the directory's order; one
    // held by another process is passed over. (One look per message would
    // read a long queue's directory once per mail.)
    bool delivered = false;
    bool held = false;
    for (const std::string& name : names) {
      if (self->shutdownFlag != 0) break;
      if (!schedule.Due(name, Clock::now())) continue;
      if (SMTPOutThread(self, name)) {
        delivered = true;
      } else {
        held = true;
      }
    }
    if (delivered) {
      idle = false;
      continue;  // IN again at once: what arrived meanwhile is served next
    }
    const auto now = Clock::now();
    if (!idle) {
      DebugLog(schedule.NextDue() ? "SMTPOut- No messages to send now; some wait for their next attempt."
                                  : "SMTPOut- No messages to send.",
               CV_SRC, __LINE__);
      idle = true;
    }
    // Until the next retry is due (one due already is held: see below), or the poll.
    std::uint32_t wait = self->PollMs();
    if (const auto next = schedule.NextDue(); next && *next > now) {
      const auto until = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
      wait = static_cast<std::uint32_t>(std::clamp<long long>(until, 1, wait));
    }
    if (held) wait = std::min(wait, SMTPOut::kHeldPollMs);
    if (self->shutdownFlag == 0) self->Watch().Wait(wait);
  }
  DebugLog("SMTPOut::SMTPMainThread() end.", CV_SRC, __LINE__);
  return 0;
}
