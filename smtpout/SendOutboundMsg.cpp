// smtpout/SendOutboundMsg.cpp: relay selection of one delivery: the receiver
// domain's mail exchangers in the order of the DNS response, then the domain's
// own address; the first that accepts a connection gets the dialogue.
//
// Threading: outbound main thread only; the DNS client is a local.
#include <cstdio>
#include <cstring>
#include <string>

#include "dns/DNSClient.h"
#include "dns/HostAddress.h"
#include "log/DebugLog.h"
#include "smtpout/SMTPOut.h"
#include "platform/Text.h"

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
  DNSClient dns;
  if (dns.AuthLookup(dnsServerName.get(), domain.c_str()) != 0) {
    DebugLog("SMTPOut- Error: Auth Lookup Failed", CV_SRC, __LINE__);
  }

  DNSRecord record;
  for (int i = 0; dns.GetRecordByType(i, record, kDnsTypeMX) == 1; ++i) {
    DebugLogStr("SMTPOut- MX Rec Found : ", Printable(record.text1).c_str(), CV_SRC, __LINE__);
    if (PrepareHost(record.text1, work, size) && Connect(remotePort, work) == 0) {
      return RunDialogue(mailFile, bareAddress, work, size);
    }
    DebugLogStr("SMTPOut- Unable to connect to the host: ", Printable(work).c_str(), CV_SRC, __LINE__);
  }

  DebugLogStr("SMTPOut- No MX Rec: Using: ", Printable(domain.c_str()).c_str(), CV_SRC, __LINE__);
  if (PrepareHost(domain.c_str(), work, size) && Connect(remotePort, work) == 0) {
    return RunDialogue(mailFile, bareAddress, work, size);
  }
  DebugLogStr("SMTP Out- Unable to connect to the host: ", Printable(domain.c_str()).c_str(), CV_SRC,
              __LINE__);
  return 2;
}
