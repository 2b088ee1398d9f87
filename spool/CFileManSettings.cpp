// spool/CFileManSettings.cpp: the settings part of CFileMan, read once from the
// gateway's registry key by the constructor.
//
// Threading: the fields are written only here, before the object is shared,
// and read without a lock afterwards. The OverrideAddressCheck flag is set at
// most once, during the single construction at start-up.
#include <cctype>
#include <cstring>
#include <string>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "platform/Registry.h"
#include "spool/CFileMan.h"

namespace {

int g_OverrideAddressCheck = 0;

constexpr std::size_t kOverrideAddressCheckRead = 4;

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

// The numbers share one 4-byte buffer that starts at 10 and is never reset: a
// value that is absent leaves the number read before it, which is how MaxIn
// defaults to MaxOut and AdvancedOptions to NumUsers. A key that cannot be
// opened makes every read fail, so the fields take those same defaults.
void CFileMan::ReadSettings() {
  m_ProgramPath = std::make_unique<char[]>(kProgramPathBuffer);
  m_MailFrom = std::make_unique<char[]>(kMailFromBuffer);
  m_DomainName = std::make_unique<char[]>(kDomainNameBuffer);

  CRegKey key;
  CRegKey::Create(kGatewayKey, key);  // a failure leaves the key closed: every read below fails
  // Settings that a 32-bit program wrote are found in its place (WOW6432Node).
  if (key.IsOpen() && key.Name() != std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey)
    DebugLogStr("Settings read from ", key.Name().c_str(), CV_SRC, __LINE__);

  DWORD number = 10;
  RegReadDword(key, "MaxOut", &number);
  m_MaxOut = static_cast<std::int32_t>(number);
  RegReadDword(key, "MaxIn", &number);
  m_MaxIn = static_cast<std::int32_t>(number);

  // A name-in-use flag left by an earlier run is cleared.
  RegReadDword(key, "FileNameUse", &number);
  number = 0;
  if (key.IsOpen()) RegWriteDword(key, "FileNameUse", number);

  RegReadString(key, "ProgramPath", m_ProgramPath.get(), static_cast<DWORD>(kProgramPathRead));
  RegReadString(key, "MailFrom", m_MailFrom.get(), static_cast<DWORD>(kMailFromBuffer));
  RegReadString(key, "DomainName", m_DomainName.get(), static_cast<DWORD>(kDomainNameBuffer));
  if (m_DomainName[0] != '\0') {
    DebugLogStr("Domain Name: ", m_DomainName.get(), CV_SRC, __LINE__);
  } else {
    DebugLog("Domain Name: <empty>", CV_SRC, __LINE__);
  }

  RegReadDword(key, "NumUsers", &number);
  m_NumUsers = static_cast<std::int32_t>(number);
  RegReadDword(key, "AdvancedOptions", &number);
  m_AdvancedOptions = static_cast<std::int32_t>(number);
  if (m_AdvancedOptions == 1) {
    RegReadDword(key, "NotifyOnFailure", &number);
    m_NotifyOnFailure = static_cast<std::int32_t>(number);
    RegReadDword(key, "NotifyOnSuccess", &number);
    m_NotifyOnSuccess = static_cast<std::int32_t>(number);
    RegReadDword(key, "SubjectLine", &number);
    m_SubjectLine = static_cast<std::int32_t>(number);
    RegReadDword(key, "IncludeTIFF", &number);
    m_IncludeTIFF = static_cast<std::int32_t>(number);
  }

  // Only a short value (y, Y, yes, Yes) can switch the override on.
  char check[kOverrideAddressCheckRead] = {};
  DWORD checkSize = sizeof(check);
  if (key.IsOpen() && key.QueryValue("OverrideAddressCheck", nullptr, check, &checkSize) == ERROR_SUCCESS &&
      checkSize > 0 && AsciiLower(check[0]) == 'y') {
    g_OverrideAddressCheck = 1;
  }

  // Read apart from the shared buffer above: an absent value means the default.
  DWORD maxSize = kDefaultMaxMessageSize;
  if (RegReadDword(key, "MaxMessageSize", &maxSize) == ERROR_SUCCESS) m_MaxMessageSize = maxSize;

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
