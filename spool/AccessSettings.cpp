// spool/AccessSettings.cpp: reading and swapping the access settings (see
// the header).
//
// Threading: g_Current is guarded by g_Mutex; a CAccessSettings is never
// changed once made.
#include "spool/AccessSettings.h"

#include <cstdio>
#include <mutex>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "log/MailLog.h"
#include "spool/Settings.h"

namespace {

std::mutex g_Mutex;
std::shared_ptr<const CAccessSettings> g_Current = std::make_shared<const CAccessSettings>();  // guarded

// A list value: absent gives "", a value of another type is a problem.
bool ReadList(const CRegKey& key, Setting id, std::string& text, std::string& setting, std::string& problem) {
  const CTextSetting read = ReadTextSetting(key, id);
  if (read.state == SettingState::kWrongType) {
    setting = SettingInfo(id).name;
    problem = "it is not a string";
    return false;
  }
  text = read.Used() ? read.value : "";
  return true;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t,\r\n") == std::string_view::npos;
}

}  // namespace

bool ReadAccessSettings(const CRegKey& key, CAccessSettings& out, std::string& setting, std::string& problem) {
  std::string networks, allow, deny;
  if (!ReadList(key, Setting::kClientNetworks, networks, setting, problem) ||
      !ReadList(key, Setting::kFaxNumberAllow, allow, setting, problem) ||
      !ReadList(key, Setting::kFaxNumberDeny, deny, setting, problem))
    return false;
  out.anyClient = IsBlank(networks);
  std::string bad;
  if (!out.anyClient && !out.clientNetworks.Parse(networks, bad)) {
    setting = SettingInfo(Setting::kClientNetworks).name;
    problem = "the entry \"" + PrintableText(bad, 64) + "\" is not an IPv4 network (a.b.c.d or a.b.c.d/n, n at most 32)";
    return false;
  }
  out.faxNumberAllow.Parse(allow);
  out.faxNumberDeny.Parse(deny);
  out.clientMailLimit = ReadNumberSetting(key, Setting::kClientMailLimit).value;
  out.faxRecipientLimit = ReadNumberSetting(key, Setting::kFaxRecipientLimit).value;
  out.mailLog = ReadNumberSetting(key, Setting::kMailLog).value != 0;
  return true;
}

std::shared_ptr<const CAccessSettings> CurrentAccessSettings() {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return g_Current;
}

bool LoadAccessSettings(bool atStart, std::string& problem) {
  CRegKey key;
  CRegKey::Open(kGatewayKey, key);  // a key that does not open reads as empty
  auto settings = std::make_shared<CAccessSettings>();
  std::string setting;
  if (!ReadAccessSettings(key, *settings, setting, problem)) {
    problem = "the setting " + setting + " cannot be used: " + problem;
    const std::string line = "Settings- " + problem + (atStart ? "" : "; the settings in use are kept");
    DebugLog(line.c_str(), CV_SRC, __LINE__);
    ReportServiceEvent(kEventTypeError, GatewayEvent::kBadAccessSetting,
                       {kEventSourceName, setting.c_str(), problem.c_str()});
    return false;
  }
  ConfigureMailLog(settings->mailLog, ReadTextSetting(key, Setting::kProgramPath).value);
  if (settings->anyClient) {
    constexpr char kAnyClientText[] = "Settings- ClientNetworks is not set: mail is taken from any client";
    DebugLog(kAnyClientText, CV_SRC, __LINE__);
    MailLogNotice(kAnyClientText + 10);
    ReportServiceEvent(kEventTypeWarning, GatewayEvent::kAnyClient, {kEventSourceName});
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "Settings- %s: %zu client networks, %zu allowed and %zu denied fax number patterns, "
                "ClientMailLimit %u, FaxRecipientLimit %u, MailLog %s",
                atStart ? "Read" : "Reloaded", settings->clientNetworks.Networks().size(),
                settings->faxNumberAllow.Size(), settings->faxNumberDeny.Size(),
                static_cast<unsigned>(settings->clientMailLimit), static_cast<unsigned>(settings->faxRecipientLimit),
                settings->mailLog ? "on" : "off");
  DebugLog(text, CV_SRC, __LINE__);
  std::lock_guard<std::mutex> lock(g_Mutex);
  g_Current = std::move(settings);
  return true;
}
