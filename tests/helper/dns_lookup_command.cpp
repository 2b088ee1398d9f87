// tests/helper/dns_lookup_command.cpp: `test_helper dns-lookup <server>
// <domain> [type]`: runs DNSClient::AuthLookup for records of `type` (a
// number; MX when not given) and prints what the client holds afterwards,
// for the tests that put it in front of real name servers:
//   result <n>
//   authoritative <0|1>
//   counts <answer> <authority> <additional>
//   record <type> <ttl> <number1> <owner> <text1> <text2>   (tab-separated, one per record)
#include <cstdio>
#include <cstdlib>

#include "dns/DNSClient.h"

int DnsLookupCommand(const char* server, const char* domain, const char* type) {
  DNSClient client;
  const auto asked = type != nullptr ? static_cast<std::uint32_t>(std::strtoul(type, nullptr, 10)) : kDnsTypeMX;
  const unsigned result = client.AuthLookup(server, domain, asked);
  std::printf("result %u\nrcode %d\nauthoritative %d\ncounts %u %u %u\n", result, client.ResponseCode(),
              static_cast<int>(client.Authoritative()), client.AnswerCount(), client.AuthorityCount(),
              client.AdditionalCount());
  DNSRecord r;
  for (int i = 0; client.GetRecord(i, r) == 1; ++i)
    std::printf("record\t%u\t%u\t%u\t%s\t%s\t%s\n", r.type, r.ttl, r.number1, r.owner, r.text1, r.text2);
  return 0;
}
