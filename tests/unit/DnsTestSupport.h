// tests/unit/DnsTestSupport.h: hand-built DNS messages (as std::string bytes) for the resolver tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/DNSRecord.h"

namespace dnstest {

constexpr int kQuestionName = 12;  // where the question's name starts

inline std::string U16(unsigned value) {
  return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}
inline std::string U32(std::uint32_t value) { return U16(value >> 16) + U16(value & 0xFFFF); }

// "mx1.fax" as labels; `terminated` adds the zero byte.
inline std::string Labels(std::string_view dotted, bool terminated = true) {
  std::string out;
  for (std::size_t start = 0; start <= dotted.size();) {
    std::size_t dot = dotted.find('.', start);
    if (dot == std::string_view::npos) dot = dotted.size();
    out += static_cast<char>(dot - start);
    out += dotted.substr(start, dot - start);
    start = dot + 1;
  }
  return terminated ? out + '\0' : out;
}
inline std::string Pointer(int offset) { return U16(0xC000u | static_cast<unsigned>(offset)); }

struct Rr {
  std::string owner;  // name bytes
  unsigned type;
  std::string data;
  std::uint32_t ttl = 300;
};
inline std::string Record(const Rr& rr) {
  return rr.owner + U16(rr.type) + U16(1) + U32(rr.ttl) + U16(static_cast<unsigned>(rr.data.size())) + rr.data;
}

// A response to the query for `domain`; the answer count as given, or the true one.
struct Response {
  std::string domain = "fax.test";
  bool authoritative = true;
  int rcode = 0;                     // NOERROR; 3 NXDOMAIN, 2 SERVFAIL
  std::vector<Rr> answers{}, authority{}, additional{};
  int answerCount = -1;  // -1: the true count

  std::string Bytes() const {
    std::string out = U16(0x8639) + static_cast<char>(authoritative ? 0x85 : 0x81) +
                      static_cast<char>(0x80 | rcode) + U16(1);
    out += U16(answerCount >= 0 ? static_cast<unsigned>(answerCount) : static_cast<unsigned>(answers.size())) +
           U16(static_cast<unsigned>(authority.size())) + U16(static_cast<unsigned>(additional.size()));
    out += Labels(domain) + U16(kDnsTypeMX) + U16(1);
    for (const auto* section : {&answers, &authority, &additional})
      for (const Rr& rr : *section) out += Record(rr);
    return out;
  }
  std::size_t AnswerOffset() const { return kQuestionName + Labels(domain).size() + 4; }
};

inline std::string Framed(const std::string& message) {
  return U16(static_cast<unsigned>(message.size())) + message;
}

inline std::span<const std::uint8_t> Span(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

inline std::string Row(const DNSRecord& r) {
  return std::to_string(r.type) + " " + r.owner + " " + r.text1 + " " + r.text2 + " " +
         std::to_string(r.number1);
}

inline Rr Mx(unsigned preference, std::string_view exchange) {
  return {Pointer(kQuestionName), kDnsTypeMX, U16(preference) + Labels(exchange)};
}
inline Rr Ns(std::string_view server) { return {Pointer(kQuestionName), kDnsTypeNS, Labels(server)}; }
inline Rr Cname(std::string_view owner, std::string_view target) {
  return {Labels(owner), kDnsTypeCNAME, Labels(target)};
}
inline Rr MxOf(std::string_view owner, unsigned preference, std::string_view exchange) {
  return {Labels(owner), kDnsTypeMX, U16(preference) + Labels(exchange)};
}
inline Rr Soa(std::string_view owner) {
  return {Labels(owner), kDnsTypeSOA, Labels("ns.fax.test") + Labels("hostmaster.fax.test") + std::string(20, '\1')};
}
inline Rr A(std::string_view owner, std::initializer_list<std::uint8_t> address) {
  return {Labels(owner), kDnsTypeA, std::string(address.begin(), address.end())};
}

}  // namespace dnstest
