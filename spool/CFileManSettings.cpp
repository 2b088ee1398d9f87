// spool/CFileManSettings.cpp: the settings part of CFileMan, read once from the
// gateway's registry key by the constructor, through the settings table.
//
// Threading: the fields are written only here, before the object is shared,
// and read without a lock afterwards. The OverrideAddressCheck flag is set at
// most once, during the single construction at start-up.
#include <cstring>
#include <string>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "platform/Registry.h"
#include "spool/CFileMan.h"
#include "spool/Settings.h"

namespace {

int g_OverrideAddressCheck = 0;

}  // namespace

int GetOverrideAddressCheck() { return g_OverrideAddressCheck; }

CFileMan::CFileMan() {
  ReadSettings();
  // The directory itself (without its separator) is what gets synced.
  std::string out = OutDirectory();
  out.pop_back();
  m_OutSync = std::make_unique<CSpoolSyncer>(out);
}

CFileMan::~CFileMan() = default;

namespace {

// Copies a text that the table's limit lets fit into its buffer.
void Fill(const std::unique_ptr<char[]>& buffer, std::size_t capacity, const std::string& text) {
  const std::size_t length = text.size() < capacity ? text.size() : 0;
  std::memcpy(buffer.get(), text.data(), length);
  buffer[length] = '\0';
}

}  // namespace

// The numbers share one buffer that starts at 10 and is never reset: a value
// that is absent (or that the table refuses) leaves the number read before it,
// which is how MaxIn defaults to MaxOut and AdvancedOptions to NumUsers. A key
// that cannot be opened makes every read absent, so the fields take those same
// defaults.
void CFileMan::ReadSettings() {
  m_ProgramPath = std::make_unique<char[]>(kProgramPathBuffer);
  m_MailFrom = std::make_unique<char[]>(kMailFromBuffer);
  m_DomainName = std::make_unique<char[]>(kDomainNameBuffer);

  CRegKey key;
  CRegKey::Create(kGatewayKey, key);  // a failure leaves the key closed: every read below is absent
  // Settings that a 32-bit program wrote are found in its place (WOW6432Node).
  if (key.IsOpen() && key.Name() != std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey)
    DebugLogStr("Settings read from ", key.Name().c_str(), CV_SRC, __LINE__);

  std::uint32_t number = 10;
  const auto next = [&key, &number](Setting setting) {
    const CNumberSetting read = ReadNumberSetting(key, setting);
    if (read.Used()) number = read.value;
    return static_cast<std::int32_t>(number);
  };
  m_MaxOut = next(Setting::kMaxOut);
  m_MaxIn = next(Setting::kMaxIn);

  // A name-in-use flag left by an earlier run is cleared.
  number = 0;
  if (key.IsOpen()) RegWriteDword(key, SettingInfo(Setting::kFileNameUse).name, number);

  Fill(m_ProgramPath, kProgramPathBuffer, ReadTextSetting(key, Setting::kProgramPath).value);
  Fill(m_MailFrom, kMailFromBuffer, ReadTextSetting(key, Setting::kMailFrom).value);
  Fill(m_DomainName, kDomainNameBuffer, ReadTextSetting(key, Setting::kDomainName).value);
  if (m_DomainName[0] != '\0') {
    DebugLogStr("Domain Name: ", m_DomainName.get(), CV_SRC, __LINE__);
  } else {
    DebugLog("Domain Name: <empty>", CV_SRC, __LINE__);
  }

  m_NumUsers = next(Setting::kNumUsers);
  m_AdvancedOptions = next(Setting::kAdvancedOptions);
  if (m_AdvancedOptions == 1) {
    m_NotifyOnFailure = next(Setting::kNotifyOnFailure);
    m_NotifyOnSuccess = next(Setting::kNotifyOnSuccess);
    m_SubjectLine = next(Setting::kSubjectLine);
    m_IncludeTIFF = next(Setting::kIncludeTIFF);
  }

  // Only a short value (y, Y, yes, Yes) can switch the override on.
  if (ReadYesSetting(key, Setting::kOverrideAddressCheck)) g_OverrideAddressCheck = 1;

  // Apart from the shared buffer above: an absent value means the default.
  m_MaxMessageSize = ReadNumberSetting(key, Setting::kMaxMessageSize).value;

  // Every spool name is the program path followed directly by IN/ or OUT/.
  const std::size_t pathLength = std::strlen(m_ProgramPath.get());
  if (pathLength > 0 && m_ProgramPath[pathLength - 1] != kPathSeparator) {
    DebugLogStr("ProgramPath does not end with a path separator: ", m_ProgramPath.get(), CV_SRC, __LINE__);
  }
  key.Close();
}

int CFileMan::GetDomainName(char* buffer, std::size_t size) const {
  const std::size_t length = std::strlen(m_DomainName.get());
  if (buffer == nullptr || length >= size) return 1;
  std::memcpy(buffer, m_DomainName.get(), length + 1);
  return 0;
}

int CFileMan::GetMailFrom(char* buffer, std::size_t size) const {
  const std::size_t length = std::strlen(m_MailFrom.get());
  if (buffer == nullptr || length >= size) return 1;
  std::memcpy(buffer, m_MailFrom.get(), length + 1);
  return 0;
}
