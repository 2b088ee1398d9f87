// log/MailLog.cpp: the mail log's lines (see the header).
//
// Threading: the switch is atomic; the directory is guarded by a mutex.
#include "log/MailLog.h"

#include <atomic>
#include <mutex>

#include "base/Text.h"
#include "log/EventLog.h"
#include "platform/SystemLog.h"

namespace {

std::atomic<bool> g_On{true};
std::mutex g_Mutex;
std::string g_Directory;  // guarded by g_Mutex

// Each value shown whole up to this; a recipient list stops at kMaxLine.
constexpr std::size_t kMaxValue = 300;
constexpr std::size_t kMaxLine = 7000;

void Field(std::string& line, const char* name, const std::string& value) {
  line += line.empty() ? "" : " ";
  line += name;
  line += "=";
  line += PrintableText(value, kMaxValue);
}

void Write(const std::string& line) {
  std::string directory;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    directory = g_Directory;
  }
  PlatformWriteMailLog(kEventSourceName, directory.c_str(), line.c_str());
}

}  // namespace

void ConfigureMailLog(bool on, const std::string& directory) {
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Directory = directory;
  }
  g_On.store(on);
}

bool IsMailLogOn() { return g_On.load(); }

std::string InboundMailLine(const CInboundMailRecord& record) {
  std::string line = "in:";
  Field(line, "client", record.client);
  Field(line, "helo", record.helo);
  Field(line, "from", record.sender);
  std::size_t shown = 0;
  for (const CMailLogRecipient& recipient : record.recipients) {
    if (line.size() > kMaxLine) break;
    Field(line, "rcpt", recipient.address);
    line += recipient.accepted ? " accepted" : " refused (" + PrintableText(recipient.why, kMaxValue) + ")";
    ++shown;
  }
  const std::size_t more = record.recipients.size() - shown + record.unlisted;
  if (more > 0) line += " (" + std::to_string(more) + " more recipients)";
  Field(line, "size", std::to_string(record.size));
  if (!record.submission.empty())
    Field(line, "submission", record.submission);
  else
    Field(line, "nosubmission", record.noSubmission);
  return line;
}

std::string OutboundMailLine(const COutboundMailRecord& record) {
  std::string line = "out:";
  Field(line, "message", record.messageFile);
  Field(line, "to", record.recipient);
  Field(line, "exchanger", record.exchanger.empty() ? "none" : record.exchanger);
  Field(line, "tls", record.tls.empty() ? "none" : record.tls);
  Field(line, "reply", record.reply);
  Field(line, "status", record.outcome);
  return line;
}

void MailLogInbound(const CInboundMailRecord& record) {
  if (IsMailLogOn()) Write(InboundMailLine(record));
}

void MailLogOutbound(const COutboundMailRecord& record) {
  if (IsMailLogOn()) Write(OutboundMailLine(record));
}

void MailLogNotice(const std::string& text) {
  if (IsMailLogOn()) Write("notice: " + PrintableText(text, kMaxValue));
}
