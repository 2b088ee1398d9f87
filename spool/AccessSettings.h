// spool/AccessSettings.h: who may send a fax: the client networks, the fax
// number allow and deny lists, the hourly limits, and the mail log's switch.
//
// These values are read at start and again at each reload (SIGHUP, or the
// service's parameter-change control). Each reading makes a new immutable
// CAccessSettings; a session takes the one current when its client connects
// and keeps it to the end, so a reload never changes an open session's
// verdicts. A value that cannot be used stops the start, and at a reload
// leaves the settings in use as they are: a list half understood is never
// taken as "no list".
//
// Threading: CurrentAccessSettings and LoadAccessSettings from any thread
// (the current pointer is swapped under a lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/NetworkList.h"
#include "base/PatternList.h"
#include "platform/Registry.h"

struct CAccessSettings {
  bool anyClient = true;  // ClientNetworks not set (or blank)
  CNetworkList clientNetworks;
  CPatternList faxNumberAllow;
  CPatternList faxNumberDeny;
  std::uint32_t clientMailLimit = 0;    // mails per client address and hour; 0: none
  std::uint32_t faxRecipientLimit = 0;  // fax recipients per hour, whole gateway; 0: none
  bool mailLog = true;

  // `address` in host byte order.
  bool ClientPermitted(std::uint32_t address) const {
    return anyClient || clientNetworks.Contains(address);
  }
  // `number` is the recipient's fax number or name as FaxNumberKey gives it.
  // Deny wins over allow; a non-empty allow list lets through only what it matches.
  bool FaxNumberPermitted(std::string_view number) const {
    if (faxNumberDeny.Matches(number)) return false;
    return faxNumberAllow.Empty() || faxNumberAllow.Matches(number);
  }
};

// Reads the values from `key`. False when one cannot be used, with the
// value's name in `setting` and what is wrong in `problem`.
bool ReadAccessSettings(const CRegKey& key, CAccessSettings& out, std::string& setting, std::string& problem);

// The settings in force (the defaults, letting everything through, before
// the first load).
std::shared_ptr<const CAccessSettings> CurrentAccessSettings();

// Reads the gateway's key and, when every value can be used, puts the result
// in force and configures the mail log; reports "any client" (event 429).
// When one cannot be used: debug log and event 430, nothing changes, false,
// and `problem` says which value and entry.
bool LoadAccessSettings(bool atStart, std::string& problem);
