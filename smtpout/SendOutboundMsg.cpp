// smtpout/SendOutboundMsg.cpp: relay selection of one delivery: the receiver
// domain's mail exchangers, lowest preference first (kept for their
// time to live, see RelayCache.h), or the domain's own address when it has no
// MX record; the first that accepts a connection gets the dialogue. A domain
// that does not exist is refused for good; no usable answer is tried later.
// With SmartHost every mail goes to the relay host instead: to its exchangers,
// or, written in brackets, to the host as named.
//
// Threading: outbound main thread only; the DNS client is a local.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/Text.h"
#include "dns/DNSClient.h"
#include "dns/HostAddress.h"
#include "dns/MailExchangers.h"
#include "log/DebugLog.h"
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

// `domain` as a dotted IPv4 address, with or without its brackets ("[1.2.3.4]").
bool IsAddressLiteral(std::string_view domain, std::string& address) {
  if (domain.size() > 2 && domain.front() == '[' && domain.back() == ']') domain = domain.substr(1, domain.size() - 2);
  int parts = 0;
  for (std::size_t start = 0; start <= domain.size(); ++parts) {
    std::size_t dot = domain.find('.', start);
    if (dot == std::string_view::npos) dot = domain.size();
    const std::string_view part = domain.substr(start, dot - start);
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoi(std::string(part)) > 255)
      return false;
    start = dot + 1;
  }
  if (parts != 4) return false;
  address = std::string(domain);
  return true;
}

}  // namespace

std::uint32_t SMTPOut::SendOutboundMsg(CFile& mailFile, const char* sender, const char* bareAddress, char* work,
                                       int size) {
  m_LastReply.clear();
  m_LastTls.clear();
  m_LastExchanger.clear();
  m_DataEndReply.clear();
  if (work == nullptr || size < 2) return kSendNoHost;
  std::string domain = AddressDomain(work);
  int port = remotePort;
  if (m_SmartHostBroken) {
    m_LastReply = "SmartHost is of no usable form";
    return kSendNoHost;
  }
  const CSmartHost* relay = SmartHost();
  if (relay != nullptr) {
    // Every mail goes to the relay: its exchangers, or the host as named.
    port = relay->port;
    domain = relay->direct ? "[" + relay->host + "]" : relay->host;
  }
  const auto connectTo = [&](const std::string& host, const char* failure) {
    m_CurrentHost = host;
    m_TryNextHost = false;
    if (PrepareHost(host.c_str(), work, size) && Connect(port, work) == 0) {
      m_LastExchanger = host;
      return true;
    }
    DebugLogStr(failure, Printable(work).c_str(), CV_SRC, __LINE__);
    return false;
  };

  // A relay host in brackets is connected to as it is named.
  if (relay != nullptr && relay->direct) {
    if (std::string address; !IsAddressLiteral(domain, address)) {
      DebugLogStr("SMTPOut- Relay host: Using: ", Printable(relay->host.c_str()).c_str(), CV_SRC, __LINE__);
      if (connectTo(relay->host, "SMTP Out- Unable to connect to the host: "))
        return RunDialogue(mailFile, sender, bareAddress, work, size);
      m_LastReply = "no connection to the relay host " + PrintableText(relay->host);
      return kSendNoHost;
    }
  }

  // An address literal names its host: no name server is asked.
  if (std::string address; IsAddressLiteral(domain, address)) {
    DebugLogStr("SMTPOut- Address literal: Using: ", address.c_str(), CV_SRC, __LINE__);
    if (connectTo(address, "SMTP Out- Unable to connect to the host: "))
      return RunDialogue(mailFile, sender, bareAddress, work, size);
    m_LastReply = "no connection to " + address;
    return kSendNoHost;
  }

  const auto now = CRelayCache::Clock::now();
  std::vector<std::string> exchangers;
  if (!m_RelayCache.Find(domain, now, exchangers)) {
    DNSClient dns;
    const CMailExchangers found = FindMailExchangers(dns, dnsServerName.get(), domain);
    switch (found.status) {
      case MxStatus::kExchangers:
        exchangers = found.exchangers;
        if (found.authoritative) m_RelayCache.Keep(domain, exchangers, found.ttl, now);
        break;
      case MxStatus::kNoMx:
        // RFC 5321 5.1: the domain itself, as if it were its only exchanger.
        DebugLogStr("SMTPOut- No MX Rec: Using: ", Printable(found.name.c_str()).c_str(), CV_SRC, __LINE__);
        if (connectTo(found.name, "SMTP Out- Unable to connect to the host: "))
          return RunDialogue(mailFile, sender, bareAddress, work, size);
        m_LastReply = "no connection to " + PrintableText(found.name);
        return kSendNoHost;
      case MxStatus::kNoDomain:
        m_LastReply = "the domain " + PrintableText(domain) + " takes no mail (it does not exist, or has a null MX)";
        DebugLogStr("SMTPOut- Error: ", m_LastReply.c_str(), CV_SRC, __LINE__);
        // A relay host that cannot be found says nothing against the mail.
        return relay != nullptr ? kSendNoHost : kSendRefused;
      case MxStatus::kFailed:
        DebugLog("SMTPOut- Error: Auth Lookup Failed", CV_SRC, __LINE__);
        m_LastReply = "no usable answer from the name servers for " + PrintableText(domain);
        return kSendNoHost;
    }
  }

  // An exchanger that failed over TLS (a broken handshake, or no TLS where
  // it is required) may be alone in that: the next one is tried at once.
  std::uint32_t tlsFailure = kSendDelivered;
  for (const std::string& exchanger : exchangers) {
    DebugLogStr("SMTPOut- MX Rec Found : ", Printable(exchanger.c_str()).c_str(), CV_SRC, __LINE__);
    if (!connectTo(exchanger, "SMTPOut- Unable to connect to the host: ")) continue;
    const std::uint32_t result = RunDialogue(mailFile, sender, bareAddress, work, size);
    if (result == kSendDelivered || !m_TryNextHost) return result;
    tlsFailure = result;
  }
  if (tlsFailure != kSendDelivered) return tlsFailure;  // m_LastReply says why
  // None took a connection: the next attempt asks the name server again, as
  // the exchangers may have moved since they were looked up. The domain's own
  // address is no stand-in for exchangers that are down (RFC 5321 5.1).
  m_RelayCache.Forget(domain);
  m_LastReply = "no exchanger of " + PrintableText(domain) + " took a connection";
  DebugLogStr("SMTPOut- Error: ", m_LastReply.c_str(), CV_SRC, __LINE__);
  return kSendNoHost;
}
