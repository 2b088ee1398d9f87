// dns/MailExchangers.cpp: FindMailExchangers. Threading: see MailExchangers.h.
#include "dns/MailExchangers.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "dns/DNSClient.h"
#include "log/DebugLog.h"

namespace {

// Aliases followed, in one answer and across lookups: a real chain is short,
// a longer one is a loop.
constexpr int kMaxAliases = 8;

void Log(const char* what, const std::string& name) {
  const std::string text = std::string("DNS- ") + what + PrintableText(name, 255);
  DebugLog(text.c_str(), CV_SRC, __LINE__);
}

// An answer that the name has no such record (NOERROR and nothing of it):
// the zone's own server says so (authoritative), or a resolver does (with
// the zone's SOA, or at least without the NS records of a referral that
// could not be followed).
bool IsNegativeAnswer(const DNSClient& dns) {
  DNSRecord record;
  return dns.Authoritative() == 1 || dns.GetRecordByType(0, record, kDnsTypeSOA) == 1 ||
         dns.GetRecordByType(0, record, kDnsTypeNS) == 0;
}

}  // namespace

CMailExchangers FindMailExchangers(DNSClient& dns, const char* server, const std::string& domain) {
  CMailExchangers found;
  found.name = domain;
  for (int lookups = 0; lookups <= kMaxAliases; ++lookups) {
    if (dns.AuthLookup(server, found.name.c_str(), kDnsTypeMX) == 10) {
      Log("Error: no answer for ", found.name);
      return found;
    }
    const int code = dns.ResponseCode();
    if (code == kDnsNameError) {
      Log("No such domain (NXDOMAIN): ", found.name);
      found.status = MxStatus::kNoDomain;
      return found;
    }
    if (code != kDnsNoError) {
      char text[64];
      std::snprintf(text, sizeof text, "Error: response code %d for ", code);
      Log(text, found.name);
      return found;
    }

    // The answer section's aliases lead from the name asked to the name that
    // holds the records.
    std::string name = found.name;
    std::vector<std::string> seen = {name};
    DNSRecord record;
    for (bool moved = true; moved;) {
      moved = false;
      for (int i = 0; dns.GetRecord(i, record) == 1 && dns.InAnswer(i); ++i) {
        if (record.type != kDnsTypeCNAME || !EqualsNoCase(record.owner, name) || record.text1[0] == '\0') continue;
        if (seen.size() > kMaxAliases || std::any_of(seen.begin(), seen.end(), [&](const std::string& known) {
              return EqualsNoCase(known, record.text1);
            })) {
          Log("Error: aliases in a loop: ", found.name);
          return found;
        }
        Log("Alias followed to ", record.text1);
        name = record.text1;
        seen.push_back(name);
        moved = true;
        break;
      }
    }

    bool nullMx = false;
    found.ttl = UINT32_MAX;
    std::vector<std::pair<std::uint32_t, std::string>> ranked;
    for (int i = 0; dns.GetRecord(i, record) == 1 && dns.InAnswer(i); ++i) {
      if (record.type != kDnsTypeMX || !EqualsNoCase(record.owner, name)) continue;
      // "." as the exchange (RFC 7505): the domain takes no mail at all.
      if (record.text1[0] == '\0') {
        nullMx = true;
        continue;
      }
      ranked.emplace_back(record.number1, record.text1);
      found.ttl = std::min(found.ttl, record.ttl);
    }
    // Lowest preference first (RFC 5321 5.1): a backup exchanger is tried
    // only after the primary ones. Equal ones keep the response's order,
    // which name servers rotate.
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& exchanger : ranked) found.exchangers.push_back(std::move(exchanger.second));
    if (!found.exchangers.empty()) {
      found.status = MxStatus::kExchangers;
      found.name = name;
      found.authoritative = dns.Authoritative() == 1;
      return found;
    }
    found.ttl = 0;
    if (nullMx) {
      Log("The domain takes no mail (null MX): ", name);
      found.status = MxStatus::kNoDomain;
      return found;
    }
    if (!EqualsNoCase(name, found.name)) {
      found.name = name;  // the target's own records are asked for next
      continue;
    }
    if (IsNegativeAnswer(dns)) {
      Log("No MX record: the domain's own address takes the mail: ", name);
      found.status = MxStatus::kNoMx;
      return found;
    }
    Log("Error: no usable answer for ", name);
    return found;
  }
  Log("Error: too many aliases: ", found.name);
  return found;
}
