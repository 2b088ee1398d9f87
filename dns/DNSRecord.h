// dns/DNSRecord.h: one resource record of a DNS response, as the resolver
// hands it out (by copy) to the outbound side.
//
// A plain record: every text is NUL-terminated within its field. The texts are
// decoded from a peer's response and may hold any byte: filter them before
// logging. Threading: none of its own.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kDnsTextSize = 256;  // 255 characters and the terminator

constexpr std::uint32_t kDnsTypeA = 1;
constexpr std::uint32_t kDnsTypeNS = 2;
constexpr std::uint32_t kDnsTypeCNAME = 5;
constexpr std::uint32_t kDnsTypeSOA = 6;
constexpr std::uint32_t kDnsTypeHINFO = 13;
constexpr std::uint32_t kDnsTypeMINFO = 14;
constexpr std::uint32_t kDnsTypeMX = 15;
constexpr std::uint32_t kDnsTypeAll = 255;  // ANY: answered by many servers with one HINFO (RFC 8482)

// Response codes (RCODE) of the header.
constexpr int kDnsNoError = 0;
constexpr int kDnsNameError = 3;  // NXDOMAIN: the name does not exist

struct DNSRecord {
  char owner[kDnsTextSize] = {};  // dotted, without a final dot
  std::uint32_t type = 0;
  std::uint32_t ttl = 0;
  // A: the address in dotted decimal; SOA: the primary server; HINFO and
  // MINFO: the second character string; MX: the exchange; others: the data
  // read as a domain name.
  char text1[kDnsTextSize] = {};
  char text2[kDnsTextSize] = {};  // SOA: the mailbox
  std::uint32_t number1 = 0;      // MX: the preference
  std::uint32_t serial = 0;       // SOA numbers from here on
  std::uint32_t refresh = 0;
  std::uint32_t retry = 0;
  std::uint32_t expire = 0;
  std::uint32_t minimum = 0;
};
