// dns/DNSClient.cpp: queries over TCP, the walk along name servers, and the
// record accessors.
//
// Threading: see DNSClient.h.
#include "dns/DNSClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "dns/DNSParser.h"
#include "dns/HostAddress.h"
#include "log/DebugLog.h"
#include "net/C_WSClient.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace {

constexpr int kReadChunk = 100;           // the response is read in pieces of at most this
constexpr std::size_t kLengthPrefix = 2;  // DNS over TCP: a 16-bit length before each message
constexpr std::size_t kMaxQueryLength = 0xFFFF;
constexpr std::uint8_t kFlagsRecursionDesired = 0x01;
constexpr std::uint8_t kFlagAuthoritative = 0x04;  // in byte 2 of the response
constexpr std::uint16_t kClassInternet = 1;
constexpr std::size_t kLoggedNameMax = 255;

struct TypeText {
  const char* name;
  const char* description;
};
constexpr TypeText kTypeTexts[] = {
    {"", ""},
    {"A", "Host Address"},
    {"NS", "Authoritative Name Server"},
    {"MD", "Mail Destination"},
    {"MF", "Mail Forwarder"},
    {"CName", "Canonical Name"},
    {"SOA", "Start Of Zone Of Authority"},
    {"MB", "Mailbox Domain"},
    {"MG", "Mail Group Member"},
    {"MR", "Mail Rename Domain"},
    {"NULL", "NULL"},
    {"WKS", "WKS"},
    {"PTR", "Domain Name Pointer"},
    {"HINFO", "Host Information"},
    {"MINFO", "Mail List Information"},
    {"MX", "Mail Exchange"},
    {"TXT", "Text Strings"},
};
constexpr std::uint32_t kTypeTextCount = sizeof kTypeTexts / sizeof kTypeTexts[0];

void AppendUint16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// The query for the records of `type` of `domain`, its TCP length prefix first.
// Each dot starts a new label, so a final dot gives an empty label before the
// zero byte.
std::vector<std::uint8_t> BuildQuery(std::string_view domain, std::uint32_t type) {
  std::vector<std::uint8_t> query;
  AppendUint16(query, 0);  // the length, filled in below
  AppendUint16(query, DNSClient::kQueryId);
  query.push_back(kFlagsRecursionDesired);
  query.push_back(0);
  AppendUint16(query, 1);  // one question
  for (int i = 0; i < 3; ++i) AppendUint16(query, 0);
  for (std::size_t start = 0;;) {
    const std::size_t dot = domain.find('.', start);
    const std::string_view label =
        domain.substr(start, dot == std::string_view::npos ? domain.npos : dot - start);
    query.push_back(static_cast<std::uint8_t>(label.size()));
    query.insert(query.end(), label.begin(), label.end());
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  query.push_back(0);
  AppendUint16(query, static_cast<std::uint16_t>(type));
  AppendUint16(query, kClassInternet);
  const std::size_t length = query.size() - kLengthPrefix;
  query[0] = static_cast<std::uint8_t>(length >> 8);
  query[1] = static_cast<std::uint8_t>(length & 0xFF);
  return query;
}

// A name for the log: server names may come from a peer's response.
std::string Printable(const char* text) { return PrintableText(text, kLoggedNameMax); }

// Receives until `size` bytes are in `buffer`, a read gives nothing more
// (closed, error, time-out) or `deadline` has passed; reads of at most
// `chunk` bytes, each waiting no longer than the deadline leaves. The count received.
std::size_t ReceiveUpTo(C_WSClient& client, std::uint8_t* buffer, std::size_t size, std::size_t chunk,
                        std::chrono::steady_clock::time_point deadline) {
  std::size_t received = 0;
  while (received < size) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      PlatformSetLastError(WSAETIMEDOUT);
      break;
    }
    client.SetReceiveTimeout(static_cast<int>(left));
    const int want = static_cast<int>(std::min(chunk, size - received));
    const int got = client.Receive(reinterpret_cast<char*>(buffer + received), want);
    if (got < 1) break;
    received += static_cast<std::size_t>(got);
  }
  return received;
}

void LogConnectFailure() {
  DebugLog("DNS- Error: Lookup: Unable to connect to DNS .", CV_SRC, __LINE__);
  LogLastError();
}

}  // namespace

std::uint32_t DNSClient::Lookup(const char* server, const char* domain, std::uint32_t type) {
  if (server == nullptr) server = "";
  if (domain == nullptr) domain = "";
  {
    char text[2 * kLoggedNameMax + 64];
    std::snprintf(text, sizeof text, "DNS- Lookup NameServer, Domain: %s, %s", Printable(server).c_str(),
                  Printable(domain).c_str());
    DebugLog(text, CV_SRC, __LINE__);
  }
  const std::vector<std::uint8_t> query = BuildQuery(domain, type);
  m_AnswerOffset = static_cast<std::uint32_t>(query.size() - kLengthPrefix);
  m_Authoritative = 0;
  if (query.size() - kLengthPrefix > kMaxQueryLength) {  // cannot be framed; no server would take it
    LogConnectFailure();
    return 1;
  }

  // Connect takes only dotted addresses; a server's host name is looked up first.
  char address[C_WSClient::kHostSize] = {};
  if (InetAddr(server) != kInAddrNone) {
    std::snprintf(address, sizeof address, "%s", server);
  } else if (ResolveHostAddress(server, address, sizeof address) != 0) {
    LogConnectFailure();
    return 1;
  }

  C_WSClient client;
  if (client.Connect(m_Port, address) != 0) {
    LogConnectFailure();
    return 1;
  }
  client.SetReceiveTimeout(m_ReceiveTimeoutMs);
  client.Send(reinterpret_cast<const char*>(query.data()), static_cast<int>(query.size()));
  // The receive time-out bounds the whole response, not each read: a server
  // that sends a byte now and then cannot hold the delivery up for longer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_ReceiveTimeoutMs);

  // The prefix may come in two pieces; both are needed.
  std::uint8_t prefix[kLengthPrefix] = {};
  if (ReceiveUpTo(client, prefix, kLengthPrefix, kLengthPrefix, deadline) < kLengthPrefix) {
    DebugLog("DNS- Error: Lookup: Unable to receive from DNS .", CV_SRC, __LINE__);
    LogLastError();
    client.CloseConnection();
    return 2;
  }
  std::vector<std::uint8_t> response(static_cast<std::size_t>(prefix[0]) << 8 | prefix[1]);
  // A peer that stops early leaves a shorter message; only what arrived is kept.
  const std::size_t expected = response.size();
  response.resize(ReceiveUpTo(client, response.data(), response.size(), kReadChunk, deadline));
  if (response.size() < expected) {
    char text[128];  // room for two numbers of any size_t
    std::snprintf(text, sizeof text, "DNS- Error: Lookup: response cut short, %zu of %zu bytes received",
                  response.size(), expected);
    DebugLog(text, CV_SRC, __LINE__);
    LogLastError();
  }
  client.CloseConnection();

  m_Response = std::move(response);
  m_Authoritative = m_Response.size() > 2 && (m_Response[2] & kFlagAuthoritative) != 0 ? 1 : 0;
  m_Records = DNS_ParseRecords(m_Response, m_AnswerOffset);
  return 0;
}

std::uint32_t DNSClient::AuthLookup(const char* server, const char* domain, std::uint32_t type) {
  std::uint32_t steps = 0;
  int budget = kAuthLookupBudget;
  int index = 0;
  if (Lookup(server, domain, type) != 0) return 10;
  for (;;) {
    if (budget <= 0) return steps + 10;
    ++steps;
    --budget;
    if (m_Authoritative == 1) return 0;
    // Ask the name servers of the current records in turn until one answers.
    for (;;) {
      DNSRecord nameServer;
      if (GetRecordByType(index, nameServer, kDnsTypeNS) == 0) return 2;
      ++index;
      ++steps;
      --budget;
      if (Lookup(nameServer.text1, domain, type) == 0) {
        index = 0;
        break;
      }
      if (budget <= 0) return steps + 10;
    }
  }
}

int DNSClient::GetRecord(int index, DNSRecord& out) const {
  if (index < 0 || static_cast<std::size_t>(index) >= m_Records.size()) return 0;
  out = m_Records[static_cast<std::size_t>(index)];
  return 1;
}

int DNSClient::GetRecordByType(int index, DNSRecord& out, std::uint32_t type) const {
  if (index < 0) return 0;
  int seen = 0;
  for (const DNSRecord& record : m_Records) {
    if (record.type != type) continue;
    if (seen++ == index) {
      out = record;
      return 1;
    }
  }
  return 0;
}

std::uint32_t DNSClient::AnswerCount() const { return DNS_HeaderCount(m_Response, 1); }
std::uint32_t DNSClient::AuthorityCount() const { return DNS_HeaderCount(m_Response, 2); }
std::uint32_t DNSClient::AdditionalCount() const { return DNS_HeaderCount(m_Response, 3); }
int DNSClient::ResponseCode() const { return m_Response.size() > 3 ? m_Response[3] & 0x0F : -1; }

std::uint32_t DNSClient::TotalCount() const { return AnswerCount() + AuthorityCount() + AdditionalCount(); }

const char* DNSClient::RecordTypeName(std::uint32_t type) {
  return type < kTypeTextCount ? kTypeTexts[type].name : nullptr;
}

const char* DNSClient::RecordTypeDescription(std::uint32_t type) {
  return type < kTypeTextCount ? kTypeTexts[type].description : nullptr;
}
