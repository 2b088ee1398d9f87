// smtpout/SendOutboundMsg.cpp: relay selection of one delivery: the receiver
// domain's mail exchangers in the order of the DNS response (kept for their
// time to live, see RelayCache.h), then the domain's own address; the first
// that accepts a connection gets the dialogue.
//
// Threading: outbound main thread only; the DNS client is a local.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dns/DNSClient.h"
#include "dns/HostAddress.h"
#include "log/DebugLog.h"
#include "platform/Text.h"
#include "smtpout/SMTPOut.h"

namespace {

// A name from a peer's response as it may appear in the log.
std::string Printable(const char* text) { return PrintableText(text, 255); }

// `name` into `work` (capacity `size`), resolved in place when the host
// lookup knows it. False when there is no address to connect to.
bool PrepareHost(const char* name, char* work, int size) {
  if (std::strlen(name) >= static_cast<std::size_t>(size)) return false;
  std::snprintf(work, static_cast<std::size_t>(size), "%s", name);
  ResolveHostAddress(work, work, static_cast<std::size_t>(size));  // on failure the name is tried as it is
  // A name that did not resolve would become the broadcast address: no connection is tried.
  return InetAddr(work) != kInAddrNone;
}

}  // namespace

std::uint32_t SMTPOut::SendOutboundMsg(CFile& mailFile, const char* bareAddress, char* work, int size) {
  if (work == nullptr || size < 2) return 2;
  const std::string domain = AddressDomain(work);
  const auto now = CRelayCache::Clock::now();
  std::vector<std::string> exchangers;
  if (!m_RelayCache.Find(domain, now, exchangers)) {
    DNSClient dns;
    const bool authoritative = dns.AuthLookup(dnsServerName.get(), domain.c_str()) == 0;
    if (!authoritative) DebugLog("SMTPOut- Error: Auth Lookup Failed", CV_SRC, __LINE__);
    DNSRecord record;
    std::uint32_t ttl = CRelayCache::kLongestTtlSeconds;
    for (int i = 0; dns.GetRecordByType(i, record, kDnsTypeMX) == 1; ++i) {
      exchangers.emplace_back(record.text1);
      ttl = std::min(ttl, record.ttl);
    }
    if (authoritative) m_RelayCache.Keep(domain, exchangers, ttl, now);
  }

  for (const std::string& exchanger : exchangers) {
    DebugLogStr("SMTPOut- MX Rec Found : ", Printable(exchanger.c_str()).c_str(), CV_SRC, __LINE__);
    if (PrepareHost(exchanger.c_str(), work, size) && Connect(remotePort, work) == 0) {
      return RunDialogue(mailFile, bareAddress, work, size);
    }
    DebugLogStr("SMTPOut- Unable to connect to the host: ", Printable(work).c_str(), CV_SRC, __LINE__);
  }
  // None took a connection: the next attempt asks the name server again, as
  // the exchangers may have moved since they were looked up.
  m_RelayCache.Forget(domain);

  DebugLogStr("SMTPOut- No MX Rec: Using: ", Printable(domain.c_str()).c_str(), CV_SRC, __LINE__);
  if (PrepareHost(domain.c_str(), work, size) && Connect(remotePort, work) == 0) {
    return RunDialogue(mailFile, bareAddress, work, size);
  }
  DebugLogStr("SMTP Out- Unable to connect to the host: ", Printable(domain.c_str()).c_str(), CV_SRC,
              __LINE__);
  return 2;
}
