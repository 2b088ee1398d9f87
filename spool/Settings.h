// spool/Settings.h: every value of the gateway's registry key in one table
// (name, type, default, accepted range, read at start or at each use), the
// readers that apply it, and the start's report of values it cannot use.
//
// Readers take a key their caller opened (Open or Create, as each always
// has), so a value is read with the same limits wherever it is read. A value
// that is absent, of the wrong type or out of range gives the table's default
// (the caller decides what a default that follows another value means). The
// readers never log: ReportSettingProblems says once, at start, what was
// passed over, one line per value.
//
// Threading: the table is constant; the readers keep no state (any thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

enum class Setting {
  kSmtpRxPort,
  kSmtpTxPort,
  kProgramPath,
  kDomainName,
  kMailFrom,
  kSetMailFrom,
  kDNSName,
  kRFCMode,
  kOverrideAddressCheck,
  kAdvancedOptions,
  kNotifyOnFailure,
  kNotifyOnSuccess,
  kSubjectLine,
  kIncludeTIFF,
  kMaxOut,
  kMaxIn,
  kNumUsers,
  kMaxMessageSize,
  // TLS (STARTTLS both ways) and the relay host
  kTlsCertificateFile,
  kTlsKeyFile,
  kTlsCertificateThumbprint,
  kRequireTls,
  kOutboundTls,
  kSmartHost,
  kSmartHostUser,
  kSmartHostPasswordFile,
  // Who may send a fax, and the mail log (read at start and at each reload).
  kClientNetworks,
  kFaxNumberAllow,
  kFaxNumberDeny,
  kClientMailLimit,
  kFaxRecipientLimit,
  kMailLog,
  kLogFile,
  kLogFileB,
  kTmpIndex,
  kOUTIndex,
  kOUTIndexAtt,
  kFileName,
  kFileNameAtt,
  kFileNameUse,
  kFileNameUseAtt,
  kCount
};

enum class SettingType {
  kNumber,      // a dword (REG_DWORD, 4 bytes)
  kText,        // a string (REG_SZ or REG_EXPAND_SZ, not expanded)
  kShortValue,  // any type, at most 4 bytes: only its first byte counts
};

enum class SettingRead {
  kAtStart,  // read once; a change needs a restart
  kEachUse,  // read whenever it is needed (counters, flags, last names)
  kReload,   // read at start and again when the service is told to reload (SIGHUP)
};

constexpr std::size_t kUnlimitedText = std::numeric_limits<std::size_t>::max();

struct CSettingInfo {
  Setting id;
  const char* name;
  SettingType type;
  SettingRead read;
  std::uint32_t defaultNumber;  // numbers
  const char* defaultText;      // texts: the value used; numbers: as the README shows it
  std::uint32_t minimum;        // numbers: the accepted range
  std::uint32_t maximum;
  std::size_t maxLength;  // texts: the most characters (terminator not counted); short values: bytes - 1
  bool written;           // the gateway's own counter, flag or last name
};

// The whole table, in the order of Setting.
std::span<const CSettingInfo> SettingTable();
const CSettingInfo& SettingInfo(Setting setting);
// The entry of a value name (registry names ignore case); null when none.
const CSettingInfo* FindSetting(std::string_view name);

enum class SettingState {
  kAbsent,      // not there, or the key is not open
  kUsed,        // read and within its limits
  kWrongType,   // there, but of a type the setting does not take
  kOutOfRange,  // a number outside its range, a text too long
};

struct CNumberSetting {
  SettingState state = SettingState::kAbsent;
  std::uint32_t value = 0;   // the value read when kUsed, else the table's default
  std::uint32_t stored = 0;  // the number as stored (kUsed, kOutOfRange)
  bool Used() const { return state == SettingState::kUsed; }
};

struct CTextSetting {
  SettingState state = SettingState::kAbsent;
  std::string value;   // the text read when kUsed, else the table's default
  std::string stored;  // the text as stored, cut to kShownTextLength (for messages)
  bool Used() const { return state == SettingState::kUsed; }
};

constexpr std::size_t kShownTextLength = 511;

// Readers for the setting's type (a number read as text is kWrongType).
CNumberSetting ReadNumberSetting(const CRegKey& key, Setting setting);
CTextSetting ReadTextSetting(const CRegKey& key, Setting setting);
// kShortValue: true when the value is used and its first byte, lower-cased, is y.
bool ReadYesSetting(const CRegKey& key, Setting setting);

// The same with the gateway's key opened for reading (absent when it does
// not open): the value to use.
std::uint32_t SettingNumber(Setting setting);
std::string SettingText(Setting setting);

// One text per value the gateway passes over: a name the table does not
// know, a value of the wrong type, a number out of range, a text too long.
std::vector<std::string> SettingProblems(const CRegKey& key);
// At start: SettingProblems of the gateway's key, each to the debug log and
// as a warning event. Returns how many there were.
std::size_t ReportSettingProblems();

// The debug logs' switches (logfile, logfileb), read here and handed to the
// debug log, which sits below the settings.
void ReadDebugSettings();
