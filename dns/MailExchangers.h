// dns/MailExchangers.h: where mail for a domain goes (RFC 5321 5.1): its MX
// records; the domain's own address only when the domain exists and has no
// MX record; nowhere when the domain does not exist. An alias (CNAME) is
// followed and its target handled as if it had been the domain.
//
// Threading: a call belongs to one thread (one delivery), as the client does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DNSClient;

enum class MxStatus {
  kExchangers,  // the exchangers below, lowest preference first
  kNoMx,        // the domain exists without MX: its own address takes the mail
  kNoDomain,    // NXDOMAIN, or a null MX (RFC 7505): the domain takes no mail, now or later
  kFailed,      // no usable answer (no server, a server failure, a walk cut short): try later
};

struct CMailExchangers {
  MxStatus status = MxStatus::kFailed;
  std::string name;                    // the domain after its aliases: where an address is looked up
  std::vector<std::string> exchangers;  // kExchangers only
  std::uint32_t ttl = 0;                // the smallest time to live of the MX records
  bool authoritative = false;           // the answer came from a server of the zone
};

// Asks `server` (and the name servers it refers to) for the MX records of
// `domain`, with `dns`, whose records are those of the last answer afterwards.
CMailExchangers FindMailExchangers(DNSClient& dns, const char* server, const std::string& domain);
