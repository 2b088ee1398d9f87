// spool/Settings.cpp: the table of the gateway's registry values and its
// readers (see the header).
//
// Threading: no state beyond the constant table.
#include "spool/Settings.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"

namespace {

constexpr std::uint32_t kAny = 0xFFFFFFFF;
constexpr std::size_t kNone = 0;
constexpr auto kStart = SettingRead::kAtStart;
constexpr auto kEachUse = SettingRead::kEachUse;
constexpr auto kReload = SettingRead::kReload;
constexpr auto kNumber = SettingType::kNumber;
constexpr auto kText = SettingType::kText;

// The limits are those of the buffers each value has always been read into:
// a longer text was never read, and still is not. Defaults written as a name
// follow that value (the reading order of the file manager).
// clang-format off
constexpr std::array<CSettingInfo, static_cast<std::size_t>(Setting::kCount)> kTable = {{
  {Setting::kSmtpRxPort, "SmtpRxPort", kNumber, kStart, 25, "25", 1, 65535, kNone, false},
  {Setting::kSmtpTxPort, "SmtpTxPort", kNumber, kStart, 25, "25", 1, 65535, kNone, false},
  {Setting::kProgramPath, "ProgramPath", kText, kStart, 0, "", 0, 0, 79, false},
  {Setting::kDomainName, "DomainName", kText, kStart, 0, "", 0, 0, 79, false},
  {Setting::kMailFrom, "MailFrom", kText, kStart, 0, "", 0, 0, 259, false},
  {Setting::kSetMailFrom, "SetMailFrom", kNumber, kStart, 0, "0", 0, kAny, kNone, false},
  {Setting::kDNSName, "DNSName", kText, kStart, 0, "a.root-servers.net", 0, 0, kUnlimitedText, false},
  {Setting::kRFCMode, "RFCMode", kNumber, kStart, 0, "0", 0, kAny, kNone, false},
  {Setting::kOverrideAddressCheck, "OverrideAddressCheck", SettingType::kShortValue, kStart, 0, "off", 0, 0, 3, false},
  {Setting::kAdvancedOptions, "AdvancedOptions", kNumber, kStart, 0, "NumUsers", 0, kAny, kNone, false},
  {Setting::kNotifyOnFailure, "NotifyOnFailure", kNumber, kStart, 1, "1", 0, kAny, kNone, false},
  {Setting::kNotifyOnSuccess, "NotifyOnSuccess", kNumber, kStart, 1, "1", 0, kAny, kNone, false},
  {Setting::kSubjectLine, "SubjectLine", kNumber, kStart, 0, "0", 0, kAny, kNone, false},
  {Setting::kIncludeTIFF, "IncludeTIFF", kNumber, kStart, 1, "1", 0, kAny, kNone, false},
  {Setting::kMaxOut, "MaxOut", kNumber, kStart, 10, "10", 0, kAny, kNone, false},
  {Setting::kMaxIn, "MaxIn", kNumber, kStart, 10, "MaxOut", 0, kAny, kNone, false},
  {Setting::kNumUsers, "NumUsers", kNumber, kStart, 0, "0", 0, kAny, kNone, false},
  {Setting::kMaxMessageSize, "MaxMessageSize", kNumber, kStart, 25 * 1024 * 1024, "26214400", 0, kAny, kNone, false},
  {Setting::kTlsCertificateFile, "TlsCertificateFile", kText, kStart, 0, "", 0, 0, 259, false},
  {Setting::kTlsKeyFile, "TlsKeyFile", kText, kStart, 0, "TlsCertificateFile", 0, 0, 259, false},
  {Setting::kTlsCertificateThumbprint, "TlsCertificateThumbprint", kText, kStart, 0, "", 0, 0, 127, false},
  {Setting::kRequireTls, "RequireTls", kNumber, kStart, 0, "0", 0, 1, kNone, false},
  {Setting::kOutboundTls, "OutboundTls", kNumber, kStart, 0, "0", 0, 2, kNone, false},
  {Setting::kSmartHost, "SmartHost", kText, kStart, 0, "", 0, 0, 255, false},
  {Setting::kSmartHostUser, "SmartHostUser", kText, kStart, 0, "", 0, 0, 255, false},
  {Setting::kSmartHostPasswordFile, "SmartHostPasswordFile", kText, kStart, 0, "", 0, 0, 259, false},
  // Who may send a fax, and the mail log. The lists have no length limit: a
  // list cut or passed over would let through what it was meant to stop.
  {Setting::kClientNetworks, "ClientNetworks", kText, kReload, 0, "", 0, 0, kUnlimitedText, false},
  {Setting::kFaxNumberAllow, "FaxNumberAllow", kText, kReload, 0, "", 0, 0, kUnlimitedText, false},
  {Setting::kFaxNumberDeny, "FaxNumberDeny", kText, kReload, 0, "", 0, 0, kUnlimitedText, false},
  {Setting::kClientMailLimit, "ClientMailLimit", kNumber, kReload, 0, "0", 0, kAny, kNone, false},
  {Setting::kFaxRecipientLimit, "FaxRecipientLimit", kNumber, kReload, 0, "0", 0, kAny, kNone, false},
  {Setting::kMailLog, "MailLog", kNumber, kReload, 1, "1", 0, kAny, kNone, false},
  {Setting::kLogFile, "logfile", kText, kStart, 0, "", 0, 0, 259, false},
  {Setting::kLogFileB, "logfileb", kText, kStart, 0, "", 0, 0, 259, false},
  {Setting::kTmpIndex, "TmpIndex", kNumber, kEachUse, 0, "0", 0, kAny, kNone, true},
  {Setting::kOUTIndex, "OUTIndex", kNumber, kEachUse, 0, "none", 0, kAny, kNone, true},
  {Setting::kOUTIndexAtt, "OUTIndexAtt", kNumber, kEachUse, 0, "0", 0, kAny, kNone, true},
  {Setting::kFileName, "FileName", kText, kEachUse, 0, "", 0, 0, 79, true},
  {Setting::kFileNameAtt, "FileNameAtt", kText, kEachUse, 0, "", 0, 0, 79, true},
  {Setting::kFileNameUse, "FileNameUse", kNumber, kEachUse, 0, "0", 0, kAny, kNone, true},
  {Setting::kFileNameUseAtt, "FileNameUseAtt", kNumber, kEachUse, 0, "0", 0, kAny, kNone, true},
}};
// clang-format on

constexpr bool TableInOrder() {
  for (std::size_t i = 0; i < kTable.size(); ++i)
    if (static_cast<std::size_t>(kTable[i].id) != i) return false;
  return true;
}
static_assert(TableInOrder(), "the table follows the order of Setting");

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The stored bytes of a value up to the terminator (a value without one is
// taken whole).
std::string TextOf(const std::vector<char>& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), '\0');
  return std::string(bytes.begin(), end);
}

// The value's type and bytes; false when it is absent or the key is closed.
bool ReadRaw(const CRegKey& key, const char* name, DWORD& type, std::vector<char>& bytes) {
  if (!key.IsOpen()) return false;
  DWORD size = 0;
  if (key.QueryValue(name, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  // Read again until it fits: the value may change between the two calls.
  for (int attempt = 0; attempt < 4; ++attempt) {
    bytes.assign(size > 0 ? size : 1, '\0');
    DWORD got = size;
    const long rc = key.QueryValue(name, &type, bytes.data(), &got);
    if (rc == ERROR_SUCCESS) {
      bytes.resize(got);
      return true;
    }
    if (rc != ERROR_MORE_DATA) return false;
    size = got;
  }
  return false;
}

std::string Shown(const std::string& text) { return PrintableText(text.c_str(), kShownTextLength); }

std::string Quoted(const CSettingInfo& info) { return std::string("\"") + info.name + "\""; }

std::string RangeText(const CSettingInfo& info) {
  return std::to_string(info.minimum) + " to " + std::to_string(info.maximum);
}

const char* TypeName(SettingType type) {
  switch (type) {
    case SettingType::kNumber:
      return "a dword";
    case SettingType::kText:
      return "a string";
    case SettingType::kShortValue:
      return "a short value";
  }
  return "";
}

std::string DefaultShown(const CSettingInfo& info) {
  if (info.type == SettingType::kNumber) {
    const bool followsAnother = FindSetting(info.defaultText) != nullptr;
    return followsAnother ? std::string("the value of ") + info.defaultText : std::string(info.defaultText);
  }
  return *info.defaultText == '\0' ? std::string("empty") : std::string(info.defaultText);
}

}  // namespace

std::span<const CSettingInfo> SettingTable() { return kTable; }

const CSettingInfo& SettingInfo(Setting setting) { return kTable[static_cast<std::size_t>(setting)]; }

const CSettingInfo* FindSetting(std::string_view name) {
  for (const CSettingInfo& info : kTable)
    if (EqualsNoCase(info.name, name)) return &info;
  return nullptr;
}

CNumberSetting ReadNumberSetting(const CRegKey& key, Setting setting) {
  const CSettingInfo& info = SettingInfo(setting);
  CNumberSetting read;
  read.value = info.defaultNumber;
  DWORD type = 0;
  std::vector<char> bytes;
  if (!ReadRaw(key, info.name, type, bytes)) return read;
  // Only a dword is a number: the bytes of a text or of a short binary value
  // once made a number nobody wrote.
  if (type != REG_DWORD || bytes.size() != sizeof(std::uint32_t)) {
    read.state = SettingState::kWrongType;
    return read;
  }
  std::memcpy(&read.stored, bytes.data(), sizeof read.stored);
  if (read.stored < info.minimum || read.stored > info.maximum) {
    read.state = SettingState::kOutOfRange;
    return read;
  }
  read.state = SettingState::kUsed;
  read.value = read.stored;
  return read;
}

CTextSetting ReadTextSetting(const CRegKey& key, Setting setting) {
  const CSettingInfo& info = SettingInfo(setting);
  CTextSetting read;
  read.value = info.type == SettingType::kText ? info.defaultText : "";
  DWORD type = 0;
  std::vector<char> bytes;
  if (!ReadRaw(key, info.name, type, bytes)) return read;
  if (!IsTextType(type)) {
    read.state = SettingState::kWrongType;
    return read;
  }
  std::string text = TextOf(bytes);
  read.stored = text.substr(0, kShownTextLength);
  if (text.size() > info.maxLength) {
    read.state = SettingState::kOutOfRange;
    return read;
  }
  read.state = SettingState::kUsed;
  read.value = std::move(text);
  return read;
}

bool ReadYesSetting(const CRegKey& key, Setting setting) {
  const CSettingInfo& info = SettingInfo(setting);
  DWORD type = 0;
  std::vector<char> bytes;
  if (!ReadRaw(key, info.name, type, bytes)) return false;
  // Any type: "y", "yes" and a dword whose first byte is 'y' all count.
  return bytes.size() <= info.maxLength + 1 && !bytes.empty() && AsciiLower(bytes[0]) == 'y';
}

std::uint32_t SettingNumber(Setting setting) {
  CRegKey key;
  CRegKey::Open(kGatewayKey, key);  // a key that does not open reads as empty
  return ReadNumberSetting(key, setting).value;
}

std::string SettingText(Setting setting) {
  CRegKey key;
  CRegKey::Open(kGatewayKey, key);
  return ReadTextSetting(key, setting).value;
}

std::vector<std::string> SettingProblems(const CRegKey& key) {
  std::vector<std::string> problems;
  std::vector<std::string> names;
  if (!key.IsOpen() || key.ValueNames(names) != ERROR_SUCCESS) return problems;
  for (const std::string& name : names) {
    const CSettingInfo* info = FindSetting(name);
    if (info == nullptr) {
      problems.push_back("Setting \"" + Shown(name) + "\" is not one the gateway knows; ignored");
      continue;
    }
    const std::string what = "Setting " + Quoted(*info);
    // The gateway's own values are written anew at their next use.
    const std::string instead = info->written ? std::string("; the gateway writes it anew")
                                              : "; " + DefaultShown(*info) + " is used instead";
    if (info->type == SettingType::kNumber) {
      const CNumberSetting read = ReadNumberSetting(key, info->id);
      if (read.state == SettingState::kWrongType) {
        problems.push_back(what + " is not " + TypeName(info->type) + instead);
      } else if (read.state == SettingState::kOutOfRange) {
        problems.push_back(what + " is " + std::to_string(read.stored) + ", outside " + RangeText(*info) +
                           instead);
      }
    } else if (info->type == SettingType::kText) {
      const CTextSetting read = ReadTextSetting(key, info->id);
      // A list of who may send is never replaced by a default: it stops the
      // start instead (spool/AccessSettings.cpp says why).
      if (read.state == SettingState::kWrongType && info->read == SettingRead::kReload) continue;
      if (read.state == SettingState::kWrongType) {
        problems.push_back(what + " is not " + TypeName(info->type) + instead);
      } else if (read.state == SettingState::kOutOfRange) {
        problems.push_back(what + " is longer than " + std::to_string(info->maxLength) + " characters (\"" +
                           Shown(read.stored) + "\")" + instead);
      }
    } else {
      DWORD size = 0;
      if (key.QueryValue(info->name, nullptr, nullptr, &size) == ERROR_SUCCESS && size > info->maxLength + 1)
        problems.push_back(what + " is longer than " + std::to_string(info->maxLength) + " characters" +
                           instead);
    }
  }
  return problems;
}

std::size_t ReportSettingProblems() {
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) != ERROR_SUCCESS) return 0;
  const std::vector<std::string> problems = SettingProblems(key);
  for (const std::string& problem : problems) {
    DebugLog(problem.c_str(), CV_SRC, __LINE__);
    ReportServiceEvent(kEventTypeWarning, GatewayEvent::kSettingIgnored, {kEventSourceName, problem.c_str()});
  }
  return problems.size();
}

void ReadDebugSettings() {
  CDebugLogSettings settings;
  CRegKey key;
  settings.keyOpen = CRegKey::Open(kGatewayKey, key) == ERROR_SUCCESS;
  const CTextSetting secondary = ReadTextSetting(key, Setting::kLogFileB);
  settings.secondaryRead = secondary.Used();
  settings.secondary = secondary.Used() ? secondary.value : "";
  const CTextSetting primary = ReadTextSetting(key, Setting::kLogFile);
  settings.primaryRead = primary.Used();
  settings.primary = primary.Used() ? primary.value : "";
  ApplyDebugSettings(settings);
}
