// dns/DNSClient.h: the gateway's own DNS client. Asks a name server over TCP
// for the records of one type of a domain (MX unless told otherwise: many
// servers answer a question for all types with one HINFO record, RFC 8482)
// and, while the answer is not authoritative, follows the name servers it
// names; the records of the last answer are then offered by index and by type.
//
// Every query opens its own connection (port 53; its response must arrive
// within 30 seconds) and closes it before Lookup returns. The response is parsed by DNS_ParseRecords, which
// never reads past what arrived.
//
// Threading: an object belongs to one thread (one delivery).
#pragma once

#include <cstdint>
#include <vector>

#include "dns/DNSRecord.h"

class DNSClient {
 public:
  static constexpr int kPort = 53;
  static constexpr int kReceiveTimeoutMs = 30000;
  static constexpr int kAuthLookupBudget = 20;
  static constexpr std::uint16_t kQueryId = 0x8639;

  DNSClient() = default;
  DNSClient(const DNSClient&) = delete;
  DNSClient& operator=(const DNSClient&) = delete;

  // One query to `server` (a dotted address or a host name). 0 a response was
  // received and parsed (also one cut short: its complete records count);
  // 1 the server could not be connected; 2 no response length arrived. On 1
  // and 2 the previous response and records stay.
  std::uint32_t Lookup(const char* server, const char* domain, std::uint32_t type = kDnsTypeMX);
  // Lookup, then the name servers named by non-authoritative answers, within
  // a budget of 20 steps. 0 an authoritative response was reached; 2 a
  // non-authoritative one named no further server to ask; 10 the first query
  // failed; 10 + steps when the budget ran out. The records of the last
  // successful Lookup stay available whatever the result.
  std::uint32_t AuthLookup(const char* server, const char* domain, std::uint32_t type = kDnsTypeMX);

  // 1 and a copy of record `index` (0-based over the parsed records), else 0.
  int GetRecord(int index, DNSRecord& out) const;
  // 1 and a copy of the index-th record of `type`, in the order of the
  // response; 0 when there are fewer.
  int GetRecordByType(int index, DNSRecord& out, std::uint32_t type) const;

  // The counts in the response's header; 0 when there is no response.
  std::uint32_t AnswerCount() const;
  std::uint32_t AuthorityCount() const;
  std::uint32_t AdditionalCount() const;
  std::uint32_t TotalCount() const;
  // The records actually parsed; fewer than TotalCount when the response was
  // cut short or lied about its counts.
  int RecordCount() const { return static_cast<int>(m_Records.size()); }
  std::int32_t Authoritative() const { return m_Authoritative; }
  // The response code of the last response (kDnsNoError, kDnsNameError, ...);
  // -1 when there is none.
  int ResponseCode() const;
  // True when record `index` (as GetRecord counts) stands in the answer section.
  bool InAnswer(int index) const { return index >= 0 && static_cast<std::uint32_t>(index) < AnswerCount(); }

  // "A", "NS", ... for types 1 to 16, "" for 0, null above 16.
  static const char* RecordTypeName(std::uint32_t type);
  // "Host Address", ... for types 1 to 16, "" for 0, null above 16.
  static const char* RecordTypeDescription(std::uint32_t type);

 private:
  friend class DNSClientTestSeam;  // tests point the client at their own port and time-out

  std::vector<std::uint8_t> m_Response;  // the last message, without its length prefix
  std::vector<DNSRecord> m_Records;      // parsed from m_Response
  std::uint32_t m_AnswerOffset = 0;      // the first record: the query's length
  std::int32_t m_Authoritative = 0;      // AA bit of m_Response; reset by each query
  int m_Port = kPort;
  int m_ReceiveTimeoutMs = kReceiveTimeoutMs;
};
