// fuzz/dns_parser_fuzz.cpp: the DNS response parser on arbitrary messages.
//
// Input: one byte giving where the question section ends (the client passes
// the length of its own query), then the response.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "FuzzSandbox.h"
#include "dns/DNSParser.h"

namespace {

void CheckText(const char (&text)[kDnsTextSize], const char* field) {
  FUZZ_CHECK(std::memchr(text, '\0', kDnsTextSize) != nullptr, std::string(field) + " not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t answerOffset = data[0];
  const std::span<const std::uint8_t> message(data + 1, size - 1);

  const std::vector<DNSRecord> records = DNS_ParseRecords(message, answerOffset);
  // Each record takes at least a one-byte name and ten bytes of fixed fields.
  FUZZ_CHECK(records.empty() || records.size() * 11 <= message.size(), "more records than the message holds");
  for (const DNSRecord& record : records) {
    CheckText(record.owner, "owner");
    CheckText(record.text1, "text1");
    CheckText(record.text2, "text2");
  }

  // Names anywhere in the message: the end is after the name, inside the message.
  for (std::size_t position = 0; position < message.size() && position < 64; ++position) {
    char name[kDnsTextSize];
    std::size_t end = SIZE_MAX;
    const DnsNameStatus status = DNS_DecodeName(message, position, name, end);
    CheckText(name, "name");
    if (status == DnsNameStatus::kBroken) {
      FUZZ_CHECK(end == SIZE_MAX && name[0] == '\0', "a broken name set its end or text");
    } else {
      FUZZ_CHECK(end > position && end <= message.size(), "name end outside the message");
    }
  }
  return 0;
}
